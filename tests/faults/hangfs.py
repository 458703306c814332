#!/usr/bin/python3
"""Storage that stops answering: a FUSE file system holding plots/ with one
plot file, whose metadata calls below plots/ (all but the free-space query)
hang for HANG seconds from the first one on, then answer normally (as a network share whose server came
back). A lookup of /rehang (which does not exist, and answers at once)
makes the calls hang again for HANG seconds from the next one on.
Every call held prints a line to standard output:
  held OP PATH S.SS s, let go at UNIX-TIME
Usage: hangfs.py MOUNTPOINT HANG_SECONDS"""
import errno
import stat
import sys
import threading
import time

import fusepy

PLOT = "dead_X1.vorn"
PLOT_SIZE = 1 << 30
MTIME = 1_700_000_000


class HangingStorage(fusepy.Operations):
    def __init__(self, hang_seconds):
        self.hang_seconds = hang_seconds
        self.until = None
        self.lock = threading.Lock()

    def _hang(self, op, path):
        if path == "/":
            return
        with self.lock:
            if self.until is None:
                self.until = time.monotonic() + self.hang_seconds
            until = self.until
        begin = time.monotonic()
        left = until - begin
        if left > 0:
            time.sleep(left)
            print(f"held {op} {path} {time.monotonic() - begin:.2f} s, let go at {time.time():.3f}", flush=True)

    def getattr(self, path, fh=None):
        if path == "/rehang":
            with self.lock:
                self.until = None
            print(f"rehang at {time.time():.3f}", flush=True)
            raise fusepy.FuseOSError(errno.ENOENT)
        self._hang("getattr", path)
        now = MTIME
        if path in ("/", "/plots"):
            return dict(st_mode=stat.S_IFDIR | 0o755, st_nlink=2, st_size=0,
                        st_ctime=now, st_mtime=now, st_atime=now)
        if path == "/plots/" + PLOT:
            return dict(st_mode=stat.S_IFREG | 0o644, st_nlink=1, st_size=PLOT_SIZE,
                        st_ctime=now, st_mtime=now, st_atime=now)
        raise fusepy.FuseOSError(errno.ENOENT)

    def readdir(self, path, fh):
        self._hang("readdir", path)
        if path == "/":
            return [".", "..", "plots"]
        if path == "/plots":
            return [".", "..", PLOT]
        raise fusepy.FuseOSError(errno.ENOENT)

    def statfs(self, path):
        # Answered at once: under Wine the free-space query is made by the
        # wineserver itself, and a hang there would freeze every Wine
        # program at once (the driver too), which no Windows storage does.
        return dict(f_bsize=4096, f_frsize=4096, f_blocks=1 << 24, f_bfree=1 << 23,
                    f_bavail=1 << 23, f_files=1000, f_ffree=900, f_namemax=255)

    def open(self, path, flags):
        self._hang("open", path)
        return 0

    def read(self, path, size, offset, fh):
        return b"\0" * min(size, max(0, PLOT_SIZE - offset))


if __name__ == "__main__":
    fusepy.FUSE(HangingStorage(float(sys.argv[2])), sys.argv[1], foreground=True,
                nothreads=False, allow_other=True, ro=True)
