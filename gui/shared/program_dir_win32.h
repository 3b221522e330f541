// program_dir and local_timestamp for every Win32 part of Parlivo, header-only.
#pragma once

#include <windows.h>

#include <string>

#include "shared/paths.h"

namespace colloquor {

// The folder of the running executable, without a trailing separator.
inline std::wstring program_dir() {
  wchar_t buffer[260] = {};
  DWORD length = GetModuleFileNameW(nullptr, buffer, 260);
  std::u16string path(reinterpret_cast<const char16_t*>(buffer), length);
  std::u16string folder = folder_of(path);
  return std::wstring(folder.begin(), folder.end());
}

// The local time as "2026-11-18_21-46-00".
inline std::wstring local_timestamp() {
  SYSTEMTIME now = {};
  GetLocalTime(&now);
  std::u16string text =
      format_timestamp(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
  return std::wstring(text.begin(), text.end());
}

}  // namespace colloquor
