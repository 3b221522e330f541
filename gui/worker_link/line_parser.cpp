#include "worker_link/line_parser.h"

#include <array>
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

// Splits off the fields that stand before the text. Only when all of them are there are they
// taken; otherwise rest stays whole.
template <std::size_t N>
static bool take_leading_fields(std::string_view& rest, std::array<std::string_view, N>& fields) {
  std::size_t start = 0;
  for (std::string_view& field : fields) {
    const std::size_t tab = rest.find('\t', start);
    if (tab == std::string_view::npos) return false;
    field = rest.substr(start, tab - start);
    start = tab + 1;
  }
  rest = rest.substr(start);
  return true;
}

WorkerLine parse_worker_line(std::string_view line) {
  WorkerLine record;
  if (line.size() < 2) return record;
  record.kind = line[0];
  std::string_view rest = line.substr(2);  // the byte after the kind is taken to be the TAB
  switch (line_layout(record.kind)) {
    case LineLayout::recognition: {
      std::array<std::string_view, 3> fields;
      if (take_leading_fields(rest, fields)) {
        record.channel = decimal_prefix(fields[0]);
        record.number = decimal_prefix(fields[1]);
        record.language = std::string(fields[2]);
      }
      break;
    }
    case LineLayout::progress: {
      std::array<std::string_view, 1> fields;
      if (take_leading_fields(rest, fields)) record.number = decimal_prefix(fields[0]);
      break;
    }
    case LineLayout::text:
    case LineLayout::catalog: break;
  }
  record.text = utf8_to_utf16(rest);
  return record;
}

}  // namespace colloquor
