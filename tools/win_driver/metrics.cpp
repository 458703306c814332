// The metrics of the real program under Wine: its listener's rules against
// real clients, its textfile against a reader, its reload, and a real
// Prometheus (started by tests/metrics/run.sh) scraping it, compared with
// what the window shows.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "metrics.h"
#include "window_access.h"

namespace driver {
namespace {

using Seconds = std::chrono::seconds;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

SOCKET connect_to(int port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<u_short>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  DWORD limit = 15000;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
  return s;
}

// What arrives until the peer closes (or 15 s pass).
std::string receive_all(SOCKET s) {
  std::string out;
  char buffer[16384];
  for (int n; (n = recv(s, buffer, sizeof buffer, 0)) > 0;) out.append(buffer, static_cast<std::size_t>(n));
  return out;
}

struct Answer {
  int status = 0;  // 0: no connection or no answer
  std::string head, body;
};

Answer exchange(int port, const std::string& request) {
  Answer a;
  SOCKET s = connect_to(port);
  if (s == INVALID_SOCKET) return a;
  send(s, request.data(), static_cast<int>(request.size()), 0);
  const std::string bytes = receive_all(s);
  closesocket(s);
  const std::size_t end = bytes.find("\r\n\r\n");
  if (bytes.size() < 12 || end == std::string::npos) return a;
  a.status = std::atoi(bytes.substr(9, 3).c_str());
  a.head = bytes.substr(0, end);
  a.body = bytes.substr(end + 4);
  return a;
}

Answer get(int port, const std::string& method, const std::string& target, const std::string& token) {
  return exchange(port, method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                            (token.empty() ? "" : "Authorization: Bearer " + token + "\r\n") +
                            (method == "POST" ? "Content-Length: 0\r\n" : "") + "\r\n");
}

// The first value of a Prometheus instant query, as text; empty without one.
std::string prometheus_value(int port, const std::string& query) {
  std::string target = "/api/v1/query?query=";
  for (char c : query) {
    if (isalnum(static_cast<unsigned char>(c)) || c == '_') {
      target += c;
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
      target += hex;
    }
  }
  const std::string body = get(port, "GET", target, "").body;
  const std::size_t at = body.find("\"value\":[");
  if (at == std::string::npos) return "";
  const std::size_t open = body.find('"', body.find(',', at));
  const std::size_t close = body.find('"', open + 1);
  return open == std::string::npos || close == std::string::npos ? "" : body.substr(open + 1, close - open - 1);
}

// Asks the window to answer an empty message every 250 ms, each within 1 s.
class ResponseWatch {
 public:
  explicit ResponseWatch(HWND window)
      : thread_([this, window] {
          while (!stop_) {
            DWORD_PTR answer = 0;
            if (!SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &answer) && IsWindow(window)) ++missed_;
            ++asked_;
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
          }
        }) {}
  ~ResponseWatch() { report(""); }
  void report(const std::string& during) {
    if (!thread_.joinable()) return;
    stop_ = true;
    thread_.join();
    check(asked_ > 0 && missed_ == 0, "the window answered within 1 s " + during + " (" + std::to_string(asked_) +
                                          " asked, " + std::to_string(missed_) + " missed)");
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> asked_{0}, missed_{0};
  std::thread thread_;
};

void write_options(const std::wstring& folder, const std::string& json) {
  HANDLE f = CreateFileW((folder + L"\\vorn_miner_gui_mainnet_options.json").c_str(), GENERIC_WRITE, 0, nullptr,
                         CREATE_ALWAYS, 0, nullptr);
  DWORD wrote = 0;
  WriteFile(f, json.data(), static_cast<DWORD>(json.size()), &wrote, nullptr);
  CloseHandle(f);
}

std::string options_json(int port, const std::string& token, const std::string& textfile_json) {
  return "{\n  \"rig_name\": \"wine rig\",\n  \"metrics_listen\": \"127.0.0.1:" + std::to_string(port) +
         "\",\n  \"metrics_token\": \"" + token + "\",\n  \"metrics_textfile\": \"" + textfile_json + "\"\n}\n";
}

bool whole_exposition(const std::string& text) {
  if (text.rfind("# HELP vorn_build_info ", 0) != 0 || text.empty() || text.back() != '\n') return false;
  const std::size_t last = text.rfind("\nprocess_start_time_seconds ");
  return last != std::string::npos && text.find('\n', last + 1) == text.size() - 1;
}

std::string json_escaped(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

// metrics <folder> <port> <next port> <taken port> <prometheus port> <token>
int metrics_scenario(const std::vector<std::wstring>& args) {
  if (args.size() != 6) return fail("usage: metrics <folder> <port> <next port> <taken port> <prometheus port> <token>");
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  const std::wstring folder = wine_path(args[0]);
  const int port = _wtoi(args[1].c_str()), next = _wtoi(args[2].c_str()), taken = _wtoi(args[3].c_str());
  const int prometheus = _wtoi(args[4].c_str());
  const std::string token = utf8(args[5]);
  const std::wstring textfile = folder + L"\\textfile\\vorn.prom";
  const std::string textfile_json = json_escaped(utf8(textfile));
  const std::string plots_label = json_escaped(utf8(folder + L"\\plots"));  // the format escapes like JSON here

  const auto began = Clock::now();
  HANDLE process = nullptr;
  HWND window = start_program(folder + L"\\vorn_miner_gui.exe", folder.c_str(), &process);
  if (!window) return 1;
  if (!wait_until([&] { return children(window).size() >= 28; }, Seconds(30))) return fail("controls not created");
  const std::vector<HWND> controls = children(window);
  const HWND status = controls[3], height = controls[7], list = controls[11], log = controls[27];
  ResponseWatch watch(window);

  // The textfile: there within 15 s, whole at every read while it is rewritten.
  const bool present = wait_until([&] { return GetFileAttributesW(textfile.c_str()) != INVALID_FILE_ATTRIBUTES; }, Seconds(15));
  check(present, "the textfile is there " + std::to_string(since(began)) + " s after the start");
  check(wait_until([&] { return text_of(status).rfind(L"Miner: Running", 0) == 0; }, Seconds(60)), "the miner runs");
  int whole = 0;
  std::set<std::string> versions;
  for (int i = 0; i < 1000; ++i) {
    const std::string text = read_text_file(textfile);
    whole += whole_exposition(text);
    versions.insert(text);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  check(whole == 1000, "1000 reads of the textfile, " + std::to_string(whole) + " of them whole, " +
                           std::to_string(versions.size()) + " different contents");
  check(versions.size() >= 2, "the textfile was rewritten while it was read");
  const std::string file_text = read_text_file(textfile);
  check(file_text.find("\nvorn_miner_up 1\n") != std::string::npos &&
            file_text.find("vorn_plot_files{folder=\"" + plots_label + "\"} 3\n") != std::string::npos,
        "the textfile shows the running miner and the 3 plot files");

  // The listener's answers.
  const Answer scrape = get(port, "GET", "/metrics", token);
  check(scrape.status == 200 && scrape.head.find("Content-Type: text/plain; version=0.0.4; charset=utf-8") != std::string::npos &&
            whole_exposition(scrape.body),
        "GET /metrics: " + std::to_string(scrape.status));
  check(scrape.body.find(token) == std::string::npos, "the token is not in the exposition");
  check(get(port, "HEAD", "/metrics", token).status == 200 && get(port, "HEAD", "/metrics", token).body.empty(), "HEAD /metrics");
  check(get(port, "GET", "/", token).body.find("/metrics") != std::string::npos, "GET / links to /metrics");
  check(get(port, "GET", "/nothing", token).status == 404, "another path: 404");
  check(get(port, "POST", "/metrics", token).status == 405, "another method: 405");
  const Answer no_token = get(port, "GET", "/metrics", "");
  check(no_token.status == 401 && no_token.head.find("WWW-Authenticate: Bearer") != std::string::npos, "no token: 401");
  check(get(port, "GET", "/metrics", token + "x").status == 401, "a wrong token: 401");

  // Prometheus scraped it; its values are the window's.
  check(wait_until([&] { return prometheus_value(prometheus, "vorn_miner_up") == "1"; }, Seconds(30)),
        "Prometheus: vorn_miner_up = " + prometheus_value(prometheus, "vorn_miner_up"));
  const std::wstring before = text_of(height);
  const std::string seen_height = prometheus_value(prometheus, "vorn_block_height");
  const std::wstring after = text_of(height);
  const auto number = [](const std::wstring& label) { return _wtoi(label.substr(label.find(L':') + 1).c_str()); };
  const int h = std::atoi(seen_height.c_str());
  check(h >= number(before) - 5 && h <= number(after) && h > 0,
        "Prometheus: vorn_block_height = " + seen_height + "; the window: " + utf8(before) + " then " + utf8(after));
  const std::string plot_files = prometheus_value(prometheus, "vorn_plot_files");
  check(plot_files == utf8(list_cell(list, 0, 3)),
        "Prometheus: vorn_plot_files = " + plot_files + "; the window's list: " + utf8(list_cell(list, 0, 3)));

  // A silent client is dropped after 5 s while scrapes go on.
  SOCKET silent = connect_to(port);
  const auto silent_start = Clock::now();
  std::atomic<double> dropped_after{0};
  std::thread silent_watch([&] {
    receive_all(silent);
    dropped_after = since(silent_start);
  });
  int scrapes = 0;
  for (int i = 0; i < 4; ++i) {
    scrapes += get(port, "GET", "/metrics", token).status == 200;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  silent_watch.join();
  closesocket(silent);
  check(scrapes == 4 && dropped_after >= 4.5 && dropped_after < 8,
        "a silent client was dropped after " + std::to_string(dropped_after.load()) + " s; " + std::to_string(scrapes) +
            " of 4 scrapes meanwhile");

  // 50 clients at once; the window answers all the while.
  {
    ResponseWatch during(window);
    std::atomic<int> served{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 50; ++i) {
      clients.emplace_back([&] { served += get(port, "GET", "/metrics", token).status == 200; });
    }
    for (std::thread& t : clients) t.join();
    check(served == 50, "50 clients at once: " + std::to_string(served.load()) + " served");
    during.report("while 50 clients scraped");
  }
  const Answer huge = exchange(port, "GET /metrics HTTP/1.1\r\nHost: x\r\nX-Pad: " + std::string(100 * 1024, 'a') + "\r\n\r\n");
  check(huge.status == 431, "a 100 KiB request head: " + std::to_string(huge.status));
  check(get(port, "GET", "/metrics", token).status == 200, "and the listener serves on");

  // A port already taken: the line, and the program runs on.
  SOCKET holder = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<u_short>(taken));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  check(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(holder, 1) == 0, "the driver holds port " + std::to_string(taken));
  write_options(folder, options_json(taken, token, textfile_json));
  const std::wstring bind_line = L"Metrics listener could not start on 127.0.0.1:" + std::to_wstring(taken) + L": ";
  check(wait_until([&] { return log_has(log, bind_line); }, Seconds(15)), "the taken port is logged");
  check(text_of(status).rfind(L"Miner: Running", 0) == 0, "the miner still runs");
  closesocket(holder);

  // The next change moves the listener; a typo keeps the options in use.
  write_options(folder, options_json(next, token, textfile_json) + " ");
  check(wait_until([&] { return get(next, "GET", "/metrics", token).status == 200; }, Seconds(15)), "the listener moved to the new port");
  check(get(port, "GET", "/metrics", token).status == 0, "the old port is closed");
  write_options(folder, "{\n  \"metrics_lisen\": \"127.0.0.1:" + std::to_string(port) + "\"\n}\n");
  check(wait_until([&] {
          return log_has(log, L"Options not loaded: unknown key \"metrics_lisen\" at line 2; the previous options stay in use");
        }, Seconds(15)),
        "a typo gives its line");
  check(get(next, "GET", "/metrics", token).status == 200 && get(port, "GET", "/metrics", token).status == 0,
        "the options in use stay");

  // The token is nowhere to be read.
  check(text_of(log).find(std::wstring(token.begin(), token.end())) == std::wstring::npos, "the token is not in the window's log");
  check(read_text_file(folder + L"\\vorn_miner_gui_mainnet.log").find(token) == std::string::npos &&
            !read_text_file(folder + L"\\vorn_miner_gui_mainnet.log").empty(),
        "the token is not in the log file");
  check(read_text_file(textfile).find(token) == std::string::npos, "the token is not in the textfile");
  watch.report("through the whole run");

  // A confirmed exit deletes the textfile.
  PostMessageW(window, WM_CLOSE, 0, 0);
  check(answer_exit_box(true), "exit confirmed");
  const bool ended = WaitForSingleObject(process, 60000) == WAIT_OBJECT_0;
  DWORD code = 1;
  check(ended && GetExitCodeProcess(process, &code) && code == 0, "the program ended with status 0");
  check(GetFileAttributesW(textfile.c_str()) == INVALID_FILE_ATTRIBUTES &&
            GetFileAttributesW((textfile + L".tmp").c_str()) == INVALID_FILE_ATTRIBUTES,
        "the textfile is gone after the exit");
  TerminateProcess(process, 1);
  CloseHandle(process);
  return finish();
}

}  // namespace driver
