#include "transcript/session_file.h"

#include <algorithm>

#include "worker_link/line_parser.h"

namespace colloquor {
namespace {

constexpr std::size_t kRowFieldCount = 8;

bool is_separator(char16_t unit) { return unit == u'\t' || unit == u'\r' || unit == u'\n'; }

std::vector<std::u16string_view> split_fields(std::u16string_view line) {
  std::vector<std::u16string_view> fields;
  std::size_t start = 0;
  while (true) {
    const std::size_t tab = line.find(u'\t', start);
    if (tab == std::u16string_view::npos) {
      fields.push_back(line.substr(start));
      return fields;
    }
    fields.push_back(line.substr(start, tab - start));
    start = tab + 1;
  }
}

// Language codes are bytes; a field read back as UTF-16 keeps the low byte of every unit.
std::string low_bytes(std::u16string_view field) {
  std::string out;
  out.reserve(field.size());
  for (char16_t unit : field) out += static_cast<char>(unit & 0xFF);
  return out;
}

std::string decimal(std::int32_t value) { return std::to_string(value); }

}  // namespace

bool write_unsaved(UnsavedBytes& unsaved,
                   const std::function<std::size_t(std::string_view)>& write) {
  while (!unsaved.bytes.empty()) {
    const std::size_t written = std::min(write(unsaved.bytes), unsaved.bytes.size());
    if (written == 0) return false;
    unsaved.bytes.erase(0, written);
  }
  return true;
}

std::string session_header_line(std::u16string_view stamp) {
  std::string line(kSessionHeaderTag);
  line += '\t';
  line += session_text_field(stamp);
  line += '\n';
  return line;
}

std::string session_text_field(std::u16string_view text) {
  std::u16string cleaned(text);
  for (char16_t& unit : cleaned) {
    if (is_separator(unit)) unit = u' ';
  }
  return utf16_to_utf8(cleaned);
}

std::string session_byte_field(std::string_view bytes) {
  std::string cleaned(bytes);
  for (char& byte : cleaned) {
    if (byte == '\t' || byte == '\r' || byte == '\n') byte = ' ';
  }
  return cleaned;
}

std::string session_row_line(const TranscriptLine& line) {
  std::string row = "U\t";
  row += decimal(line.channel);
  row += '\t';
  row += decimal(line.speaker);
  row += '\t';
  row += line.labelled ? "1" : "0";
  row += '\t';
  row += session_byte_field(line.language);
  row += '\t';
  row += session_byte_field(line.translation_language);
  row += '\t';
  row += session_text_field(line.text);
  row += '\t';
  row += session_text_field(line.translation);
  row += '\n';
  return row;
}

bool parse_session_row(std::u16string_view line, TranscriptLine& row) {
  const std::vector<std::u16string_view> fields = split_fields(line);
  if (fields.size() < kRowFieldCount || fields[0] != u"U") return false;
  row = TranscriptLine{};
  row.channel = decimal_prefix(fields[1]) & 1;
  row.speaker = decimal_prefix(fields[2]);
  row.labelled = fields[3] == u"1";
  row.language = low_bytes(fields[4]);
  row.translation_language = low_bytes(fields[5]);
  row.text = std::u16string(fields[6]);
  row.translation = std::u16string(fields[7]);
  return true;
}

SessionContents read_session_text(std::string_view bytes) {
  SessionContents contents;
  const std::u16string text = utf8_to_utf16(bytes);
  const std::u16string_view all(text);
  const std::u16string_view header_tag = u"#V1";
  std::size_t start = 0;
  while (start <= all.size()) {
    std::size_t end = all.find(u'\n', start);
    if (end == std::u16string_view::npos) end = all.size();
    std::u16string_view line = all.substr(start, end - start);
    if (!line.empty() && line.back() == u'\r') line.remove_suffix(1);
    start = end + 1;

    if (line.substr(0, header_tag.size()) == header_tag) {
      const std::vector<std::u16string_view> fields = split_fields(line);
      if (fields.size() >= 2) contents.stamp = std::u16string(fields[1]);
      continue;
    }
    TranscriptLine row;
    if (parse_session_row(line, row)) contents.lines.push_back(std::move(row));
  }
  return contents;
}

std::u16string session_file_name(std::u16string_view stamp, int attempt) {
  std::u16string name(stamp);
  if (attempt > 0) {
    name += u'_';
    for (char digit : std::to_string(attempt + 1)) name += static_cast<char16_t>(digit);
  }
  name += kSessionFileExtension;
  return name;
}

}  // namespace colloquor
