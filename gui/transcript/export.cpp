#include "transcript/export.h"

#include <algorithm>
#include <cstdio>

#include "transcript/panel.h"
#include "transcript/session_file.h"
#include "worker_link/protocol.h"

namespace colloquor {
namespace {

constexpr std::u16string_view kTextExtension = u".txt";

bool table_index(bool has_selection, std::int64_t item_data) {
  return has_selection && item_data >= 0 && item_data < static_cast<std::int64_t>(kLanguageCount);
}

char16_t ascii_lower(char16_t unit) {
  return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit - u'A' + u'a') : unit;
}

bool ends_with_text_extension(std::u16string_view path) {
  if (path.size() < kTextExtension.size()) return false;
  const std::u16string_view tail = path.substr(path.size() - kTextExtension.size());
  for (std::size_t i = 0; i < tail.size(); ++i) {
    if (ascii_lower(tail[i]) != kTextExtension[i]) return false;
  }
  return true;
}

std::u16string widen(std::string_view bytes) {
  std::u16string text;
  text.reserve(bytes.size());
  for (char byte : bytes) text += static_cast<char16_t>(static_cast<unsigned char>(byte));
  return text;
}

const std::u16string& contribution(const TranscriptLine& line, std::string_view lang) {
  static const std::u16string nothing;
  if (lang == kOriginalDocument || line.language == lang) return line.text;
  if (line.translation_language == lang) return line.translation;
  return nothing;
}

}  // namespace

std::string speech_list_code(bool has_selection, std::int64_t item_data) {
  if (!table_index(has_selection, item_data)) return std::string(kAutoLanguage);
  return kLanguages[static_cast<std::size_t>(item_data)].code;
}

std::string translation_list_code(bool has_selection, std::int64_t item_data) {
  if (!table_index(has_selection, item_data)) return std::string(kNoTranslation);
  return kLanguages[static_cast<std::size_t>(item_data)].code;
}

ExportLanguages languages_of_lines(const std::vector<TranscriptLine>& lines) {
  // Codes in the order first seen, with how many lines were translated into each.
  std::vector<std::pair<std::string, int>> targets;
  for (const TranscriptLine& line : lines) {
    if (line.translation.empty() || line.translation_language.empty()) continue;
    auto found = std::find_if(targets.begin(), targets.end(),
                              [&](const auto& t) { return t.first == line.translation_language; });
    if (found == targets.end()) {
      targets.emplace_back(line.translation_language, 1);
    } else {
      ++found->second;
    }
  }
  ExportLanguages languages{std::string(kAutoLanguage), std::string(kNoTranslation)};
  if (targets.empty()) return languages;
  languages.translation =
      std::max_element(targets.begin(), targets.end(), [](const auto& a, const auto& b) {
        return a.second < b.second;
      })->first;
  std::vector<std::string> spoken;
  for (const TranscriptLine& line : lines) {
    if (line.language.empty() || line.language == languages.translation) continue;
    if (std::find(spoken.begin(), spoken.end(), line.language) == spoken.end()) {
      spoken.push_back(line.language);
    }
  }
  if (spoken.size() == 1) languages.speech = spoken.front();
  return languages;
}

ExportLanguages viewed_session_languages(const std::vector<TranscriptLine>& lines,
                                         std::string_view speech_code,
                                         std::string_view translation_code) {
  const bool first_has_lines = !build_document(lines, first_document_language(speech_code)).empty();
  const bool second_has_lines =
      translation_code == kNoTranslation || !build_document(lines, translation_code).empty();
  if (first_has_lines && second_has_lines) {
    return ExportLanguages{std::string(speech_code), std::string(translation_code)};
  }
  return languages_of_lines(lines);
}

std::string first_document_language(std::string_view speech_code) {
  return std::string(speech_code == kAutoLanguage ? kOriginalDocument : speech_code);
}

std::u16string build_document(const std::vector<TranscriptLine>& lines, std::string_view lang) {
  std::u16string document;
  for (const TranscriptLine& line : lines) {
    const std::u16string& text = contribution(line, lang);
    if (text.empty()) continue;
    if (line.labelled) {
      document += u'[';
      document += speaker_label(line.channel, line.speaker);
      document += u"] ";
    }
    document += text;
    document += u"\r\n";
  }
  return document;
}

std::u16string proposed_export_name(int year, int month, int day, int hour, int minute) {
  char name[kSaveNameCapacity];
  const int length = std::snprintf(name, sizeof name, "Transcript_%04d-%02d-%02d_%02d-%02d", year,
                                   month, day, hour, minute);
  if (length < 0) return {};
  return widen(std::string_view(name, std::min<std::size_t>(length, sizeof name - 1)));
}

std::u16string export_base(std::u16string_view chosen) {
  if (chosen.size() > kTextExtension.size() && ends_with_text_extension(chosen)) {
    chosen.remove_suffix(kTextExtension.size());
  }
  return std::u16string(chosen);
}

std::u16string export_path(std::u16string_view base, std::string_view language) {
  std::u16string path(base);
  path += u'_';
  path += widen(language);
  path += kTextExtension;
  return path;
}

std::string utf8_document(std::u16string_view text) {
  std::string bytes = "\xEF\xBB\xBF";
  bytes += utf16_to_utf8(text);
  return bytes;
}

void save_transcripts(const std::vector<TranscriptLine>& lines, std::string_view speech_code,
                      std::string_view translation_code, ExportView& view) {
  if (lines.empty()) {
    view.set_status(kNothingToSaveStatus);
    return;
  }
  struct Document {
    std::string language;
    std::u16string text;
  };
  std::vector<Document> documents;
  const std::string first_language = first_document_language(speech_code);
  documents.push_back({first_language, build_document(lines, first_language)});
  if (translation_code != kNoTranslation) {
    documents.push_back({std::string(translation_code), build_document(lines, translation_code)});
  }
  std::erase_if(documents, [](const Document& d) { return d.text.empty(); });
  if (documents.empty()) {
    view.set_status(kNothingInTheseLanguagesStatus);
    return;
  }

  std::u16string chosen;
  if (!view.choose_path(view.proposed_name(), chosen)) return;
  const std::u16string base = export_base(chosen);
  std::u16string status(kSavedStatus);
  for (std::size_t i = 0; i < documents.size(); ++i) {
    const std::u16string path = export_path(base, documents[i].language);
    if (!view.write_document(path, documents[i].text)) {
      view.set_status(kSaveFailedStatus);  // documents written before stay written
      return;
    }
    if (i > 0) status += kSavedJoiner;
    status += path;
  }
  view.set_status(status);
}

}  // namespace colloquor
