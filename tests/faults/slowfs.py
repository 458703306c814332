#!/usr/bin/python3
"""Slow storage: a FUSE file system showing the folder BACKING, where every
open, creation and truncation takes SLOW_MS milliseconds after it is done
(as on a busy network share); everything else passes straight through. A
program that rewrites a file in place leaves it empty for that long before
its first write, and a kill then leaves it so; one that writes a temporary
and renames it over the file does not.
Usage: slowfs.py BACKING MOUNTPOINT SLOW_MS"""
import errno
import os
import sys
import time

import fusepy


class SlowWrites(fusepy.Operations):
    def __init__(self, root, slow_ms):
        self.root = os.path.realpath(root)
        self.slow = slow_ms / 1000.0

    def _full(self, path):
        return self.root + path

    def access(self, path, mode):
        if not os.access(self._full(path), mode):
            raise fusepy.FuseOSError(errno.EACCES)

    def chmod(self, path, mode):
        return os.chmod(self._full(path), mode)

    def chown(self, path, uid, gid):
        return os.chown(self._full(path), uid, gid)

    def create(self, path, mode, fi=None):
        fh = os.open(self._full(path), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, mode)
        time.sleep(self.slow)
        return fh

    def flush(self, path, fh):
        return 0

    def fsync(self, path, datasync, fh):
        return os.fdatasync(fh) if datasync else os.fsync(fh)

    def getattr(self, path, fh=None):
        st = os.lstat(self._full(path))
        return {key: getattr(st, key) for key in ("st_atime", "st_ctime", "st_gid", "st_mode", "st_mtime",
                                                  "st_nlink", "st_size", "st_uid")}

    def mkdir(self, path, mode):
        return os.mkdir(self._full(path), mode)

    def open(self, path, flags):
        fh = os.open(self._full(path), flags)
        time.sleep(self.slow)
        return fh

    def read(self, path, size, offset, fh):
        return os.pread(fh, size, offset)

    def readdir(self, path, fh):
        return [".", ".."] + os.listdir(self._full(path))

    def readlink(self, path):
        return os.readlink(self._full(path))

    def release(self, path, fh):
        return os.close(fh)

    def rename(self, old, new):
        return os.rename(self._full(old), self._full(new))

    def rmdir(self, path):
        return os.rmdir(self._full(path))

    def statfs(self, path):
        st = os.statvfs(self._full(path))
        return {key: getattr(st, key) for key in ("f_bavail", "f_bfree", "f_blocks", "f_bsize", "f_favail",
                                                  "f_ffree", "f_files", "f_flag", "f_frsize", "f_namemax")}

    def truncate(self, path, length, fh=None):
        if fh is not None:
            os.ftruncate(fh, length)
        else:
            os.truncate(self._full(path), length)
        time.sleep(self.slow)

    def unlink(self, path):
        return os.unlink(self._full(path))

    def utimens(self, path, times=None):
        return os.utime(self._full(path), times)

    def write(self, path, data, offset, fh):
        return os.pwrite(fh, data, offset)


if __name__ == "__main__":
    fusepy.FUSE(SlowWrites(sys.argv[1], float(sys.argv[3])), sys.argv[2], foreground=True,
                nothreads=False, allow_other=True, default_permissions=True)
