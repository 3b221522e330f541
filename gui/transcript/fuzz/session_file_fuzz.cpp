// A history folder full of files that crashes, editors and other programs have touched: damaged,
// binary, half-written. Reading never fails, a half-written file reads as the start of the whole
// one, what is read writes back and reads again unchanged, and the list is ordered newest first.
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/fuzz_checks.h"
#include "transcript/history.h"
#include "transcript/session_file.h"
#include "worker_link/line_parser.h"

using namespace colloquor;

namespace {

bool same_row(const TranscriptLine& a, const TranscriptLine& b) {
  return a.channel == b.channel && a.speaker == b.speaker && a.labelled == b.labelled &&
         a.text == b.text && a.translation == b.translation && a.language == b.language &&
         a.translation_language == b.translation_language;
}

bool no_separator(std::u16string_view field) {
  return field.find(u'\t') == std::u16string_view::npos &&
         field.find(u'\n') == std::u16string_view::npos;
}

std::string written(const SessionContents& contents) {
  std::string file = session_header_line(contents.stamp);
  for (const TranscriptLine& row : contents.lines) file += session_row_line(row);
  return file;
}

// A text field as it reads back after being written.
std::u16string cleaned(std::u16string text) {
  for (char16_t& unit : text) {
    if (unit == u'\t' || unit == u'\r' || unit == u'\n') unit = u' ';
  }
  return text;
}

void check_contents(const SessionContents& contents) {
  FUZZ_CHECK(no_separator(contents.stamp));
  for (const TranscriptLine& row : contents.lines) {
    FUZZ_CHECK(row.channel == 0 || row.channel == 1);
    FUZZ_CHECK(no_separator(row.text) && no_separator(row.translation));
    FUZZ_CHECK(fuzz_support::valid_utf16(row.text) && fuzz_support::valid_utf16(row.translation));
  }
}

// Bytes through UTF-16 and back: always valid UTF-8, lossless exactly for valid UTF-8.
void check_conversion(std::string_view bytes) {
  const std::u16string text = utf8_to_utf16(bytes);
  FUZZ_CHECK(text.size() <= bytes.size());
  FUZZ_CHECK(fuzz_support::valid_utf16(text));
  const std::string again = utf16_to_utf8(text);
  FUZZ_CHECK(fuzz_support::valid_utf8(again));
  if (fuzz_support::valid_utf8(bytes)) {
    FUZZ_CHECK(again == bytes);
  } else {
    FUZZ_CHECK(text.find(u'\uFFFD') != std::u16string::npos);
  }
  FUZZ_CHECK(utf16_to_utf8(utf8_to_utf16(again)) == again);
}

// The file as it stood when the program stopped after `cut` bytes.
void check_half_written(std::string_view bytes, std::size_t cut, const SessionContents& whole) {
  const SessionContents part = read_session_text(bytes.substr(0, cut));
  const std::size_t rows = part.lines.size();
  FUZZ_CHECK(rows <= whole.lines.size() + 1);
  // Every row but a last, unfinished one is the row of the whole file.
  for (std::size_t i = 0; i + 1 < rows; ++i) FUZZ_CHECK(same_row(part.lines[i], whole.lines[i]));
}

void check_written_back(const SessionContents& contents) {
  const std::string file = written(contents);
  const SessionContents again = read_session_text(file);
  FUZZ_CHECK(again.stamp == cleaned(contents.stamp));
  FUZZ_CHECK(again.lines.size() == contents.lines.size());
  for (std::size_t i = 0; i < again.lines.size(); ++i) {
    const TranscriptLine& before = contents.lines[i];
    const TranscriptLine& after = again.lines[i];
    FUZZ_CHECK(after.channel == before.channel && after.speaker == before.speaker);
    FUZZ_CHECK(after.labelled == before.labelled);
    FUZZ_CHECK(after.text == cleaned(before.text));
    FUZZ_CHECK(after.translation == cleaned(before.translation));
  }
  // Language codes are written as the bytes they are: only ASCII ones survive a reading unchanged,
  // and then the whole file does, and it is UTF-8.
  bool ascii_languages = true;
  for (const TranscriptLine& row : contents.lines) {
    for (char byte : row.language + row.translation_language) {
      ascii_languages = ascii_languages && static_cast<unsigned char>(byte) < 0x80;
    }
  }
  if (ascii_languages) FUZZ_CHECK(fuzz_support::valid_utf8(file) && written(again) == file);
}

// The folder: the input cut into files, each listed by the reading rule.
void check_history(std::string_view bytes, std::uint32_t seed) {
  static const std::u16string kNames[] = {u"C:\\p\\history\\2024-05-01_09-00-00.txt",
                                          u"C:\\p\\history\\notes.txt", u"C:\\p\\history\\a.b.c",
                                          u"C:\\p\\history\\.txt", u"no_folder"};
  std::vector<HistoryEntry> entries;
  std::size_t at = 0;
  for (const std::u16string& name : kNames) {
    const std::size_t size = std::min<std::size_t>(bytes.size() - at, seed % 509);
    seed = seed * 1664525u + 1013904223u;
    const SessionContents contents = read_session_text(bytes.substr(at, size));
    at += size;
    const HistoryEntry entry = history_entry_of(name, contents);
    FUZZ_CHECK(entry.line_count == static_cast<std::int32_t>(contents.lines.size()));
    FUZZ_CHECK(!contents.stamp.empty() ? entry.label == contents.stamp
                                       : entry.label == file_stem(name));
    entries.push_back(entry);
  }
  sort_history(entries);
  for (std::size_t i = 0; i + 1 < entries.size(); ++i) {
    FUZZ_CHECK(!(entries[i].label < entries[i + 1].label));
  }
  for (const HistoryEntry& entry : entries) {
    const std::u16string label = history_label(entry, seed & 1);
    const std::string count = "(" + std::to_string(entry.line_count) + ")";
    FUZZ_CHECK(label.size() >= count.size());
    FUZZ_CHECK(label.substr(label.size() - count.size()) ==
               std::u16string(count.begin(), count.end()));
    FUZZ_CHECK(label.find(entry.label.substr(0, 10)) != std::u16string::npos);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::uint32_t seed = 2166136261u;
  for (std::uint8_t byte : bytes) seed = (seed ^ byte) * 16777619u;

  check_conversion(bytes);
  const SessionContents contents = read_session_text(bytes);
  check_contents(contents);
  check_half_written(bytes, size == 0 ? 0 : seed % (size + 1), contents);
  check_written_back(contents);
  check_history(bytes, seed);
  return 0;
}
