// Shared pieces of the installer's Wine tests: private folders, programs run with a chosen
// environment and input while their output is collected, and a small HTTP server on 127.0.0.1.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace setup_test {

inline std::wstring widen(const std::string& text) {
  if (text.empty()) return {};
  int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
  std::wstring out(size, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out.data(), size);
  return out;
}

inline std::string narrow(const std::wstring& text) {
  if (text.empty()) return {};
  int size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), size, nullptr,
                      nullptr);
  return out;
}

// Unix paths of the build reach Windows programs through Wine's Z: drive.
inline std::wstring unix_path(const char* path) {
  std::wstring out = L"Z:" + widen(path);
  for (auto& c : out)
    if (c == L'/') c = L'\\';
  return out;
}

inline bool exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline std::string read_file(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string data;
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) data.append(chunk, got);
  CloseHandle(file);
  return data;
}

inline void write_file(const std::wstring& path, const std::string& data) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, data.data(), DWORD(data.size()), &written, nullptr);
  CloseHandle(file);
}

inline void make_folders(const std::wstring& path) {
  for (std::size_t at = path.find_first_of(L"\\/", 3); at != std::wstring::npos;
       at = path.find_first_of(L"\\/", at + 1)) {
    CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
  }
  CreateDirectoryW(path.c_str(), nullptr);
}

// A fresh folder below the temporary folder, e.g. C:\users\...\Temp\setup-<tick>-<n>.
inline std::wstring fresh_folder(const wchar_t* stem) {
  static int counter = 0;
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  std::wstring folder = std::wstring(temp) + stem + L"-" + std::to_wstring(GetCurrentProcessId()) +
                        L"-" + std::to_wstring(GetTickCount64()) + L"-" +
                        std::to_wstring(++counter);
  make_folders(folder);
  return folder;
}

// Copies the stand-in program to <folder>\<name> with the given settings in tool.txt.
inline std::wstring place_tool(const std::wstring& folder, const wchar_t* name,
                               const std::string& settings) {
  make_folders(folder);
  const std::wstring target = folder + L"\\" + name;
  CopyFileW(unix_path(INSTALLER_BUILD_DIR "/stand_in_tool.exe").c_str(), target.c_str(), FALSE);
  write_file(folder + L"\\tool.txt", settings);
  return target;
}

struct RunResult {
  int exit_code = -100;
  std::string output;
};

// The current environment with changes (a value of "<unset>" removes the variable), as a block.
inline std::wstring environment_block(const std::map<std::wstring, std::wstring>& changes) {
  std::map<std::wstring, std::wstring> variables;
  if (wchar_t* block = GetEnvironmentStringsW()) {
    for (const wchar_t* entry = block; *entry != L'\0'; entry += lstrlenW(entry) + 1) {
      std::wstring text = entry;
      const std::size_t equals = text.find(L'=', 1);
      if (equals == std::wstring::npos) continue;
      variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
    FreeEnvironmentStringsW(block);
  }
  for (const auto& [name, value] : changes) {
    for (auto it = variables.begin(); it != variables.end();) {
      it = lstrcmpiW(it->first.c_str(), name.c_str()) == 0 ? variables.erase(it) : std::next(it);
    }
    if (value != L"<unset>") variables[name] = value;
  }
  std::wstring environment;
  for (const auto& [name, value] : variables) environment += name + L"=" + value + L'\0';
  environment += L'\0';
  return environment;
}

// Runs a program with standard input and output on pipes and a changed environment; waits at most
// timeout_ms, then kills it.
inline RunResult run_program(const std::wstring& command_line,
                             const std::map<std::wstring, std::wstring>& changes,
                             const std::string& input, DWORD timeout_ms = 240000) {
  std::wstring environment = environment_block(changes);

  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  HANDLE in_read = nullptr, in_write = nullptr, out_read = nullptr, out_write = nullptr;
  CreatePipe(&in_read, &in_write, &inheritable, 0);
  CreatePipe(&out_read, &out_write, &inheritable, 0);
  SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in_read;
  startup.hStdOutput = out_write;
  startup.hStdError = out_write;
  PROCESS_INFORMATION process = {};
  std::wstring command = command_line;
  RunResult result;
  const BOOL created =
      CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                     environment.data(), nullptr, &startup, &process);
  CloseHandle(in_read);
  CloseHandle(out_write);
  if (!created) {
    CloseHandle(in_write);
    CloseHandle(out_read);
    return result;
  }
  DWORD written = 0;
  if (!input.empty()) WriteFile(in_write, input.data(), DWORD(input.size()), &written, nullptr);
  CloseHandle(in_write);
  // The output is collected while the program runs and drained once it has ended, without waiting
  // for the pipe's end: a process the program left behind may still hold the write end.
  auto drain = [&] {
    char chunk[4096];
    DWORD available = 0, got = 0;
    while (PeekNamedPipe(out_read, nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
           ReadFile(out_read, chunk, sizeof chunk, &got, nullptr) && got > 0) {
      result.output.append(chunk, got);
    }
  };
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  while (WaitForSingleObject(process.hProcess, 20) == WAIT_TIMEOUT) {
    drain();
    if (GetTickCount64() >= deadline) {
      TerminateProcess(process.hProcess, 99);
      WaitForSingleObject(process.hProcess, INFINITE);
      break;
    }
  }
  drain();
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  result.exit_code = int(code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  CloseHandle(out_read);
  return result;
}

// Lines of an output, split at LF with the CR of CR LF removed.
inline std::vector<std::string> lines_of(const std::string& output) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string::npos) {
      if (start < output.size()) lines.push_back(output.substr(start));
      break;
    }
    std::string line = output.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// Answers GET requests on 127.0.0.1 from a table of paths; unknown paths get 404.
class HttpServer {
 public:
  struct Answer {
    std::string body;
    bool announce_length = true;
  };

  HttpServer() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    listen(listener_, 8);
    thread_ = std::thread([this] { serve(); });
  }
  ~HttpServer() {
    stopping_ = true;
    closesocket(listener_);
    thread_.join();
    WSACleanup();
  }
  void add(const std::string& path, Answer answer) { answers_[path] = std::move(answer); }
  std::wstring url(const std::string& path) const {
    return L"http://127.0.0.1:" + std::to_wstring(port_) + widen(path);
  }
  int requests() const { return requests_; }

 private:
  void serve() {
    while (!stopping_) {
      SOCKET client = accept(listener_, nullptr, nullptr);
      if (client == INVALID_SOCKET) return;
      std::string request;
      char chunk[2048];
      while (request.find("\r\n\r\n") == std::string::npos) {
        int got = recv(client, chunk, sizeof chunk, 0);
        if (got <= 0) break;
        request.append(chunk, got);
      }
      ++requests_;
      const std::size_t start = request.find(' ') + 1;
      const std::string path = request.substr(start, request.find(' ', start) - start);
      std::string reply;
      auto found = answers_.find(path);
      if (found == answers_.end()) {
        reply = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      } else {
        reply =
            "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nConnection: close\r\n";
        if (found->second.announce_length)
          reply += "Content-Length: " + std::to_string(found->second.body.size()) + "\r\n";
        reply += "\r\n" + found->second.body;
      }
      for (std::size_t sent = 0; sent < reply.size();) {
        int n = send(client, reply.data() + sent,
                     int(std::min<std::size_t>(reply.size() - sent, 16384)), 0);
        if (n <= 0) break;
        sent += std::size_t(n);
      }
      shutdown(client, SD_SEND);
      closesocket(client);
    }
  }

  SOCKET listener_ = INVALID_SOCKET;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> requests_{0};
  std::map<std::string, Answer> answers_;
  std::thread thread_;
};

}  // namespace setup_test
