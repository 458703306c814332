#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/os_error.h"
#include "platform/detached_thread.h"
#include "platform/fault_points.h"
#include "platform/process.h"
#include "platform/win32/handle_list.h"
#include "platform/win32/wide.h"

namespace vorn::platform {

struct PipeReader::Impl {
  OwnedHandle handle;
  std::chrono::steady_clock::time_point last_read;
};

struct HeldProcess::Impl {
  OwnedHandle process;
  std::string image;
};

struct ChildProcess::Impl {
  OwnedHandle process, thread;
  // The miner's job: the processes it starts join it, so they can be ended
  // with it. Not kill-on-close: a miner outlives a crash of this program.
  OwnedHandle job;
  std::optional<std::string> job_error;
  std::optional<OwnedHandle> stdin_pipe;
  std::optional<PipeReader> stdout_pipe, stderr_pipe;
};

namespace {

constexpr DWORD kNoWindow = 0x08000000;  // CREATE_NO_WINDOW
constexpr auto kToolTimeLimit = std::chrono::seconds(30);

std::wstring command_line(const std::string& program, const std::vector<std::string>& arguments) {
  std::string line = quote_windows_argument(program);
  for (const std::string& a : arguments) line += " " + quote_windows_argument(a);
  return to_wide(line);
}

// Creates a process that inherits only `inherited` (the handles in its
// STARTUPINFO), so a miner never holds other handles of the GUI open. When
// that list cannot be set up the process is not created: without it, every
// inheritable handle of the program would go to the child. Failure: the
// system's error text.
MaybeError create_process(const std::wstring& program, std::wstring& line, DWORD flags, const wchar_t* folder,
                          STARTUPINFOW& si, const std::vector<HANDLE>& handles, PROCESS_INFORMATION& pi) {
  std::vector<HANDLE> inherited = inheritable_handle_list(handles);
  std::erase_if(inherited, [](HANDLE h) {
    DWORD info = 0;
    return !GetHandleInformation(h, &info) || !(info & HANDLE_FLAG_INHERIT);
  });
  if (inherited.empty()) {
    if (CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, flags, nullptr, folder, &si, &pi)) {
      return std::nullopt;
    }
    return last_os_error_text();
  }
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> storage(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  if (take_fault("handle-list") || !InitializeProcThreadAttributeList(list, 1, 0, &size)) {
    return "the list of inherited handles could not be set up: " + last_os_error_text();
  }
  MaybeError failed;
  if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                 inherited.size() * sizeof(HANDLE), nullptr, nullptr)) {
    failed = "the list of inherited handles could not be set up: " + last_os_error_text();
  } else {
    STARTUPINFOEXW six{};
    six.StartupInfo = si;
    six.StartupInfo.cb = sizeof six;
    six.lpAttributeList = list;
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, flags | EXTENDED_STARTUPINFO_PRESENT,
                        nullptr, folder, &six.StartupInfo, &pi)) {
      failed = last_os_error_text();
    }
  }
  DeleteProcThreadAttributeList(list);
  return failed;
}

// NUL, inheritable: standard input for a child that reads none.
OwnedHandle open_null_device() {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  return OwnedHandle(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                 OPEN_EXISTING, 0, nullptr));
}

// A pipe whose write end the child inherits.
MaybeError make_pipe(OwnedHandle& read_end, OwnedHandle& write_end) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE r = nullptr, w = nullptr;
  // Room for a burst of output while the reader lets it gather (see read).
  if (!CreatePipe(&r, &w, &sa, 64 * 1024)) return last_os_error_text();
  read_end.reset(r);
  write_end.reset(w);
  SetHandleInformation(r, HANDLE_FLAG_INHERIT, 0);
  return std::nullopt;
}

bool is_file(const std::wstring& path) {
  const DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool is_absolute_folder(const std::wstring& folder) {
  return (folder.size() >= 3 && folder[1] == L':' && (folder[2] == L'\\' || folder[2] == L'/')) ||
         (folder.size() >= 2 && folder[0] == L'\\' && folder[1] == L'\\');
}

std::wstring in_folder(std::wstring folder, const std::wstring& file) {
  if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
  return folder + file;
}

// The full path of a system tool: Windows PowerShell's own folder (where
// it lives on every Windows), the system folder, then the absolute folders
// of PATH. Never the current folder or the program's own, where anyone who
// can write there could plant a tool of the same name; and PATH only last,
// since any earlier folder on it could supply a tool of that name.
std::optional<std::wstring> find_system_tool(const std::wstring& name) {
  const std::wstring file = name.size() > 4 && _wcsicmp(name.c_str() + name.size() - 4, L".exe") == 0 ? name
                                                                                                       : name + L".exe";
  wchar_t system[MAX_PATH];
  const UINT n = GetSystemDirectoryW(system, MAX_PATH);
  if (n > 0 && n < MAX_PATH) {
    const std::wstring system_folder(system, n);
    for (const std::wstring& folder : {in_folder(system_folder, L"WindowsPowerShell\\v1.0"), system_folder}) {
      if (is_file(in_folder(folder, file))) return in_folder(folder, file);
    }
  }
  const DWORD size = GetEnvironmentVariableW(L"PATH", nullptr, 0);
  std::wstring path(size, L'\0');
  path.resize(size ? GetEnvironmentVariableW(L"PATH", path.data(), size) : 0);
  std::size_t from = 0;
  while (from <= path.size()) {
    std::size_t end = path.find(L';', from);
    if (end == std::wstring::npos) end = path.size();
    std::wstring folder = path.substr(from, end - from);
    if (folder.size() >= 2 && folder.front() == L'"' && folder.back() == L'"') folder = folder.substr(1, folder.size() - 2);
    if (is_absolute_folder(folder) && is_file(in_folder(folder, file))) return in_folder(folder, file);
    from = end + 1;
  }
  return std::nullopt;
}

// Reads one pipe to its end on a thread of its own. What it read waits in
// shared state, so a reader that outlives a timed-out run (something still
// holds the pipe's other end) ends later on its own without harm.
class PipeDrain {
 public:
  explicit PipeDrain(OwnedHandle pipe) : state_(std::make_shared<State>()) {
    state_->pipe = std::move(pipe);
    start_detached_thread([state = state_] {
      char buffer[4096];
      std::string text;
      DWORD got = 0;
      while (ReadFile(state->pipe.get(), buffer, sizeof buffer, &got, nullptr)) text.append(buffer, got);
      std::lock_guard<std::mutex> lock(state->mutex);
      state->text = std::move(text);
      state->done = true;
      state->ended.notify_all();
    });
  }
  bool wait_until(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->ended.wait_until(lock, deadline, [&] { return state_->done; });
  }
  std::string take() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return std::move(state_->text);
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::string text;
    OwnedHandle pipe;
  };
  std::shared_ptr<State> state_;
};

// A job that ends every process in it when it is closed, so that a tool and
// whatever it started end together.
OwnedHandle make_kill_on_close_job() {
  OwnedHandle job(CreateJobObjectW(nullptr, nullptr));
  if (!job.valid()) return job;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    return OwnedHandle();
  }
  return job;
}

DWORD milliseconds_until(std::chrono::steady_clock::time_point deadline) {
  const auto left = deadline - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return 0;
  return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1);
}

struct ToolRun {
  DWORD exit_code = 0;
  std::string out, err;
};

// Runs a system tool with standard input from NUL, its outputs captured or
// discarded. The 30 s bound covers the whole run, output included: a tool
// that hangs with its output open is ended with everything it started.
Result<ToolRun> run_tool(const std::wstring& program, const std::vector<std::string>& arguments, bool capture) {
  using R = Result<ToolRun>;
  const auto deadline = std::chrono::steady_clock::now() + kToolTimeLimit;
  std::optional<std::wstring> path = find_system_tool(program);
  if (!path) return R::failure(os_error_text(ERROR_FILE_NOT_FOUND));
  OwnedHandle null_in = open_null_device();
  OwnedHandle out_r, out_w, err_r, err_w;
  if (capture) {
    if (MaybeError e = make_pipe(out_r, out_w)) return R::failure(*e);
    if (MaybeError e = make_pipe(err_r, err_w)) return R::failure(*e);
  }
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = null_in.get();
  si.hStdOutput = capture ? out_w.get() : null_in.get();
  si.hStdError = capture ? err_w.get() : null_in.get();
  std::wstring line = command_line(from_wide(program), arguments);
  OwnedHandle job = make_kill_on_close_job();
  PROCESS_INFORMATION pi{};
  if (MaybeError e = create_process(*path, line, kNoWindow | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED, nullptr,
                                    si, {si.hStdInput, si.hStdOutput, si.hStdError}, pi)) {
    return R::failure(*e);
  }
  OwnedHandle process(pi.hProcess), thread(pi.hThread);
  if (job.valid() && !AssignProcessToJobObject(job.get(), process.get())) job.reset();
  ResumeThread(thread.get());
  out_w.reset();
  err_w.reset();
  std::optional<PipeDrain> out, err;
  if (capture) {
    out.emplace(std::move(out_r));
    err.emplace(std::move(err_r));
  }
  const DWORD wait = WaitForSingleObject(process.get(), milliseconds_until(deadline));
  const DWORD wait_error = wait == WAIT_FAILED ? GetLastError() : 0;
  const bool drained = wait == WAIT_OBJECT_0 && (!out || (out->wait_until(deadline) && err->wait_until(deadline)));
  if (!drained) {
    // Over time: end the tool and its descendants, which closes the pipes'
    // other ends; the readers then finish, or are left to finish later.
    if (job.valid()) TerminateJobObject(job.get(), 1);
    TerminateProcess(process.get(), 1);
    if (wait == WAIT_FAILED) return R::failure(os_error_text(static_cast<int>(wait_error)));
    return R::failure("timed out after 30 s");
  }
  ToolRun run;
  if (!GetExitCodeProcess(process.get(), &run.exit_code)) return R::failure(last_os_error_text());
  if (out) {
    run.out = out->take();
    run.err = err->take();
  }
  return R::success(std::move(run));
}

std::string trimmed(std::string text) {
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && space(text.back())) text.pop_back();
  std::size_t start = 0;
  while (start < text.size() && space(text[start])) ++start;
  return text.substr(start);
}

}  // namespace

namespace {

double filetime_seconds(const FILETIME& t) {  // 100 ns units
  return static_cast<double>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
}

std::optional<ProcessStats> stats_of(HANDLE process) {
  FILETIME created, ended, kernel, user;
  PROCESS_MEMORY_COUNTERS memory{};
  memory.cb = sizeof memory;
  if (!GetProcessTimes(process, &created, &ended, &kernel, &user) ||
      !GetProcessMemoryInfo(process, &memory, sizeof memory)) {
    return std::nullopt;
  }
  return ProcessStats{filetime_seconds(kernel) + filetime_seconds(user), memory.WorkingSetSize};
}

}  // namespace

ProcessStats own_process_stats() { return stats_of(GetCurrentProcess()).value_or(ProcessStats{}); }

double own_start_time_unix() {
  FILETIME created, ended, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user)) return 0;
  constexpr double kUnixEpoch = 11644473600.0;  // seconds from 1601 to 1970
  return filetime_seconds(created) - kUnixEpoch;
}

std::optional<ProcessStats> ChildProcess::stats() const { return stats_of(impl_->process.get()); }

PipeReader::PipeReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PipeReader::PipeReader(PipeReader&&) noexcept = default;
PipeReader& PipeReader::operator=(PipeReader&&) noexcept = default;
PipeReader::~PipeReader() = default;

Result<std::size_t> PipeReader::read(char* buffer, std::size_t size) {
  HANDLE pipe = impl_->handle.get();
  DWORD got = 0;
  for (;;) {
    if (!ReadFile(pipe, buffer, static_cast<DWORD>(size), &got, nullptr)) {
      if (GetLastError() == ERROR_BROKEN_PIPE) return Result<std::size_t>::success(0);  // end of stream
      return Result<std::size_t>::failure(last_os_error_text());
    }
    // A writer's zero-byte write reads as a successful empty read: only a
    // broken pipe ends the stream.
    if (got > 0) break;
  }
  std::size_t total = got;
  // A miner writes a line at a time, and every read is a trip into the
  // system (several under Wine). While output streams in, a read that found
  // little waits a moment for more, so a flood is read in large pieces; a
  // line that comes alone is not held.
  const auto now = std::chrono::steady_clock::now();
  const bool streaming = now - impl_->last_read < std::chrono::milliseconds(5);
  impl_->last_read = now;
  if (streaming && total < size / 4) {
    Sleep(1);
    DWORD available = 0;
    if (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
      DWORD more = 0;
      const DWORD room = static_cast<DWORD>(std::min<std::size_t>(available, size - total));
      if (ReadFile(pipe, buffer + total, room, &more, nullptr)) total += more;
    }
  }
  return Result<std::size_t>::success(total);
}

ChildProcess::ChildProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ChildProcess::ChildProcess(ChildProcess&&) noexcept = default;
ChildProcess& ChildProcess::operator=(ChildProcess&&) noexcept = default;
ChildProcess::~ChildProcess() = default;

std::uint32_t ChildProcess::pid() const { return GetProcessId(impl_->process.get()); }

Result<std::optional<std::uint32_t>> ChildProcess::try_wait() {
  if (take_fault("miner-poll")) return Result<std::optional<std::uint32_t>>::failure("injected failure at miner-poll");
  return wait_for(std::chrono::milliseconds(0));
}

Result<std::optional<std::uint32_t>> ChildProcess::wait_for(std::chrono::milliseconds limit) {
  using R = Result<std::optional<std::uint32_t>>;
  DWORD wait = WaitForSingleObject(impl_->process.get(), static_cast<DWORD>(limit.count()));
  if (wait == WAIT_TIMEOUT) return R::success(std::nullopt);
  if (wait != WAIT_OBJECT_0) return R::failure(last_os_error_text());
  DWORD code = 0;
  if (!GetExitCodeProcess(impl_->process.get(), &code)) return R::failure(last_os_error_text());
  return R::success(static_cast<std::uint32_t>(code));
}

MaybeError ChildProcess::terminate(std::uint32_t exit_code) {
  DWORD error = ERROR_ACCESS_DENIED;  // what the seam stands for: a refusal
  if (!take_fault("terminate")) {
    if (TerminateProcess(impl_->process.get(), exit_code)) return std::nullopt;
    error = GetLastError();
  }
  // Access denied on a process that has already ended still counts; on one
  // that still runs it is a failure.
  if (error == ERROR_ACCESS_DENIED && WaitForSingleObject(impl_->process.get(), 0) == WAIT_OBJECT_0) return std::nullopt;
  return os_error_text(static_cast<int>(error));
}

void ChildProcess::end_job() {
  if (impl_->job.valid()) TerminateJobObject(impl_->job.get(), 1);
}

std::optional<std::string> ChildProcess::job_error() const { return impl_->job_error; }

MaybeError ChildProcess::lower_priority() {
  if (take_fault("lower-priority")) return std::string("injected failure at lower-priority");
  if (!SetPriorityClass(impl_->process.get(), BELOW_NORMAL_PRIORITY_CLASS)) {
    return "Windows error " + std::to_string(GetLastError());
  }
  return std::nullopt;
}

std::optional<PipeReader> ChildProcess::take_stdout() { return std::exchange(impl_->stdout_pipe, std::nullopt); }
std::optional<PipeReader> ChildProcess::take_stderr() { return std::exchange(impl_->stderr_pipe, std::nullopt); }
void ChildProcess::close_stdin() { impl_->stdin_pipe.reset(); }

Result<ChildProcess> spawn_with_output_pipes(const MinerLaunch& launch) {
  using R = Result<ChildProcess>;
  OwnedHandle out_r, out_w, err_r, err_w;
  if (MaybeError e = make_pipe(out_r, out_w)) return R::failure(*e);
  if (MaybeError e = make_pipe(err_r, err_w)) return R::failure(*e);
  // A program without a console may have no standard input to pass on, or
  // one that may not be inherited: the miner reads none, so it gets NUL.
  OwnedHandle null_in = open_null_device();
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = null_in.get();
  si.hStdOutput = out_w.get();
  si.hStdError = err_w.get();
  std::wstring program = to_wide(launch.program);
  std::wstring line = command_line(launch.program, launch.arguments);
  std::wstring folder = to_wide(launch.working_directory);
  PROCESS_INFORMATION pi{};
  // Started suspended, so that it joins its job before it can start anything.
  if (MaybeError e = create_process(program, line, kNoWindow | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED,
                                    folder.empty() ? nullptr : folder.c_str(), si,
                                    {si.hStdInput, si.hStdOutput, si.hStdError}, pi)) {
    return R::failure(*e);
  }
  auto impl = std::make_unique<ChildProcess::Impl>();
  impl->process.reset(pi.hProcess);
  impl->thread.reset(pi.hThread);
  impl->job.reset(CreateJobObjectW(nullptr, nullptr));
  if (take_fault("miner-job")) {
    impl->job_error = "injected failure at miner-job";
  } else if (!impl->job.valid() || !AssignProcessToJobObject(impl->job.get(), pi.hProcess)) {
    impl->job_error = last_os_error_text();
  }
  // Without its job it still runs; only what it starts is not ended with it.
  if (impl->job_error) impl->job.reset();
  if (ResumeThread(pi.hThread) == static_cast<DWORD>(-1)) {
    const std::string error = last_os_error_text();
    TerminateProcess(pi.hProcess, 1);
    return R::failure(error);
  }
  impl->stdout_pipe.emplace(std::make_unique<PipeReader::Impl>(PipeReader::Impl{std::move(out_r), {}}));
  impl->stderr_pipe.emplace(std::make_unique<PipeReader::Impl>(PipeReader::Impl{std::move(err_r), {}}));
  return R::success(ChildProcess(std::move(impl)));
}

HeldProcess::HeldProcess() = default;
HeldProcess::HeldProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
HeldProcess::HeldProcess(HeldProcess&&) noexcept = default;
HeldProcess& HeldProcess::operator=(HeldProcess&&) noexcept = default;
HeldProcess::~HeldProcess() = default;

std::string HeldProcess::image_name() const { return impl_ ? impl_->image : std::string(); }

Result<HeldProcess> hold_process(std::uint32_t pid) {
  using R = Result<HeldProcess>;
  if (take_fault("process-hold")) return R::failure("injected failure at process-hold");
  auto impl = std::make_unique<HeldProcess::Impl>();
  impl->process.reset(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid));
  if (!impl->process.valid()) {
    // A pid that names no process is refused as an invalid parameter.
    return R::failure(GetLastError() == ERROR_INVALID_PARAMETER ? std::string(kProcessEnded) : last_os_error_text());
  }
  if (WaitForSingleObject(impl->process.get(), 0) == WAIT_OBJECT_0) return R::failure(std::string(kProcessEnded));
  std::wstring path(32768, L'\0');
  DWORD size = static_cast<DWORD>(path.size());
  if (QueryFullProcessImageNameW(impl->process.get(), 0, path.data(), &size)) {
    path.resize(size);
    const std::size_t slash = path.find_last_of(L"\\/");
    impl->image = from_wide(slash == std::wstring::npos ? path : path.substr(slash + 1));
  }
  return R::success(HeldProcess(std::move(impl)));
}

Result<std::string> list_miner_processes() {
  if (take_fault("process-list")) return Result<std::string>::failure("injected failure at process-list");
  static const std::vector<std::string> arguments = {
      "-NoProfile", "-ExecutionPolicy", "Bypass", "-Command",
      "Get-CimInstance Win32_Process -Filter \"Name = 'vorn_miner.exe'\" | ForEach-Object { "
      "\"$($_.ProcessId)`t$($_.CommandLine)\" }"};
  Result<ToolRun> run = run_tool(L"powershell.exe", arguments, true);
  if (!run.ok()) return Result<std::string>::failure(run.error());
  if (run.value().exit_code != 0) return Result<std::string>::failure(trimmed(run.value().err));
  return Result<std::string>::success(std::move(run.value().out));
}

Result<std::uint32_t> run_tree_kill(std::uint32_t pid) {
  if (take_fault("tree-kill")) return Result<std::uint32_t>::failure("injected failure at tree-kill");
  Result<ToolRun> run = run_tool(L"taskkill", {"/PID", std::to_string(pid), "/T", "/F"}, false);
  if (!run.ok()) return Result<std::uint32_t>::failure(run.error());
  return Result<std::uint32_t>::success(run.value().exit_code);
}

}  // namespace vorn::platform
