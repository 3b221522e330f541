// Small file helpers shared by the Windows test programs and their stand-in programs.
#pragma once

#include <windows.h>

#include <string>

namespace colloquor::test_support {

// The folder of the running executable, without the final separator.
inline std::wstring own_folder() {
  wchar_t buffer[1024] = {};
  DWORD length = GetModuleFileNameW(nullptr, buffer, 1024);
  std::wstring path(buffer, length);
  return path.substr(0, path.find_last_of(L"\\/"));
}

// The whole file, or nothing when it cannot be opened; others may keep it open for writing.
inline std::string read_file(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string data;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) data.append(chunk, got);
  CloseHandle(file);
  return data;
}

}  // namespace colloquor::test_support
