#include "support/http_support.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "platform/http_client.h"
#include "platform/process.h"
#include "platform/paths.h"
#include "support/test_support.h"

namespace vorn::testing_support {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// --- Python and the recorder ---------------------------------------------------

namespace {

bool is_file(const std::string& path) {
  std::error_code ec;
  return fs::is_regular_file(fs::u8path(path), ec);
}

std::optional<std::string> on_path(const std::vector<std::string>& names) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return std::nullopt;
#ifdef _WIN32
  const char separator = ';';
#else
  const char separator = ':';
#endif
  std::stringstream folders(path);
  std::string folder;
  while (std::getline(folders, folder, separator)) {
    if (folder.empty()) continue;
    for (const std::string& name : names) {
      const std::string candidate = platform::join_path(folder, name);
      if (is_file(candidate)) return candidate;
    }
  }
  return std::nullopt;
}

bool under_wine_drive(const std::string& path) {
  return path.size() > 3 && (path[0] == 'Z' || path[0] == 'z') && path[1] == ':';
}

// A Linux python3 started from Wine sees Linux paths: Z:\a\b is /a/b.
std::string path_for(const std::string& python, const std::string& path) {
  if (!under_wine_drive(python) || !under_wine_drive(path)) return path;
  std::string unix_path = path.substr(2);
  std::replace(unix_path.begin(), unix_path.end(), '\\', '/');
  return unix_path;
}

std::string from_hex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

bool same_name(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

}  // namespace

std::optional<std::string> find_python3() {
#ifdef _WIN32
  if (is_file("Z:\\usr\\bin\\python3")) return "Z:\\usr\\bin\\python3";
  return on_path({"python3.exe", "python.exe"});
#else
  if (is_file("/usr/bin/python3")) return "/usr/bin/python3";
  return on_path({"python3"});
#endif
}

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  for (const auto& [n, v] : headers) {
    if (same_name(n, name)) return v;
  }
  return std::nullopt;
}

// The recorder's process. Natively a child with pipes, ended by pid if its
// lease does not end it. On Windows it is started by CreateProcessW alone:
// Wine starts a Linux python3 without a process handle or pipes, so there the
// lease and the port file are all there is.
class HttpRecorder::Process {
 public:
#ifdef _WIN32
  static Result<std::unique_ptr<Process>> start(const std::string& program, const std::vector<std::string>& arguments) {
    std::string line = platform::quote_windows_argument(program);
    for (const std::string& a : arguments) line += " " + platform::quote_windows_argument(a);
    std::wstring wide_program = to_wide(program), wide_line = to_wide(line);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(wide_program.c_str(), wide_line.data(), nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT, nullptr, nullptr, &si, &pi)) {
      return Result<std::unique_ptr<Process>>::failure("error " + std::to_string(GetLastError()));
    }
    if (pi.hThread != nullptr) CloseHandle(pi.hThread);
    auto process = std::make_unique<Process>();
    process->handle_ = pi.hProcess;  // none under Wine for a Linux program
    return Result<std::unique_ptr<Process>>::success(std::move(process));
  }
  ~Process() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  bool ended() { return handle_ != nullptr && WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0; }
  std::string errors() { return "(see the test's own error output)"; }
  void end(std::chrono::milliseconds grace) {
    if (handle_ == nullptr) return;
    if (WaitForSingleObject(handle_, static_cast<DWORD>(grace.count())) != WAIT_OBJECT_0) {
      TerminateProcess(handle_, 1);
      WaitForSingleObject(handle_, 5000);
    }
  }

 private:
  static std::wstring to_wide(const std::string& text) {
    std::wstring wide(MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        static_cast<int>(wide.size()));
    return wide;
  }
  HANDLE handle_ = nullptr;
#else
  static Result<std::unique_ptr<Process>> start(const std::string& program, const std::vector<std::string>& arguments) {
    Result<platform::ChildProcess> child = platform::spawn_with_output_pipes({program, arguments, {}});
    if (!child.ok()) return Result<std::unique_ptr<Process>>::failure(child.error());
    auto process = std::make_unique<Process>();
    process->child_.emplace(std::move(child).value());
    return Result<std::unique_ptr<Process>>::success(std::move(process));
  }
  bool ended() {
    Result<std::optional<std::uint32_t>> status = child_->try_wait();
    return status.ok() && status.value();
  }
  // What it wrote to its standard error.
  std::string errors() {
    std::optional<platform::PipeReader> pipe = child_->take_stderr();
    std::string text;
    char buffer[4096];
    while (pipe && text.size() < 64 * 1024) {
      Result<std::size_t> n = pipe->read(buffer, sizeof buffer);
      if (!n.ok() || n.value() == 0) break;
      text.append(buffer, n.value());
    }
    return text;
  }
  void end(std::chrono::milliseconds grace) {
    Result<std::optional<std::uint32_t>> status = child_->wait_for(grace);
    if (!status.ok() || !status.value()) {
      child_->terminate(1);
      child_->wait_for(std::chrono::seconds(5));
    }
  }

 private:
  std::optional<platform::ChildProcess> child_;
#endif
};

Result<std::unique_ptr<HttpRecorder>> HttpRecorder::start(const std::string& answers) {
  using R = Result<std::unique_ptr<HttpRecorder>>;
  const std::optional<std::string> python = find_python3();
  if (!python) return R::failure(std::string(kNoPython));
  static int started = 0;
  std::unique_ptr<HttpRecorder> recorder(new HttpRecorder());
  recorder->folder_ = scratch_folder("http_recorder_" + std::to_string(++started));
  recorder->record_ = platform::join_path(recorder->folder_, "requests.jsonl");
  recorder->port_file_ = platform::join_path(recorder->folder_, "port");
  recorder->lease_ = platform::join_path(recorder->folder_, "lease");
  write_file(recorder->lease_, "while this file exists\n");
  const char* script = std::getenv("VORN_HTTP_RECORDER");  // where the source folder is elsewhere
  std::vector<std::string> arguments = {script != nullptr && *script != '\0' ? script : VORN_HTTP_RECORDER_SCRIPT,
                                        "--answers", answers, "--lifetime", "900"};
  using Flag = std::pair<const char*, std::string>;
  for (const auto& [flag, path] : {Flag{"--record", recorder->record_}, Flag{"--port-file", recorder->port_file_},
                                   Flag{"--lease", recorder->lease_}}) {
    arguments.push_back(flag);
    arguments.push_back(path_for(*python, path));
  }
  Result<std::unique_ptr<Process>> process = Process::start(*python, arguments);
  if (!process.ok()) return R::failure("python3 did not start: " + process.error());
  recorder->process_ = std::move(process).value();
  const auto until = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < until) {
    const std::string text = read_file(recorder->port_file_);
    if (!text.empty() && text.back() == '\n') {
      recorder->port_ = static_cast<std::uint16_t>(std::stoi(text));
      return R::success(std::move(recorder));
    }
    if (recorder->process_->ended()) return R::failure("the recorder ended at once: " + recorder->process_->errors());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return R::failure("the recorder did not start listening within 20 s");
}

HttpRecorder::~HttpRecorder() {
  std::error_code ec;
  fs::remove(fs::u8path(lease_), ec);  // it ends within 0.2 s and then removes its port file
  const auto until = Clock::now() + std::chrono::seconds(5);
  while (port_ != 0 && exists(port_file_) && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (process_) process_->end(std::chrono::seconds(2));
}

std::string HttpRecorder::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

MaybeError HttpRecorder::set_answers(const std::string& answers) {
  platform::HttpRequest request;
  request.url = url("/_control/answers");
  request.body = answers;
  request.time_limit = std::chrono::seconds(10);
  const platform::HttpResponse response = platform::http_send(request);
  if (!response.error.empty()) return response.error;
  if (response.status != 200) return "the recorder answered " + std::to_string(response.status);
  return std::nullopt;
}

std::vector<RecordedRequest> HttpRecorder::requests() const {
  std::vector<RecordedRequest> found;
  std::stringstream lines(read_file(record_));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty()) continue;
    const nlohmann::json entry = nlohmann::json::parse(line, nullptr, false);
    if (entry.is_discarded()) break;  // a line still being written
    RecordedRequest r;
    r.method = entry.at("method").get<std::string>();
    r.path = entry.at("path").get<std::string>();
    for (const auto& h : entry.at("headers")) {
      r.headers.emplace_back(h.at(0).get<std::string>(), h.at(1).get<std::string>());
    }
    r.body = from_hex(entry.at("body_hex").get<std::string>());
    r.time = entry.at("time").get<double>();
    found.push_back(std::move(r));
  }
  return found;
}

bool HttpRecorder::wait_for_requests(std::size_t n, std::chrono::milliseconds limit) const {
  const auto until = Clock::now() + limit;
  while (requests().size() < n) {
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// --- raw TCP ---------------------------------------------------------------------

namespace {

#ifdef _WIN32
using Socket = SOCKET;
void close_socket(Socket s) { closesocket(s); }
bool ready_to_read(Socket s, int ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval tv{ms / 1000, ms % 1000 * 1000};
  return select(0, &set, nullptr, nullptr, &tv) > 0;
}
void start_sockets() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}
constexpr int kSendFlags = 0;
#else
using Socket = int;
void close_socket(Socket s) { ::close(s); }
bool ready_to_read(Socket s, int ms) {
  pollfd p{s, POLLIN, 0};
  return ::poll(&p, 1, ms) > 0;
}
void start_sockets() {}
constexpr int kSendFlags = MSG_NOSIGNAL;
#endif

Socket as_socket(std::intptr_t s) { return static_cast<Socket>(s); }

}  // namespace

Result<RawClient> RawClient::connect(std::uint16_t port) {
  start_sockets();
  const Socket s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == static_cast<Socket>(-1)) return Result<RawClient>::failure("no socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close_socket(s);
    return Result<RawClient>::failure("could not connect to port " + std::to_string(port));
  }
  return Result<RawClient>::success(RawClient(static_cast<std::intptr_t>(s)));
}

RawClient::RawClient(RawClient&& o) noexcept : socket_(std::exchange(o.socket_, -1)) {}
RawClient& RawClient::operator=(RawClient&& o) noexcept {
  if (this != &o) {
    close();
    socket_ = std::exchange(o.socket_, -1);
  }
  return *this;
}
RawClient::~RawClient() { close(); }

void RawClient::close() {
  if (socket_ != -1) close_socket(as_socket(socket_));
  socket_ = -1;
}

bool RawClient::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const auto n = ::send(as_socket(socket_), bytes.data(), static_cast<int>(bytes.size()), kSendFlags);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

RawClient::Received RawClient::receive_until(std::string_view marker, std::chrono::milliseconds limit) {
  Received received;
  const auto until = Clock::now() + limit;
  while (Clock::now() < until) {
    if (!marker.empty() && received.bytes.find(marker) != std::string::npos) break;
    if (!ready_to_read(as_socket(socket_), 50)) continue;
    char buffer[4096];
    const auto n = ::recv(as_socket(socket_), buffer, sizeof buffer, 0);
    if (n <= 0) {  // closed, or reset
      received.closed = true;
      break;
    }
    received.bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return received;
}

RawClient::Received RawClient::receive_until_closed(std::chrono::milliseconds limit) {
  return receive_until({}, limit);
}

}  // namespace vorn::testing_support
