// A stand-in for every program the installer starts: Python interpreters, tar.exe, the official
// Python installer and nvidia-smi. "tool.txt" next to the copy says how it behaves:
//   calls=<file>        append "<own path>|<working directory>|<command line>" for every run
//   suitable=<n>|hang   exit code of the suitability test (-c ...), default 0, or never end
//   venv_exit=<n>       exit code of "-m venv <folder>" (default 0); venv_make=0 makes no
//   interpreter pip_exit=<n>        exit code of "-m pip ..." (default 0); pip_sleep_ms=<n> takes
//   that long models_exit=<n>     exit code of "-u <script> ..." (default 0) tar_exit=<n> exit code
//   of "-xf <archive> -C <folder>" (default 0) installer_exit=<n>  exit code of "/quiet ..."
//   (default 0); installer_make=0 installs nothing nvidia_exit=<n>     exit code of "-L" (default
//   1)
// Every copy it makes (the environment's interpreter, the unpacked or installed Python) gets the
// settings of "copy.txt" when that file exists, else those of "tool.txt".
#include <windows.h>

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
  return path.substr(0, path.find_last_of(L"\\/"));
}

std::string narrow(const std::wstring& text) {
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

void append_file(const std::wstring& path, const std::string& data) {
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, data.data(), DWORD(data.size()), &written, nullptr);
  CloseHandle(file);
}

std::map<std::string, std::string> read_settings(const std::wstring& path) {
  std::map<std::string, std::string> settings;
  const std::string text = read_file(path);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) settings[line.substr(0, equals)] = line.substr(equals + 1);
    start = end + 1;
  }
  return settings;
}

int setting(const std::map<std::string, std::string>& settings, const char* key, int fallback) {
  auto found = settings.find(key);
  return found == settings.end() ? fallback : std::atoi(found->second.c_str());
}

void make_folders(const std::wstring& path) {
  for (std::size_t at = path.find_first_of(L"\\/", 3); at != std::wstring::npos;
       at = path.find_first_of(L"\\/", at + 1)) {
    CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
  }
  CreateDirectoryW(path.c_str(), nullptr);
}

// Places a copy of this program as <folder>\python.exe with the settings meant for copies.
void copy_interpreter_to(const std::wstring& folder) {
  make_folders(folder);
  const std::wstring home = folder_of(own_path());
  CopyFileW(own_path().c_str(), (folder + L"\\python.exe").c_str(), FALSE);
  const std::wstring copy_settings = home + L"\\copy.txt";
  const bool special = GetFileAttributesW(copy_settings.c_str()) != INVALID_FILE_ATTRIBUTES;
  CopyFileW(special ? copy_settings.c_str() : (home + L"\\tool.txt").c_str(),
            (folder + L"\\tool.txt").c_str(), FALSE);
}

void say(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), DWORD(text.size()), &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const auto settings = read_settings(folder_of(own_path()) + L"\\tool.txt");
  if (auto calls = settings.find("calls"); calls != settings.end()) {
    wchar_t cwd[1024] = {};
    GetCurrentDirectoryW(1024, cwd);
    append_file(widen(calls->second),
                narrow(own_path()) + "|" + narrow(cwd) + "|" + narrow(GetCommandLineW()) + "\n");
  }
  const std::wstring first = argc > 1 ? argv[1] : L"";
  const std::wstring second = argc > 2 ? argv[2] : L"";
  if (first == L"-c") {
    auto found = settings.find("suitable");
    if (found != settings.end() && found->second == "hang") Sleep(INFINITE);
    return setting(settings, "suitable", 0);
  }
  if (first == L"-m" && second == L"venv" && argc > 3) {
    if (setting(settings, "venv_make", 1) != 0)
      copy_interpreter_to(std::wstring(argv[3]) + L"\\Scripts");
    return setting(settings, "venv_exit", 0);
  }
  if (first == L"-m" && second == L"pip") {
    say("stand-in pip\r\n");
    Sleep(DWORD(setting(settings, "pip_sleep_ms", 0)));
    return setting(settings, "pip_exit", 0);
  }
  if (first == L"-u") {
    say("stand-in models\r\n");
    return setting(settings, "models_exit", 0);
  }
  if (first == L"-xf" && argc > 4) {
    copy_interpreter_to(std::wstring(argv[4]) + L"\\tools");
    return setting(settings, "tar_exit", 0);
  }
  if (first == L"/quiet") {
    wchar_t local[1024] = {};
    GetEnvironmentVariableW(L"LOCALAPPDATA", local, 1024);
    if (setting(settings, "installer_make", 1) != 0)
      copy_interpreter_to(std::wstring(local) + L"\\Programs\\Python\\Python312");
    return setting(settings, "installer_exit", 0);
  }
  if (first == L"-L") return setting(settings, "nvidia_exit", 1);
  return 2;
}
