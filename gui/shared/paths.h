// Path and time text rules shared by the program directory, the crash log and the session files.
// Portable and header-only.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace colloquor {

// The folder part of a full path: everything before the last '\' or '/', without that separator.
// A path that holds neither is returned whole.
inline std::u16string folder_of(std::u16string_view path) {
  std::size_t cut = path.find_last_of(u"\\/");
  if (cut == std::u16string_view::npos) return std::u16string(path);
  return std::u16string(path.substr(0, cut));
}

// "%04d-%02d-%02d_%02d-%02d-%02d": the form of local_timestamp and of session file names.
inline std::u16string format_timestamp(int year, int month, int day, int hour, int minute,
                                       int second) {
  char text[64];
  int length = std::snprintf(text, sizeof text, "%04d-%02d-%02d_%02d-%02d-%02d", year, month, day,
                             hour, minute, second);
  if (length < 0) return {};
  return std::u16string(text, text + length);
}

}  // namespace colloquor
