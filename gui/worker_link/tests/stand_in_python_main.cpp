// A stand-in for python.exe (and winget.exe) in the bootstrap tests. Copies of it are placed where
// the bootstrap looks for interpreters; "stand_in.txt" next to each copy says how it behaves:
//   calls=<file>        append "<own path>|<command line>" for every run
//   version=<n>|hang    answer of the version test (-c ...): exit code n (default 0), or never end
//   venv_exit=<n>       exit code of "-m venv <folder>" (default 0)
//   venv_make=0         do not create <folder>\Scripts\python.exe
//   venv_sleep_ms=<n>   take that long to create the environment
//   worker_exit=<n>     as the worker (-u <script>): end at once with that code
//   worker_child=1      as the worker: start a child that sleeps, and report its process id
//   winget_sleep_ms=<n> as winget: take that long to install
// The copy made by "-m venv" carries the same settings. As "install ..." (winget) it copies
// payload\python.exe and payload\stand_in.txt from its folder to the per-user Python 3.12 folder.
// As the worker it writes worker_report.txt into its working directory, one line to its error
// output, "S<TAB>stand-in ready" to its output, then answers each frame with one line until "Q" or
// the end of its input (which it records in worker_eof.txt).
#include <windows.h>

#include <cstdint>
#include <map>
#include <string>

#include "tests/support/win32_files.h"

namespace {

using colloquor::test_support::read_file;

std::wstring own_path() {
  wchar_t buffer[1024] = {};
  DWORD length = GetModuleFileNameW(nullptr, buffer, 1024);
  return std::wstring(buffer, length);
}

std::wstring folder_of(const std::wstring& path) {
  std::size_t cut = path.find_last_of(L"\\/");
  return cut == std::wstring::npos ? path : path.substr(0, cut);
}

std::string utf8(const std::wstring& text) {
  if (text.empty()) return {};
  int size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), size, nullptr,
                      nullptr);
  return out;
}

std::wstring widen(const std::string& text) {
  if (text.empty()) return {};
  int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
  std::wstring out(size, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out.data(), size);
  return out;
}

void write_file(const std::wstring& path, const std::string& data, bool append) {
  HANDLE file = CreateFileW(path.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, data.data(), DWORD(data.size()), &written, nullptr);
  CloseHandle(file);
}

std::map<std::string, std::string> read_settings(const std::wstring& folder) {
  std::map<std::string, std::string> settings;
  std::string text = read_file(folder + L"\\stand_in.txt");
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::size_t equals = line.find('=');
    if (equals != std::string::npos) settings[line.substr(0, equals)] = line.substr(equals + 1);
    start = end + 1;
  }
  return settings;
}

int setting_int(const std::map<std::string, std::string>& settings, const char* key, int fallback) {
  auto found = settings.find(key);
  return found == settings.end() ? fallback : std::atoi(found->second.c_str());
}

void write_handle(DWORD which, const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(which), text.data(), DWORD(text.size()), &written, nullptr);
}

bool read_exact(HANDLE input, char* buffer, std::uint32_t count) {
  while (count > 0) {
    DWORD got = 0;
    if (!ReadFile(input, buffer, count, &got, nullptr) || got == 0) return false;
    buffer += got;
    count -= got;
  }
  return true;
}

std::string environment_value(const wchar_t* name) {
  wchar_t buffer[2048] = {};
  DWORD length = GetEnvironmentVariableW(name, buffer, 2048);
  if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return "<unset>";
  return utf8(std::wstring(buffer, length));
}

void copy_with_settings(const std::wstring& from_folder, const std::wstring& exe,
                        const std::wstring& to_folder) {
  CopyFileW(exe.c_str(), (to_folder + L"\\python.exe").c_str(), FALSE);
  CopyFileW((from_folder + L"\\stand_in.txt").c_str(), (to_folder + L"\\stand_in.txt").c_str(),
            FALSE);
}

int run_version_test(const std::map<std::string, std::string>& settings) {
  auto found = settings.find("version");
  if (found != settings.end() && found->second == "hang") Sleep(INFINITE);
  return setting_int(settings, "version", 0);
}

int run_venv(const std::map<std::string, std::string>& settings, const std::wstring& folder,
             const std::wstring& target) {
  Sleep(DWORD(setting_int(settings, "venv_sleep_ms", 0)));
  if (setting_int(settings, "venv_make", 1) != 0) {
    CreateDirectoryW(target.c_str(), nullptr);
    CreateDirectoryW((target + L"\\Scripts").c_str(), nullptr);
    copy_with_settings(folder, own_path(), target + L"\\Scripts");
  }
  return setting_int(settings, "venv_exit", 0);
}

int run_winget(const std::map<std::string, std::string>& settings, const std::wstring& folder) {
  Sleep(DWORD(setting_int(settings, "winget_sleep_ms", 0)));
  wchar_t local[1024] = {};
  if (GetEnvironmentVariableW(L"LOCALAPPDATA", local, 1024) == 0) return 1;
  std::wstring target = local;
  for (const wchar_t* part : {L"\\Programs", L"\\Python", L"\\Python312"}) {
    target += part;
    CreateDirectoryW(target.c_str(), nullptr);
  }
  copy_with_settings(folder + L"\\payload", folder + L"\\payload\\python.exe", target);
  return 0;
}

DWORD start_sleeping_child() {
  std::wstring command = L"\"" + own_path() + L"\" --sleep 600000";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &process)) {
    return 0;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return process.dwProcessId;
}

int run_worker(const std::map<std::string, std::string>& settings, const std::wstring& script) {
  wchar_t cwd[1024] = {};
  GetCurrentDirectoryW(1024, cwd);
  std::string report;
  report += "cmdline=" + utf8(GetCommandLineW()) + "\n";
  report += "script=" + utf8(script) + "\n";
  report += "cwd=" + utf8(cwd) + "\n";
  for (const wchar_t* name :
       {L"DICTATION_ROOT", L"SPEAKER_MODEL", L"TRANSLATION_MODEL", L"DICTATE_MODEL"}) {
    report += utf8(name) + "=" + environment_value(name) + "\n";
  }
  if (setting_int(settings, "worker_child", 0) != 0) {
    report += "child_pid=" + std::to_string(start_sleeping_child()) + "\n";
  }
  write_handle(STD_ERROR_HANDLE, "stand-in worker: started\n");
  write_file(std::wstring(cwd) + L"\\worker_report.txt", report, false);
  if (settings.count("worker_exit") != 0) return setting_int(settings, "worker_exit", 0);

  write_handle(STD_OUTPUT_HANDLE, "S\tstand-in ready\n");
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  for (;;) {
    unsigned char header[5];
    if (!read_exact(input, reinterpret_cast<char*>(header), 5)) break;
    std::uint32_t length =
        header[1] | (header[2] << 8) | (header[3] << 16) | (std::uint32_t(header[4]) << 24);
    std::string payload(length, '\0');
    if (length > 0 && !read_exact(input, payload.data(), length)) break;
    if (header[0] == 'Q') {
      write_handle(STD_OUTPUT_HANDLE, "S\tquit\n");
      return 0;
    }
    write_handle(STD_OUTPUT_HANDLE,
                 std::string("S\tframe ") + char(header[0]) + " " + std::to_string(length) + "\n");
  }
  write_file(std::wstring(cwd) + L"\\worker_eof.txt", "eof\n", false);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring exe = own_path();
  const std::wstring folder = folder_of(exe);
  const auto settings = read_settings(folder);
  if (auto calls = settings.find("calls"); calls != settings.end()) {
    write_file(widen(calls->second), utf8(exe) + "|" + utf8(GetCommandLineW()) + "\n", true);
  }
  const std::wstring first = argc > 1 ? argv[1] : L"";
  if (first == L"--sleep" && argc > 2) {
    Sleep(DWORD(_wtoi(argv[2])));
    return 0;
  }
  if (first == L"--exit" && argc > 2) return _wtoi(argv[2]);
  if (first == L"-c") return run_version_test(settings);
  if (first == L"-m" && argc > 3 && std::wstring(argv[2]) == L"venv")
    return run_venv(settings, folder, argv[3]);
  if (first == L"install") return run_winget(settings, folder);
  if (first == L"-u" && argc > 2) return run_worker(settings, argv[2]);
  return 2;
}
