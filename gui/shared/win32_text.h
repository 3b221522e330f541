// The program's UTF-16 strings (char16_t) at the Win32 API, whose wchar_t is also 16 bits here.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace colloquor {

inline const wchar_t* wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

// A view has no terminator: it is copied into `storage` first.
inline const wchar_t* wide(std::u16string_view text, std::u16string& storage) {
  storage.assign(text);
  return wide(storage);
}

inline std::u16string from_wide(const wchar_t* text, std::size_t length) {
  return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}

inline std::u16string from_wide(const wchar_t* text) {
  return text == nullptr ? std::u16string()
                         : std::u16string(reinterpret_cast<const char16_t*>(text));
}

inline std::u16string from_wide(const std::wstring& text) {
  return from_wide(text.data(), text.size());
}

}  // namespace colloquor
