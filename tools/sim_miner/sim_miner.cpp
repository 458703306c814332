// The simulated miner: prints the output markers the GUI relies on and can
// misbehave on request. Used by the tests and the demo; never shipped.
//
// Environment (inherited from the GUI that starts it):
//   VORN_SIM_RECORD=<file>    write arguments, working directory and priority
//   VORN_SIM_MODE=rounds      (default) realistic rounds until ended
//                 exit        exit with VORN_SIM_EXIT_CODE after VORN_SIM_DELAY_MS;
//                             VORN_SIM_GRANDCHILD=writer first starts a child that inherits the
//                             output and writes "WARN orphan line N" every 100 ms until killed
//                 ignore      run until killed; VORN_SIM_GRANDCHILD=1 starts a child too
//                 stall       print one new block height, then nothing more until killed
//                 flood       print VORN_SIM_LINES lines (VORN_SIM_FLOOD_TEXT, where "{n}" is the
//                             line's number, or numbered, or empty with VORN_SIM_FLOOD_EMPTY=1),
//                             VORN_SIM_LINE_MS apart, then exit
//                 text        print VORN_SIM_TEXT (\n, \r and \xHH escapes) then exit
//                 endless     print VORN_SIM_BYTES (default 200 MB) of progress digits without
//                             a line feed as fast as it can, end the line with a WARN
//                             line, then go on in rounds
//   VORN_SIM_ROUND_MS         length of one round in rounds mode (default 4000)
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#include <spawn.h>
extern char** environ;
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

std::string env(const char* name, const char* fallback = "") {
  const char* v = std::getenv(name);
  return v ? v : fallback;
}

long env_number(const char* name, long fallback) {
  std::string v = env(name);
  return v.empty() ? fallback : std::strtol(v.c_str(), nullptr, 10);
}

void out(const std::string& line, FILE* stream = stdout) {
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}

void sleep_ms(long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string working_directory() {
#ifdef _WIN32
  wchar_t buffer[MAX_PATH];
  DWORD n = GetCurrentDirectoryW(MAX_PATH, buffer);
  char text[MAX_PATH * 3];
  int m = WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(n), text, sizeof text, nullptr, nullptr);
  return std::string(text, m > 0 ? m : 0);
#else
  char buffer[4096];
  return getcwd(buffer, sizeof buffer) ? buffer : "";
#endif
}

std::string priority() {
#ifdef _WIN32
  DWORD c = GetPriorityClass(GetCurrentProcess());
  return c == BELOW_NORMAL_PRIORITY_CLASS ? "below_normal" : c == NORMAL_PRIORITY_CLASS ? "normal" : std::to_string(c);
#else
  // The main thread's nice value (on Linux each thread has its own).
  return "nice " + std::to_string(getpriority(PRIO_PROCESS, static_cast<id_t>(getpid())));
#endif
}

void record(int argc, char** argv) {
  std::string path = env("VORN_SIM_RECORD");
  if (path.empty()) return;
  if (argc > 1 && std::string(argv[1]) == "--grandchild") path += ".child";
  // Written beside it and renamed, so a test never reads half a record.
  const std::string partial = path + ".partial";
  FILE* f = std::fopen(partial.c_str(), "wb");
  if (!f) return;
  for (int i = 1; i < argc; ++i) std::fprintf(f, "arg=%s\n", argv[i]);
  std::fprintf(f, "cwd=%s\n", working_directory().c_str());
  std::fprintf(f, "priority=%s\n", priority().c_str());
#ifdef _WIN32
  // What standard input is: "char" for NUL or a console, "pipe", "disk", or "none".
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  const DWORD type = in && in != INVALID_HANDLE_VALUE ? GetFileType(in) : FILE_TYPE_UNKNOWN;
  std::fprintf(f, "stdin=%s\n", !in || in == INVALID_HANDLE_VALUE ? "none"
                                 : type == FILE_TYPE_CHAR         ? "char"
                                 : type == FILE_TYPE_PIPE         ? "pipe"
                                 : type == FILE_TYPE_DISK         ? "disk"
                                                                  : "unknown");
#endif
#ifdef _WIN32
  std::fprintf(f, "pid=%lu\n", static_cast<unsigned long>(GetCurrentProcessId()));
#else
  std::fprintf(f, "pid=%ld\n", static_cast<long>(getpid()));
#endif
  std::fclose(f);
#ifdef _WIN32
  // A test that reads the record at that moment holds it open a little while.
  for (int i = 0; i < 100 && !MoveFileExA(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING); ++i) sleep_ms(20);
#else
  std::rename(partial.c_str(), path.c_str());
#endif
}

// A child of the miner; with `writer` it inherits the miner's output and
// keeps writing to it.
void start_grandchild([[maybe_unused]] const char* self, bool writer) {
#ifdef _WIN32
  SetEnvironmentVariableW(L"VORN_SIM_GRANDCHILD", L"0");
  SetEnvironmentVariableW(L"VORN_SIM_ORPHAN", writer ? L"1" : L"0");
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring line = std::wstring(L"\"") + path + L"\" --grandchild";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  if (writer) {
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  }
  PROCESS_INFORMATION pi{};
  if (CreateProcessW(path, line.data(), nullptr, nullptr, writer ? TRUE : FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                     &si, &pi)) {
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
#else
  setenv("VORN_SIM_GRANDCHILD", "0", 1);
  setenv("VORN_SIM_ORPHAN", writer ? "1" : "0", 1);
  pid_t pid;
  char* args[] = {const_cast<char*>(self), const_cast<char*>("--grandchild"), nullptr};
  posix_spawn(&pid, self, nullptr, nullptr, args, environ);
#endif
}

std::string unescape(const std::string& s) {
  std::string o;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 >= s.size()) {
      o += s[i];
      continue;
    }
    char c = s[++i];
    if (c == 'n') o += '\n';
    else if (c == 'r') o += '\r';
    else if (c == 'x' && i + 2 < s.size() + 1) {
      o += static_cast<char>(std::strtol(s.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else o += c;
  }
  return o;
}

void rounds() {
  const long round_ms = env_number("VORN_SIM_ROUND_MS", 4000);
  unsigned long height = 120000;
  out("vorn_miner (simulated) starting");
  out("Loading plots from configured directories");
  out("path=plots loaded: 3 files ..done.");
  for (int round = 0;; ++round, ++height) {
    out("[12:00:0" + std::to_string(round % 10) + "] new block  : height=" + std::to_string(height) +
        ", gensig=9f3a77c2, base_target=18325193796");
    out("#TOTAL:4096");
    for (int step = 0; step < 8; ++step) {
      sleep_ms(round_ms / 10);
      out("#SCAN_PROGRESS:512");
      if (step == 3) out("scanning   : plots 50%", stderr);
    }
    out("[12:00:0" + std::to_string(round % 10) + "] finished   : height=" + std::to_string(height) +
        " round done after " + std::to_string(round_ms / 1000) + ".25 seconds");
    if (round % 3 == 2) out("WARN  slow disk   read on   plots", stderr);
    out("accepted: deadline=1234 seed=77 height=" + std::to_string(height));
    sleep_ms(round_ms / 5);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Recorded a moment later, once the GUI has lowered the priority.
  std::thread([argc, argv] {
    sleep_ms(300);
    record(argc, argv);
  }).detach();
  if (argc > 1 && std::string(argv[1]) == "--grandchild") {
    for (long n = 0;; ++n) {
      if (env("VORN_SIM_ORPHAN") == "1") out("WARN orphan line " + std::to_string(n));
      sleep_ms(env("VORN_SIM_ORPHAN") == "1" ? 100 : 1000);
    }
  }
  const std::string mode = env("VORN_SIM_MODE", "rounds");
  if (mode == "exit") {
    if (env("VORN_SIM_GRANDCHILD") == "writer") start_grandchild(argv[0], true);
    sleep_ms(env_number("VORN_SIM_DELAY_MS", 0));
    out("exiting on request");
    return static_cast<int>(static_cast<unsigned long>(std::strtoul(env("VORN_SIM_EXIT_CODE", "0").c_str(), nullptr, 10)));
  }
  if (mode == "ignore") {
    if (env("VORN_SIM_GRANDCHILD") == "1") start_grandchild(argv[0], false);
    out("ignoring every stop request");
    for (;;) sleep_ms(1000);
  }
  if (mode == "stall") {
    out("vorn_miner (simulated) starting");
    out("[12:00:00] new block  : height=120000, gensig=9f3a77c2, base_target=18325193796");
    for (;;) sleep_ms(1000);
  }
  if (mode == "flood") {
    const long lines = env_number("VORN_SIM_LINES", 1000);
    const std::string text = env("VORN_SIM_FLOOD_TEXT");
    const bool empty = env("VORN_SIM_FLOOD_EMPTY") == "1";
    std::string line;
    const long pause_ms = env_number("VORN_SIM_LINE_MS", 0);
    const std::size_t number_at = text.find("{n}");
    for (long i = 0; i < lines; ++i) {
      line = empty ? std::string() : text.empty() ? "flood line " + std::to_string(i) : text;
      if (number_at != std::string::npos) line.replace(number_at, 3, std::to_string(i));
      std::fwrite(line.data(), 1, line.size(), stdout);
      std::fputc('\n', stdout);
      if (pause_ms > 0) {
        std::fflush(stdout);
        sleep_ms(pause_ms);
      }
    }
    if (!env("VORN_SIM_FLOOD_LAST").empty()) out(env("VORN_SIM_FLOOD_LAST"));
    std::fflush(stdout);
    return 0;
  }
  if (mode == "endless") {
    const long long total = std::strtoll(env("VORN_SIM_BYTES", "200000000").c_str(), nullptr, 10);
    // The digits 0 to 9 over and over, so that a reader that loses or
    // repeats a byte anywhere shows it.
    std::string digits;
    while (digits.size() < 1000000) digits += "0123456789";
    for (long long written = 0; written < total;) {
      const std::size_t n = static_cast<std::size_t>(std::min<long long>(total - written, static_cast<long long>(digits.size())));
      if (std::fwrite(digits.data(), 1, n, stdout) != n) return 1;
      written += static_cast<long long>(n);
    }
    out("");
    out("WARN endless progress ended after " + std::to_string(total) + " bytes");
    rounds();
  }
  if (mode == "text") {
    std::string text = unescape(env("VORN_SIM_TEXT"));
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    sleep_ms(env_number("VORN_SIM_DELAY_MS", 0));
    return 0;
  }
  rounds();
}
