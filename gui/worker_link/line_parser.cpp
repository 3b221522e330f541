#include "worker_link/line_parser.h"

#include <limits>

namespace colloquor {

void feed_bytes(LineAssembler& assembler, std::string_view bytes,
                const std::function<void(std::string_view line)>& on_line) {
  std::string& tail = assembler.tail;
  std::size_t scan_from = tail.size();  // the tail held no LF before this append
  tail.append(bytes.data(), bytes.size());
  std::size_t line_start = 0;
  for (;;) {
    const std::size_t lf = tail.find('\n', scan_from);
    if (lf == std::string::npos) break;
    if (lf - line_start >= 2) on_line(std::string_view(tail).substr(line_start, lf - line_start));
    line_start = lf + 1;
    scan_from = line_start;
  }
  // One erase per read keeps a burst of many short lines linear.
  if (line_start > 0) tail.erase(0, line_start);
}

template <typename Char>
static bool is_space(Char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

template <typename Char>
static std::int32_t decimal_prefix_of(std::basic_string_view<Char> text) {
  std::size_t i = 0;
  while (i < text.size() && is_space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > kLimit) value = kLimit;  // saturate; more digits cannot bring it back
  }
  if (negative) return static_cast<std::int32_t>(-value);
  return static_cast<std::int32_t>(value >= kLimit ? kLimit - 1 : value);
}

std::int32_t decimal_prefix(std::string_view text) { return decimal_prefix_of(text); }
std::int32_t decimal_prefix(std::u16string_view text) { return decimal_prefix_of(text); }

// Length of the well-formed sequence starting at bytes[i] and its code point; length 0 means
// ill-formed, and `bad` then tells how many bytes form the maximal ill-formed subpart.
struct Utf8Step {
  std::size_t length = 0;
  char32_t code = 0;
  std::size_t bad = 1;
};

static Utf8Step utf8_step(std::string_view bytes, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  const unsigned char lead = byte(i);
  Utf8Step step;
  if (lead < 0x80) return {1, lead, 0};
  std::size_t need;
  char32_t code;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    code = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    code = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return step;  // a continuation byte or a byte that never starts a sequence
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= bytes.size()) {
      step.bad = k;
      return step;
    }
    const unsigned char b = byte(i + k);
    const unsigned char lo = k == 1 ? low : 0x80;
    const unsigned char hi = k == 1 ? high : 0xBF;
    if (b < lo || b > hi) {
      step.bad = k;
      return step;
    }
    code = (code << 6) | (b & 0x3F);
  }
  return {need + 1, code, 0};
}

std::u16string utf8_to_utf16(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const Utf8Step step = utf8_step(bytes, i);
    if (step.length == 0) {
      out += u'\uFFFD';
      i += step.bad;
      continue;
    }
    if (step.code >= 0x10000) {
      const char32_t v = step.code - 0x10000;
      out += static_cast<char16_t>(0xD800 + (v >> 10));
      out += static_cast<char16_t>(0xDC00 + (v & 0x3FF));
    } else {
      out += static_cast<char16_t>(step.code);
    }
    i += step.length;
  }
  return out;
}

static bool has_recognition_fields(char kind) {
  return kind == 'P' || kind == 'F' || kind == 'T' || kind == 'U';
}

WorkerLine parse_worker_line(std::string_view line) {
  WorkerLine record;
  if (line.size() < 2) return record;
  record.kind = line[0];
  std::string_view rest = line.substr(2);  // the byte after the kind is taken to be the TAB
  if (has_recognition_fields(record.kind)) {
    const std::size_t tab1 = rest.find('\t');
    const std::size_t tab2 = tab1 == std::string_view::npos ? tab1 : rest.find('\t', tab1 + 1);
    const std::size_t tab3 = tab2 == std::string_view::npos ? tab2 : rest.find('\t', tab2 + 1);
    if (tab3 != std::string_view::npos) {
      record.channel = decimal_prefix(rest.substr(0, tab1));
      record.number = decimal_prefix(rest.substr(tab1 + 1, tab2 - tab1 - 1));
      record.language = std::string(rest.substr(tab2 + 1, tab3 - tab2 - 1));
      rest = rest.substr(tab3 + 1);
    }
  } else if (record.kind == 'D') {
    const std::size_t tab = rest.find('\t');
    if (tab != std::string_view::npos) {
      record.number = decimal_prefix(rest.substr(0, tab));
      rest = rest.substr(tab + 1);
    }
  }
  record.text = utf8_to_utf16(rest);
  return record;
}

}  // namespace colloquor
