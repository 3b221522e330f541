// UTF-8 and UTF-16 for every part of Parlivo: the worker's lines, session files, documents.
// Portable.
#pragma once

#include <string>
#include <string_view>

namespace colloquor {

// UTF-8 to UTF-16; each invalid sequence (maximal ill-formed subpart) becomes one U+FFFD.
std::u16string utf8_to_utf16(std::string_view bytes);

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string utf16_to_utf8(std::u16string_view text);

}  // namespace colloquor
