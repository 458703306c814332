#pragma once
// Files and folders. Every operation opens, works and closes within itself,
// except OutputFile, which owns its handle until it is closed or destroyed.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace vorn::platform {

// Reads the whole file as bytes.
Result<std::string> read_file(const std::string& path);
// Reads at most `limit` bytes from the start of the file.
Result<std::string> read_file_start(const std::string& path, std::uint64_t limit);

// What tells one version of a file from the next without reading it.
struct FileStamp {
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // last write time, in the system's own units
  bool operator==(const FileStamp&) const = default;
};
// Nothing when the path names nothing (or cannot be queried); links are followed.
std::optional<FileStamp> file_stamp(const std::string& path);

// A metadata query that follows links; any failure counts as absent.
bool path_exists(const std::string& path);
bool is_directory(const std::string& path);
// The size of a file in bytes; none when it cannot be read.
std::optional<std::uint64_t> file_size(const std::string& path);

// Creates the folder and any missing ancestors; an existing folder, or none
// (an empty path: the working folder), is fine.
MaybeError create_directories(const std::string& path);

// A file opened for writing, truncated, shared for read, write and delete.
class OutputFile {
 public:
  static Result<OutputFile> create(const std::string& path);
  OutputFile(OutputFile&&) noexcept;
  OutputFile& operator=(OutputFile&&) noexcept;
  ~OutputFile();

  // Writes everything, retrying interrupted writes; a write that accepts no
  // bytes fails with "failed to write whole buffer".
  MaybeError write_all(std::string_view data);
  // Forces the data to the disk.
  MaybeError flush_to_disk();
  void close();

 private:
  explicit OutputFile(std::intptr_t handle);
  std::intptr_t handle_;
};

// Replaces `target` by `source` in one step, written through to the disk.
MaybeError replace_file(const std::string& source, const std::string& target);
MaybeError remove_file(const std::string& path);
MaybeError copy_file(const std::string& source, const std::string& target);

// Fails the way a writer would when an existing file may not be replaced:
// read-only, or held open by another process without write sharing.
// A missing file is fine.
MaybeError check_replaceable(const std::string& path);

// The line ending of text files that people open with the system's own
// editors: CR LF on Windows (older Notepads show LF alone as one line), LF
// elsewhere.
std::string_view text_line_end();

// Appends a text to a file, creating it when missing (the crash log).
MaybeError append_to_file(const std::string& path, std::string_view text);

}  // namespace vorn::platform
