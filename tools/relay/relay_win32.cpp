#include "tools/relay/relay_win32.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>

#include "tools/relay/relay_wire.h"

namespace colloquor::relay {
namespace {

SOCKET g_socket = INVALID_SOCKET;

void write_all(HANDLE handle, const char* data, std::size_t size, bool* failed = nullptr) {
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(handle, data, static_cast<DWORD>(size), &written, nullptr) || written == 0) {
      if (failed) *failed = true;
      return;
    }
    data += written;
    size -= written;
  }
}

// Diagnostics go to the relay's error output, which is the worker's log file.
void diagnose(const std::string& text) {
  write_all(GetStdHandle(STD_ERROR_HANDLE), text.data(), text.size());
}

bool send_all(const std::string& bytes) {
  const char* data = bytes.data();
  std::size_t size = bytes.size();
  while (size > 0) {
    int sent = send(g_socket, data, static_cast<int>(size > (1 << 20) ? (1 << 20) : size), 0);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

bool send_message(char tag, std::string_view body) { return send_all(encode_message(tag, body)); }

std::u16string u16(const wchar_t* text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text));
}

// Under Wine the Linux path of a Windows path; elsewhere (or when Wine cannot say) the path as is.
std::string linux_path(const std::u16string& path) {
  using UnixName = char*(CDECL*)(LPCWSTR);
  static const auto unix_name = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (unix_name == nullptr) return to_utf8(path);
  char* name = unix_name(reinterpret_cast<const wchar_t*>(path.c_str()));
  if (name == nullptr) return to_utf8(path);
  std::string result(name);
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

std::string translated(const std::u16string& text) {
  return is_windows_path(text) ? linux_path(text) : to_utf8(text);
}

std::optional<std::u16string> variable(const char16_t* name) {
  wchar_t buffer[32768];
  SetLastError(0);
  DWORD length = GetEnvironmentVariableW(reinterpret_cast<const wchar_t*>(name), buffer, 32768);
  if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
  if (length >= 32768) return std::nullopt;
  return std::u16string(reinterpret_cast<const char16_t*>(buffer), length);
}

std::string read_small_file(const std::wstring& path) {
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  char buffer[64] = {};
  DWORD got = 0;
  ReadFile(file, buffer, sizeof buffer - 1, &got, nullptr);
  CloseHandle(file);
  return std::string(buffer, got);
}

std::optional<std::uint16_t> launcher_port() {
  if (std::optional<std::u16string> value = variable(kPortVariable)) {
    return parse_port(to_utf8(*value));
  }
  wchar_t exe[MAX_PATH] = {};
  DWORD length = GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring folder(exe, length);
  folder = folder.substr(0, folder.find_last_of(L"\\/"));
  return parse_port(
      read_small_file(folder + L"\\" + reinterpret_cast<const wchar_t*>(kPortFileName)));
}

bool connect_to_launcher(std::uint16_t port) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  g_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (g_socket == INVALID_SOCKET) return false;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return connect(g_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool send_start(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) {
    if (!send_message(kArgument, translated(u16(argv[i])))) return false;
  }
  wchar_t folder[MAX_PATH] = {};
  DWORD length = GetCurrentDirectoryW(MAX_PATH, folder);
  if (!send_message(kWorkingFolder,
                    translated(std::u16string(reinterpret_cast<char16_t*>(folder), length)))) {
    return false;
  }
  for (const char16_t* name : kForwardedVariables) {
    std::optional<std::u16string> value = variable(name);
    if (!value) continue;
    const bool is_path = std::u16string_view(name) == kPathVariable;
    std::string entry = to_utf8(name) + "=" + (is_path ? translated(*value) : to_utf8(*value));
    if (!send_message(kVariable, entry)) return false;
  }
  return send_message(kGo, {});
}

// Standard input to the launcher; its end (Parlivo closed the pipe) becomes "input closed".
DWORD WINAPI pump_input(LPVOID) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  char chunk[65536];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(input, chunk, sizeof chunk, &got, nullptr) || got == 0) break;
    if (!send_message(kInput, std::string_view(chunk, got))) return 0;
  }
  send_message(kInputClosed, {});
  return 0;
}

// The launcher's messages until the worker's exit code; nothing when the connection broke first.
std::optional<int> pump_output() {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE errors = GetStdHandle(STD_ERROR_HANDLE);
  MessageReader reader;
  char chunk[65536];
  for (;;) {
    while (std::optional<Message> message = next_message(reader)) {
      if (message->tag == kOutput) {
        bool failed = false;
        write_all(output, message->body.data(), message->body.size(), &failed);
        // Nobody reads the worker's output any more: let the launcher end the worker.
        if (failed) return std::nullopt;
      } else if (message->tag == kErrorOutput) {
        write_all(errors, message->body.data(), message->body.size());
      } else if (message->tag == kExit) {
        return std::atoi(message->body.c_str());
      }
    }
    if (reader.broken) return std::nullopt;
    int got = recv(g_socket, chunk, sizeof chunk, 0);
    if (got <= 0) return std::nullopt;
    feed(reader, std::string_view(chunk, static_cast<std::size_t>(got)));
  }
}

}  // namespace

int run_relay(int argc, wchar_t** argv) {
  std::optional<std::uint16_t> port = launcher_port();
  if (!port) {
    diagnose(
        "relay: no launcher port (set COLLOQUOR_RELAY_PORT or write relay.port next to "
        "relay.exe)\n");
    return 1;
  }
  if (!connect_to_launcher(*port)) {
    diagnose("relay: cannot connect to the launcher on 127.0.0.1:" + std::to_string(*port) + "\n");
    return 1;
  }
  if (!send_start(argc, argv)) {
    diagnose("relay: the launcher closed the connection\n");
    return 1;
  }
  HANDLE input_thread = CreateThread(nullptr, 0, pump_input, nullptr, 0, nullptr);
  if (input_thread != nullptr) CloseHandle(input_thread);
  std::optional<int> code = pump_output();
  if (!code) diagnose("relay: connection to the launcher lost\n");
  // Closing the socket tells the launcher; the input thread may still sit in its read.
  closesocket(g_socket);
  return code.value_or(1);
}

}  // namespace colloquor::relay
