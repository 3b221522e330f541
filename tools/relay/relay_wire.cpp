#include "tools/relay/relay_wire.h"

namespace colloquor::relay {

std::string encode_message(char tag, std::string_view body) {
  std::string message;
  message.reserve(kMessageHeaderSize + body.size());
  message.push_back(tag);
  const auto length = static_cast<std::uint32_t>(body.size());
  for (int shift = 0; shift < 32; shift += 8)
    message.push_back(static_cast<char>((length >> shift) & 0xFF));
  message.append(body);
  return message;
}

void feed(MessageReader& reader, std::string_view bytes) { reader.pending.append(bytes); }

std::optional<Message> next_message(MessageReader& reader) {
  if (reader.broken || reader.pending.size() < kMessageHeaderSize) return std::nullopt;
  const auto* header = reinterpret_cast<const unsigned char*>(reader.pending.data());
  const std::uint32_t length = header[1] | (header[2] << 8) | (header[3] << 16) |
                               (static_cast<std::uint32_t>(header[4]) << 24);
  if (length > kMaxMessageLength) {
    reader.broken = true;
    return std::nullopt;
  }
  if (reader.pending.size() - kMessageHeaderSize < length) return std::nullopt;
  Message message{reader.pending[0], reader.pending.substr(kMessageHeaderSize, length)};
  reader.pending.erase(0, kMessageHeaderSize + length);
  return message;
}

bool is_windows_path(std::u16string_view text) {
  if (text.size() >= 3 && text[1] == u':' && (text[2] == u'\\' || text[2] == u'/')) {
    const char16_t drive = text[0];
    return (drive >= u'A' && drive <= u'Z') || (drive >= u'a' && drive <= u'z');
  }
  return text.size() >= 3 && text[0] == u'\\' && text[1] == u'\\';
}

std::optional<std::uint16_t> parse_port(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.remove_suffix(1);
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  if (text.empty() || text.size() > 5) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (value == 0 || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

std::string to_utf8(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;  // a lone surrogate has no UTF-8 form
    }
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return out;
}

}  // namespace colloquor::relay
