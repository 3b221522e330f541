// The worker's standard output as the reader thread receives it: any bytes, cut into reads at any
// points. The same lines must come out however the stream is cut, and each record must hold what
// its line says, with well-formed UTF-16 text.
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "tests/support/fuzz_checks.h"
#include "worker_link/line_parser.h"

using namespace colloquor;

namespace {

struct Cut {
  std::vector<std::string> lines;
  std::string tail;
};

// Reads of `piece(i)` bytes each until the stream is used up.
template <typename Piece>
Cut feed_in_pieces(std::string_view stream, Piece piece) {
  LineAssembler assembler;
  Cut cut;
  const std::function<void(std::string_view)> keep = [&](std::string_view line) {
    cut.lines.emplace_back(line);
  };
  for (std::size_t at = 0, i = 0; at < stream.size(); ++i) {
    const std::size_t size = std::min(piece(i), stream.size() - at);
    feed_bytes(assembler, stream.substr(at, size), keep);
    at += size;
  }
  cut.tail = assembler.tail;
  return cut;
}

// The stream cut at every LF, pieces shorter than 2 bytes dropped, the unfinished rest kept.
Cut reference_cut(std::string_view stream) {
  Cut cut;
  std::size_t start = 0;
  for (std::size_t lf; (lf = stream.find('\n', start)) != std::string_view::npos; start = lf + 1) {
    if (lf - start >= 2) cut.lines.emplace_back(stream.substr(start, lf - start));
  }
  cut.tail = stream.substr(start);
  return cut;
}

// The C library's reading of a decimal prefix, held to 32 bits.
std::int32_t reference_decimal(std::string_view text) {
  const std::string terminated(text);
  const long long value = std::strtoll(terminated.c_str(), nullptr, 10);
  if (value > std::numeric_limits<std::int32_t>::max())
    return std::numeric_limits<std::int32_t>::max();
  if (value < std::numeric_limits<std::int32_t>::min())
    return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(value);
}

std::u16string widen(std::string_view bytes) {
  std::u16string text;
  for (char byte : bytes) text += static_cast<char16_t>(static_cast<unsigned char>(byte));
  return text;
}

void check_decimal(std::string_view field, std::int32_t parsed) {
  FUZZ_CHECK(parsed == reference_decimal(field));
  FUZZ_CHECK(decimal_prefix(widen(field)) == decimal_prefix(field));
}

void check_record(std::string_view line) {
  const WorkerLine record = parse_worker_line(line);
  FUZZ_CHECK(record.kind == line[0]);
  FUZZ_CHECK(fuzz_support::valid_utf16(record.text));
  const std::string_view rest = line.substr(2);
  FUZZ_CHECK(record.text.size() <= rest.size());

  std::vector<std::size_t> tabs;
  for (std::size_t i = rest.find('\t'); i != std::string_view::npos && tabs.size() < 3;
       i = rest.find('\t', i + 1)) {
    tabs.push_back(i);
  }
  const char kind = line[0];
  std::string_view text_bytes = rest;
  if (line_layout(kind) == LineLayout::recognition && tabs.size() == 3) {
    check_decimal(rest.substr(0, tabs[0]), record.channel);
    check_decimal(rest.substr(tabs[0] + 1, tabs[1] - tabs[0] - 1), record.number);
    FUZZ_CHECK(record.language == rest.substr(tabs[1] + 1, tabs[2] - tabs[1] - 1));
    text_bytes = rest.substr(tabs[2] + 1);
  } else if (line_layout(kind) == LineLayout::progress && !tabs.empty()) {
    FUZZ_CHECK(record.channel == 0 && record.language.empty());
    check_decimal(rest.substr(0, tabs[0]), record.number);
    text_bytes = rest.substr(tabs[0] + 1);
  } else {
    FUZZ_CHECK(record.channel == 0 && record.number == 0 && record.language.empty());
  }
  FUZZ_CHECK(record.text == utf8_to_utf16(text_bytes));
  bool ascii = true;
  for (char byte : text_bytes) ascii = ascii && static_cast<unsigned char>(byte) < 0x80;
  if (ascii) FUZZ_CHECK(record.text == widen(text_bytes));
}

bool same(const Cut& a, const Cut& b) { return a.lines == b.lines && a.tail == b.tail; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view stream(reinterpret_cast<const char*>(data), size);

  // Cut points drawn from the input itself, so every input is also read in its own pieces.
  std::uint32_t seed = 2166136261u;
  for (std::uint8_t byte : stream) seed = (seed ^ byte) * 16777619u;
  const Cut random = feed_in_pieces(stream, [&](std::size_t) {
    seed = seed * 1664525u + 1013904223u;
    return std::size_t{1} + (seed >> 16) % (seed & 0x100 ? 3 : 97);
  });
  const Cut whole = feed_in_pieces(stream, [](std::size_t) { return kReadChunk; });
  const Cut expected = reference_cut(stream);
  FUZZ_CHECK(same(whole, expected));
  FUZZ_CHECK(same(random, expected));

  for (const std::string& line : whole.lines) check_record(line);
  return 0;
}
