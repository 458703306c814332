#include <windows.h>
#include <tlhelp32.h>

#include <thread>
#include <vector>

#include "platform/os_error.h"
#include "platform/process.h"
#include "platform/win32/wide.h"

namespace vorn::platform {

struct PipeReader::Impl {
  OwnedHandle handle;
};

struct ChildProcess::Impl {
  OwnedHandle process, thread;
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
// STARTUPINFO), so a miner never holds other handles of the GUI open.
BOOL create_process(const std::wstring& program, std::wstring& line, DWORD flags, const wchar_t* folder,
                    STARTUPINFOW& si, std::vector<HANDLE> inherited, PROCESS_INFORMATION& pi) {
  std::erase_if(inherited, [](HANDLE h) {
    DWORD info = 0;
    return h == nullptr || h == INVALID_HANDLE_VALUE || !GetHandleInformation(h, &info) || !(info & HANDLE_FLAG_INHERIT);
  });
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> storage(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  STARTUPINFOEXW six{};
  six.StartupInfo = si;
  six.StartupInfo.cb = sizeof six;
  if (!inherited.empty() && InitializeProcThreadAttributeList(list, 1, 0, &size)) {
    if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                  inherited.size() * sizeof(HANDLE), nullptr, nullptr)) {
      six.lpAttributeList = list;
      BOOL ok = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                               flags | EXTENDED_STARTUPINFO_PRESENT, nullptr, folder, &six.StartupInfo, &pi);
      DeleteProcThreadAttributeList(list);
      return ok;
    }
    DeleteProcThreadAttributeList(list);
  }
  return CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, flags, nullptr, folder, &si, &pi);
}

// A pipe whose write end the child inherits.
MaybeError make_pipe(OwnedHandle& read_end, OwnedHandle& write_end) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE r = nullptr, w = nullptr;
  if (!CreatePipe(&r, &w, &sa, 0)) return last_os_error_text();
  read_end.reset(r);
  write_end.reset(w);
  SetHandleInformation(r, HANDLE_FLAG_INHERIT, 0);
  return std::nullopt;
}

// The full path of a tool, searched the way the system searches programs.
std::wstring find_program(const std::wstring& name) {
  wchar_t buffer[MAX_PATH];
  DWORD n = SearchPathW(nullptr, name.c_str(), L".exe", MAX_PATH, buffer, nullptr);
  if (n == 0 || n >= MAX_PATH) return name;
  return std::wstring(buffer, n);
}

void read_all(HANDLE pipe, std::string* out) {
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) out->append(buffer, got);
}

struct ToolRun {
  DWORD exit_code = 0;
  std::string out, err;
};

// Runs a system tool with standard input from NUL, its outputs captured or
// discarded, waiting at most 30 s.
Result<ToolRun> run_tool(const std::wstring& program, const std::vector<std::string>& arguments, bool capture) {
  using R = Result<ToolRun>;
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  OwnedHandle null_in(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                  OPEN_EXISTING, 0, nullptr));
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
  std::wstring path = find_program(program);
  std::wstring line = command_line(from_wide(program), arguments);
  PROCESS_INFORMATION pi{};
  if (!create_process(path, line, kNoWindow | CREATE_UNICODE_ENVIRONMENT, nullptr, si,
                      {si.hStdInput, si.hStdOutput, si.hStdError}, pi)) {
    return R::failure(last_os_error_text());
  }
  OwnedHandle process(pi.hProcess), thread(pi.hThread);
  out_w.reset();
  err_w.reset();
  ToolRun run;
  std::thread err_reader;
  if (capture) err_reader = std::thread(read_all, err_r.get(), &run.err);
  if (capture) read_all(out_r.get(), &run.out);
  DWORD wait = WaitForSingleObject(process.get(), static_cast<DWORD>(
      std::chrono::duration_cast<std::chrono::milliseconds>(kToolTimeLimit).count()));
  if (wait == WAIT_TIMEOUT) TerminateProcess(process.get(), 1);
  if (err_reader.joinable()) err_reader.join();
  if (wait == WAIT_TIMEOUT) return R::failure("timed out after 30 s");
  if (wait != WAIT_OBJECT_0) return R::failure(last_os_error_text());
  if (!GetExitCodeProcess(process.get(), &run.exit_code)) return R::failure(last_os_error_text());
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

PipeReader::PipeReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PipeReader::PipeReader(PipeReader&&) noexcept = default;
PipeReader& PipeReader::operator=(PipeReader&&) noexcept = default;
PipeReader::~PipeReader() = default;

Result<std::size_t> PipeReader::read(char* buffer, std::size_t size) {
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(impl_->handle.get(), buffer, static_cast<DWORD>(size), &got, nullptr)) {
      if (GetLastError() == ERROR_BROKEN_PIPE) return Result<std::size_t>::success(0);  // end of stream
      return Result<std::size_t>::failure(last_os_error_text());
    }
    // A writer's zero-byte write reads as a successful empty read: only a
    // broken pipe ends the stream.
    if (got > 0) return Result<std::size_t>::success(got);
  }
}

ChildProcess::ChildProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ChildProcess::ChildProcess(ChildProcess&&) noexcept = default;
ChildProcess& ChildProcess::operator=(ChildProcess&&) noexcept = default;
ChildProcess::~ChildProcess() = default;

std::uint32_t ChildProcess::pid() const { return GetProcessId(impl_->process.get()); }

Result<std::optional<std::uint32_t>> ChildProcess::try_wait() { return wait_for(std::chrono::milliseconds(0)); }

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
  if (TerminateProcess(impl_->process.get(), exit_code)) return std::nullopt;
  DWORD error = GetLastError();
  DWORD code = 0;
  // Access denied on a process that has already ended still counts.
  if (error == ERROR_ACCESS_DENIED && GetExitCodeProcess(impl_->process.get(), &code)) return std::nullopt;
  return os_error_text(static_cast<int>(error));
}

MaybeError ChildProcess::lower_priority() {
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
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);  // inherited, not redirected
  si.hStdOutput = out_w.get();
  si.hStdError = err_w.get();
  std::wstring program = to_wide(launch.program);
  std::wstring line = command_line(launch.program, launch.arguments);
  std::wstring folder = to_wide(launch.working_directory);
  PROCESS_INFORMATION pi{};
  if (!create_process(program, line, kNoWindow | CREATE_UNICODE_ENVIRONMENT, folder.empty() ? nullptr : folder.c_str(),
                      si, {si.hStdInput, si.hStdOutput, si.hStdError}, pi)) {
    return R::failure(last_os_error_text());
  }
  auto impl = std::make_unique<ChildProcess::Impl>();
  impl->process.reset(pi.hProcess);
  impl->thread.reset(pi.hThread);
  impl->stdout_pipe.emplace(std::make_unique<PipeReader::Impl>(PipeReader::Impl{std::move(out_r)}));
  impl->stderr_pipe.emplace(std::make_unique<PipeReader::Impl>(PipeReader::Impl{std::move(err_r)}));
  return R::success(ChildProcess(std::move(impl)));
}

Result<std::string> list_miner_processes() {
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
  Result<ToolRun> run = run_tool(L"taskkill", {"/PID", std::to_string(pid), "/T", "/F"}, false);
  if (!run.ok()) return Result<std::uint32_t>::failure(run.error());
  return Result<std::uint32_t>::success(run.value().exit_code);
}

}  // namespace vorn::platform
