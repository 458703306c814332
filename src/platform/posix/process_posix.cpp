#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "platform/os_error.h"
#include "platform/posix/process_posix.h"
#include "platform/fault_points.h"

extern char** environ;

namespace vorn::platform {
namespace {

int pidfd_open(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

std::optional<std::string> read_small_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The state letter of /proc/<pid>/stat ("pid (name) S ..."; the name may hold
// blanks and parentheses), or 0 when it cannot be read. 'Z': ended, not reaped.
char process_state(const std::string& proc_folder) {
  std::optional<std::string> stat = read_small_file(proc_folder + "/stat");
  std::size_t close = stat ? stat->rfind(") ") : std::string::npos;
  return close != std::string::npos && close + 2 < stat->size() ? (*stat)[close + 2] : '\0';
}

// The process's name from /proc/<pid>/comm, without its line feed.
std::string process_name(const std::string& proc_folder) {
  std::string name = read_small_file(proc_folder + "/comm").value_or("");
  if (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

// Parent pid of every process, read from /proc.
std::map<pid_t, pid_t> parent_pids() {
  std::map<pid_t, pid_t> parents;
  DIR* proc = ::opendir("/proc");
  if (!proc) return parents;
  while (dirent* d = ::readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(d->d_name, &end, 10);
    if (*end != '\0' || pid <= 0) continue;
    std::optional<std::string> stat = read_small_file(std::string("/proc/") + d->d_name + "/stat");
    if (!stat) continue;
    // "pid (comm) state ppid ...": the name may hold blanks and parentheses.
    std::size_t close = stat->rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(stat->substr(close + 1));
    char state = 0;
    long ppid = 0;
    rest >> state >> ppid;
    parents[static_cast<pid_t>(pid)] = static_cast<pid_t>(ppid);
  }
  ::closedir(proc);
  return parents;
}

// CPU time and resident size from /proc/<pid>/stat: utime and stime are
// fields 14 and 15, rss (in pages) field 24, counted from the pid.
std::optional<ProcessStats> stats_of(const std::string& proc_folder) {
  std::optional<std::string> stat = read_small_file(proc_folder + "/stat");
  std::size_t close = stat ? stat->rfind(')') : std::string::npos;
  if (close == std::string::npos) return std::nullopt;
  std::istringstream rest(stat->substr(close + 1));
  std::vector<std::string> fields;  // from field 3 (the state) on
  for (std::string f; rest >> f;) fields.push_back(f);
  if (fields.size() < 22) return std::nullopt;
  const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  ProcessStats stats;
  stats.cpu_seconds = (std::stod(fields[11]) + std::stod(fields[12])) / ticks;
  stats.resident_bytes = std::stoull(fields[21]) * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  return stats;
}

}  // namespace

ProcessStats own_process_stats() { return stats_of("/proc/self").value_or(ProcessStats{}); }

// Field 22 of /proc/self/stat: the start in clock ticks after boot; the
// boot's Unix time is "btime" in /proc/stat.
double own_start_time_unix() {
  static const double start = [] {
    std::optional<std::string> stat = read_small_file("/proc/self/stat");
    std::optional<std::string> system = read_small_file("/proc/stat");
    std::size_t close = stat ? stat->rfind(')') : std::string::npos;
    std::size_t btime = system ? system->find("btime ") : std::string::npos;
    if (close == std::string::npos || btime == std::string::npos) return 0.0;
    std::istringstream rest(stat->substr(close + 1));
    std::string f;
    for (int i = 3; i <= 22 && rest >> f; ++i) {
    }
    return std::stod(system->substr(btime + 6)) + std::stod(f) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }();
  return start;
}

std::optional<ProcessStats> ChildProcess::stats() const {
  if (impl_->exit_code || impl_->reaped) return std::nullopt;
  return stats_of("/proc/" + std::to_string(impl_->pid));
}

// Collects an ended child once; a child that still runs is left alone (a
// dropped record never ends its process).
void reap(ChildProcess::Impl* impl) {
  if (!impl || impl->reaped || !impl->exit_code || !impl->pidfd.valid()) return;
  siginfo_t info{};
  if (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(impl->pidfd.get()), &info, WEXITED | WNOHANG) == 0) {
    impl->reaped = true;
  }
}

PipeReader::PipeReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PipeReader::PipeReader(PipeReader&&) noexcept = default;
PipeReader& PipeReader::operator=(PipeReader&&) noexcept = default;
PipeReader::~PipeReader() = default;

Result<std::size_t> PipeReader::read(char* buffer, std::size_t size) {
  for (;;) {
    ssize_t n = ::read(impl_->fd.get(), buffer, size);
    if (n >= 0) return Result<std::size_t>::success(static_cast<std::size_t>(n));
    if (errno != EINTR) return Result<std::size_t>::failure(last_os_error_text());
  }
}

ChildProcess::ChildProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ChildProcess::ChildProcess(ChildProcess&&) noexcept = default;
ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    reap(impl_.get());
    impl_ = std::move(other.impl_);
  }
  return *this;
}
// An ended child is reaped only now: until then its pid, which names its
// process group, cannot pass to another process (see end_job).
ChildProcess::~ChildProcess() { reap(impl_.get()); }

std::uint32_t ChildProcess::pid() const { return static_cast<std::uint32_t>(impl_->pid); }

Result<std::optional<std::uint32_t>> ChildProcess::try_wait() {
  using R = Result<std::optional<std::uint32_t>>;
  if (take_fault("miner-poll")) return R::failure("injected failure at miner-poll");
  if (impl_->exit_code) return R::success(impl_->exit_code);
  siginfo_t info{};
  // Seen, not reaped (WNOWAIT): the ended child stays a zombie that holds
  // its pid, so that ending its process group later reaches only its own.
  if (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(impl_->pidfd.get()), &info,
               WEXITED | WNOHANG | WNOWAIT) != 0) {
    return R::failure(last_os_error_text());
  }
  if (info.si_pid == 0) return R::success(std::nullopt);
  impl_->exit_code = info.si_code == CLD_EXITED ? static_cast<std::uint32_t>(info.si_status)
                                                : 128u + static_cast<std::uint32_t>(info.si_status);
  return R::success(impl_->exit_code);
}

Result<std::optional<std::uint32_t>> ChildProcess::wait_for(std::chrono::milliseconds limit) {
  if (!impl_->exit_code) {
    pollfd p{impl_->pidfd.get(), POLLIN, 0};
    int ms = limit.count() > INT32_MAX ? INT32_MAX : static_cast<int>(limit.count());
    while (::poll(&p, 1, ms) < 0 && errno == EINTR) {
    }
  }
  return try_wait();
}

MaybeError ChildProcess::terminate(std::uint32_t) {
  if (impl_->exit_code) return std::nullopt;
  if (::syscall(SYS_pidfd_send_signal, impl_->pidfd.get(), SIGKILL, nullptr, 0) != 0) {
    if (errno == ESRCH) return std::nullopt;  // already ended
    return last_os_error_text();
  }
  return std::nullopt;
}

MaybeError ChildProcess::lower_priority() {
  if (take_fault("lower-priority")) return std::string("injected failure at lower-priority");
  // The nearest equivalent of BELOW_NORMAL_PRIORITY_CLASS.
  if (::setpriority(PRIO_PROCESS, static_cast<id_t>(impl_->pid), 5) != 0) {
    return "errno " + std::to_string(errno);
  }
  return std::nullopt;
}

void ChildProcess::end_job() {
  // The group's leader is this child, not yet reaped, so the group id
  // still names only processes that it started.
  if (impl_ && !impl_->reaped) ::kill(-impl_->pid, SIGKILL);
}

std::optional<std::string> ChildProcess::job_error() const { return std::nullopt; }

std::optional<PipeReader> ChildProcess::take_stdout() { return std::exchange(impl_->stdout_pipe, std::nullopt); }
std::optional<PipeReader> ChildProcess::take_stderr() { return std::exchange(impl_->stderr_pipe, std::nullopt); }
void ChildProcess::close_stdin() {}  // standard input is inherited, never a pipe here

Result<ChildProcess> spawn_with_output_pipes(const MinerLaunch& launch) {
  using R = Result<ChildProcess>;
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return R::failure(last_os_error_text());
  UniqueFd out_read(out[0]), out_write(out[1]);
  if (::pipe2(err, O_CLOEXEC) != 0) return R::failure(last_os_error_text());
  UniqueFd err_read(err[0]), err_write(err[1]);

  // A process group of its own: what the miner starts stays in it and can
  // be ended with it.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_write.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, err_write.get(), 2);
  if (!launch.working_directory.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, launch.working_directory.c_str());
  }
  std::vector<std::string> args{launch.program};
  args.insert(args.end(), launch.arguments.begin(), launch.arguments.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, launch.program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) return R::failure(os_error_text(rc));

  auto impl = std::make_unique<ChildProcess::Impl>();
  impl->pid = pid;
  impl->pidfd.reset(pidfd_open(pid));
  if (!impl->pidfd.valid()) {
    std::string error = last_os_error_text();
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return R::failure(error);
  }
  impl->stdout_pipe.emplace(std::make_unique<PipeReader::Impl>(PipeReader::Impl{std::move(out_read)}));
  impl->stderr_pipe.emplace(std::make_unique<PipeReader::Impl>(PipeReader::Impl{std::move(err_read)}));
  return R::success(ChildProcess(std::move(impl)));
}

HeldProcess::HeldProcess() = default;
HeldProcess::HeldProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
HeldProcess::HeldProcess(HeldProcess&&) noexcept = default;
HeldProcess& HeldProcess::operator=(HeldProcess&&) noexcept = default;
HeldProcess::~HeldProcess() = default;

std::string HeldProcess::image_name() const { return impl_ ? impl_->image : std::string(); }

// Linux does not hold a pid back while a pidfd is open, but the name is read
// after the pidfd names the process, and an ended process fails here.
Result<HeldProcess> hold_process(std::uint32_t pid) {
  if (take_fault("process-hold")) return Result<HeldProcess>::failure("injected failure at process-hold");
  auto impl = std::make_unique<HeldProcess::Impl>();
  impl->pidfd.reset(pidfd_open(static_cast<pid_t>(pid)));
  if (!impl->pidfd.valid()) {
    return Result<HeldProcess>::failure(errno == ESRCH ? std::string(kProcessEnded) : last_os_error_text());
  }
  const std::string base = "/proc/" + std::to_string(pid);
  const char state = process_state(base);
  if (state == '\0' || state == 'Z') return Result<HeldProcess>::failure(std::string(kProcessEnded));
  impl->image = process_name(base);
  return Result<HeldProcess>::success(HeldProcess(std::move(impl)));
}

Result<std::string> list_miner_processes() {
  if (take_fault("process-list")) return Result<std::string>::failure("injected failure at process-list");
  DIR* proc = ::opendir("/proc");
  if (!proc) return Result<std::string>::failure(last_os_error_text());
  std::string out;
  while (dirent* d = ::readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(d->d_name, &end, 10);
    if (*end != '\0' || pid <= 0) continue;
    std::string base = std::string("/proc/") + d->d_name;
    if (process_name(base) != "vorn_miner.exe") continue;
    if (process_state(base) == 'Z') continue;  // ended, nobody reaped it yet: not running
    std::string command_line = read_small_file(base + "/cmdline").value_or("");
    while (!command_line.empty() && command_line.back() == '\0') command_line.pop_back();
    for (char& c : command_line) {
      if (c == '\0') c = ' ';
    }
    out += std::to_string(pid) + "\t" + command_line + "\n";
  }
  ::closedir(proc);
  return Result<std::string>::success(out);
}

Result<std::uint32_t> run_tree_kill(std::uint32_t pid) {
  if (take_fault("tree-kill")) return Result<std::uint32_t>::failure("injected failure at tree-kill");
  std::map<pid_t, pid_t> parents = parent_pids();
  const pid_t root = static_cast<pid_t>(pid);
  if (!parents.count(root)) return Result<std::uint32_t>::success(128);  // as taskkill: no such process
  // Every descendant, found before anything is killed (orphans get new parents).
  std::set<pid_t> tree{root};
  for (bool grew = true; grew;) {
    grew = false;
    for (const auto& [child, parent] : parents) {
      if (tree.count(parent) && tree.insert(child).second) grew = true;
    }
  }
  std::uint32_t status = 0;
  for (pid_t p : tree) {
    if (::kill(p, SIGKILL) != 0 && errno != ESRCH) status = 1;
  }
  return Result<std::uint32_t>::success(status);
}

}  // namespace vorn::platform
