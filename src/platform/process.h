#pragma once
// Child processes: the miner with its output pipes, and the short-lived
// system tools (process listing, tree kill).
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace vorn::platform {

// The read end of a pipe; closing it makes the writer's later writes fail.
class PipeReader {
 public:
  struct Impl;
  explicit PipeReader(std::unique_ptr<Impl> impl);
  PipeReader(PipeReader&&) noexcept;
  PipeReader& operator=(PipeReader&&) noexcept;
  ~PipeReader();
  // Bytes read (0 at the end of the stream); interrupted reads are retried.
  Result<std::size_t> read(char* buffer, std::size_t size);

 private:
  std::unique_ptr<Impl> impl_;
};

// What a process costs: CPU time (user and kernel) and working set
// (resident size).
struct ProcessStats {
  double cpu_seconds = 0;
  std::uint64_t resident_bytes = 0;
};
// The running program's own, and the Unix time it started.
ProcessStats own_process_stats();
double own_start_time_unix();

// A started child: its process and thread handles and its pipe ends.
// Dropping the record closes the handles; it never ends the process.
class ChildProcess {
 public:
  struct Impl;
  explicit ChildProcess(std::unique_ptr<Impl> impl);
  ChildProcess(ChildProcess&&) noexcept;
  ChildProcess& operator=(ChildProcess&&) noexcept;
  ~ChildProcess();

  std::uint32_t pid() const;
  // Without waiting: nothing while it runs, its exit code once it ended.
  Result<std::optional<std::uint32_t>> try_wait();
  // Waits up to `limit`; nothing when it is still running then.
  Result<std::optional<std::uint32_t>> wait_for(std::chrono::milliseconds limit);
  // Ends the process at once with `exit_code`. A refusal (access denied)
  // counts as success only when the process has ended.
  MaybeError terminate(std::uint32_t exit_code);
  // Ends every process still in the miner's job: whatever it started and
  // left running (and the miner itself, if it still runs). A job is a job
  // object on Windows and the miner's own process group elsewhere.
  void end_job();
  // Why the miner has no job, when it has none (it runs all the same).
  std::optional<std::string> job_error() const;
  // Below-normal CPU priority; failure text "Windows error N" / "errno N".
  MaybeError lower_priority();
  // Its CPU time and working set now; nothing when they cannot be read.
  std::optional<ProcessStats> stats() const;
  std::optional<PipeReader> take_stdout();
  std::optional<PipeReader> take_stderr();
  void close_stdin();

 private:
  std::unique_ptr<Impl> impl_;
};

struct MinerLaunch {
  std::string program;
  std::vector<std::string> arguments;
  std::string working_directory;  // empty: keep the current one
};

// Starts the program with standard output and standard error on new pipes,
// standard input from NUL on Windows (inherited elsewhere), no console
// window, in a job of its own. Failure: the system error.
Result<ChildProcess> spawn_with_output_pipes(const MinerLaunch& launch);

// A process opened by its pid and held open. While it is held the system
// cannot give its pid to another process, so what was checked is what a
// kill by pid reaches.
class HeldProcess {
 public:
  struct Impl;
  HeldProcess();  // holds nothing
  explicit HeldProcess(std::unique_ptr<Impl> impl);
  HeldProcess(HeldProcess&&) noexcept;
  HeldProcess& operator=(HeldProcess&&) noexcept;
  ~HeldProcess();
  // The file name of its executable, such as "vorn_miner.exe"; empty when
  // nothing is held or the name could not be read.
  std::string image_name() const;

 private:
  std::unique_ptr<Impl> impl_;
};

// Opens a running process by pid. Failure: kProcessEnded when no running
// process has that pid, else the system's error.
inline constexpr std::string_view kProcessEnded = "process has ended";
Result<HeldProcess> hold_process(std::uint32_t pid);

// Every running process named "vorn_miner.exe" as "pid<TAB>command line"
// lines (the command line empty when it cannot be read). The failure text
// is the reason alone, without a prefix.
Result<std::string> list_miner_processes();

// Ends a process and all its descendants (taskkill /PID n /T /F). The
// result is the tool's exit code; failure: it could not be run.
Result<std::uint32_t> run_tree_kill(std::uint32_t pid);

// One argument placed on a Windows command line by the usual rules.
std::string quote_windows_argument(const std::string& argument);

}  // namespace vorn::platform
