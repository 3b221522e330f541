// "Save..." over transcripts with every kind of text: line breaks and tabs, NUL, unpaired
// surrogates, any speaker number, any language bytes. Each document holds its lines in order and
// nothing else, its file is UTF-8 with a byte-order mark, and the names and status texts follow
// the chosen path.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/fuzz_checks.h"
#include "transcript/export.h"
#include "transcript/panel.h"
#include "worker_link/line_parser.h"

using namespace colloquor;

namespace {

std::u16string units(FuzzedDataProvider& input, std::size_t most) {
  static constexpr char16_t kSpecial[] = {u'\r',  u'\n',  u'\t',  0,      0xD800,
                                          0xDC00, 0xFEFF, 0x202E, 0xFFFD, u'['};
  std::u16string text;
  const std::size_t length = input.ConsumeIntegralInRange<std::size_t>(0, most);
  for (std::size_t i = 0; i < length && input.remaining_bytes() > 0; ++i) {
    text +=
        input.ConsumeBool() ? input.PickValueInArray(kSpecial) : input.ConsumeIntegral<char16_t>();
  }
  return text;
}

std::string language(FuzzedDataProvider& input) {
  static const char* const kCodes[] = {"en", "ru", "de", "", "orig", "none", "auto"};
  return input.ConsumeBool() ? kCodes[input.ConsumeIntegralInRange<int>(0, 6)]
                             : input.ConsumeBytesAsString(input.ConsumeIntegralInRange<int>(0, 3));
}

std::u16string widen(std::string_view bytes) {
  std::u16string text;
  for (char byte : bytes) text += static_cast<char16_t>(static_cast<unsigned char>(byte));
  return text;
}

std::u16string with_replacements(std::u16string_view text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    const bool high = unit >= 0xD800 && unit <= 0xDBFF;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      out += unit;
      out += text[++i];
    } else {
      out += unit >= 0xD800 && unit <= 0xDFFF ? u'\uFFFD' : unit;
    }
  }
  return out;
}

void check_label(std::int32_t channel, std::int32_t speaker) {
  const std::u16string label = speaker_label(channel, speaker);
  const std::u16string side = channel & 1 ? u"Them" : u"You";
  const std::string number = std::to_string(speaker);
  FUZZ_CHECK(label == (speaker >= 2 ? side + u" " + widen(number) : side));
}

// Every line that contributes appears, in order, as "[label] text" or "text", then CR LF; a
// document over a language no line has is empty.
void check_document(const std::vector<TranscriptLine>& lines, std::string_view lang) {
  const std::u16string document = build_document(lines, lang);
  std::size_t at = 0;
  std::size_t most = 0;
  for (const TranscriptLine& line : lines) {
    most += 5 + speaker_label(line.channel, line.speaker).size() +
            std::max(line.text.size(), line.translation.size());
    const std::u16string& part = lang == kOriginalDocument || line.language == lang ? line.text
                                 : line.translation_language == lang ? line.translation
                                                                     : u"";
    if (part.empty()) continue;
    std::u16string piece =
        line.labelled ? u"[" + speaker_label(line.channel, line.speaker) + u"] " : u"";
    piece += part + u"\r\n";
    FUZZ_CHECK(document.compare(at, piece.size(), piece) == 0);
    at += piece.size();
  }
  FUZZ_CHECK(at == document.size() && document.size() <= most);

  const std::string file = utf8_document(document);
  FUZZ_CHECK(file.compare(0, 3, "\xEF\xBB\xBF") == 0);
  FUZZ_CHECK(file.size() <= 3 + 3 * document.size());
  FUZZ_CHECK(fuzz_support::valid_utf8(std::string_view(file).substr(3)));
  FUZZ_CHECK(utf8_to_utf16(std::string_view(file).substr(3)) == with_replacements(document));
}

struct RecordingView final : ExportView {
  FuzzedDataProvider* input;
  std::u16string chosen;
  bool cancel = false;
  std::vector<std::u16string> written;
  std::vector<std::u16string> statuses;
  bool dialog_shown = false;

  bool choose_path(const std::u16string& proposed, std::u16string& path) override {
    FUZZ_CHECK(proposed == proposed_name());
    dialog_shown = true;
    path = chosen;
    return !cancel;
  }
  std::u16string proposed_name() override { return proposed_export_name(2024, 5, 1, 14, 3); }
  bool write_document(const std::u16string& path, std::u16string_view) override {
    written.push_back(path);
    return input->ConsumeBool();
  }
  void set_status(std::u16string_view text) override { statuses.emplace_back(text); }
};

void check_saving(FuzzedDataProvider& input, const std::vector<TranscriptLine>& lines) {
  RecordingView view;
  view.input = &input;
  const bool with_extension = input.ConsumeBool();
  view.chosen = units(input, 12) + (with_extension ? u".TxT" : u"");
  view.cancel = input.ConsumeBool();
  const std::string speech =
      speech_list_code(input.ConsumeBool(), input.ConsumeIntegral<std::int64_t>());
  const std::string translation =
      translation_list_code(input.ConsumeBool(), input.ConsumeIntegralInRange<std::int64_t>(-2, 9));
  save_transcripts(lines, speech, translation, view);

  if (lines.empty()) {
    FUZZ_CHECK(!view.dialog_shown &&
               view.statuses == std::vector<std::u16string>{std::u16string(kNothingToSaveStatus)});
    return;
  }
  // The documents that have text, in order; empty ones are never written.
  std::vector<std::string> languages;
  const std::string first_language = first_document_language(speech);
  if (!build_document(lines, first_language).empty()) languages.push_back(first_language);
  if (translation != kNoTranslation && !build_document(lines, translation).empty()) {
    languages.push_back(translation);
  }
  if (languages.empty()) {
    FUZZ_CHECK(!view.dialog_shown && view.statuses == std::vector<std::u16string>{std::u16string(
                                                          kNothingInTheseLanguagesStatus)});
    return;
  }
  if (view.cancel) {
    FUZZ_CHECK(view.written.empty() && view.statuses.empty());
    return;
  }
  const std::u16string base = export_base(view.chosen);
  if (with_extension && view.chosen.size() > 4) {
    FUZZ_CHECK(base == view.chosen.substr(0, view.chosen.size() - 4));
  } else {
    FUZZ_CHECK(base == view.chosen || base.size() + 4 == view.chosen.size());
  }
  FUZZ_CHECK(!view.written.empty() && view.written[0] == export_path(base, languages[0]) &&
             view.statuses.size() == 1);
  const std::u16string& status = view.statuses[0];
  if (status == kSaveFailedStatus) return;
  std::u16string expected_status(kSavedStatus);
  FUZZ_CHECK(view.written.size() == languages.size());
  for (std::size_t i = 0; i < languages.size(); ++i) {
    FUZZ_CHECK(view.written[i] == export_path(base, languages[i]));
    if (i > 0) expected_status += kSavedJoiner;
    expected_status += view.written[i];
  }
  FUZZ_CHECK(status == expected_status);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  std::vector<TranscriptLine> lines(input.ConsumeIntegralInRange<std::size_t>(0, 12));
  for (TranscriptLine& line : lines) {
    line.channel = input.ConsumeIntegral<std::int32_t>();
    line.speaker = input.ConsumeBool() ? input.ConsumeIntegralInRange<std::int32_t>(-1, 7)
                                       : input.ConsumeIntegral<std::int32_t>();
    line.labelled = input.ConsumeBool();
    line.language = language(input);
    line.translation_language = language(input);
    line.text = units(input, 40);
    line.translation = units(input, 40);
    check_label(line.channel, line.speaker);
  }
  check_document(lines, kOriginalDocument);
  for (std::size_t i = 0; i < lines.size() && i < 3; ++i)
    check_document(lines, lines[i].translation_language);
  check_document(lines, language(input));
  // Language codes here have at most four bytes: no line is in this one.
  FUZZ_CHECK(build_document(lines, "unused-language").empty());

  const std::u16string name = proposed_export_name(
      input.ConsumeIntegral<int>(), input.ConsumeIntegral<int>(), input.ConsumeIntegral<int>(),
      input.ConsumeIntegral<int>(), input.ConsumeIntegral<int>());
  FUZZ_CHECK(name.rfind(u"Transcript_", 0) == 0 && name.size() < kSaveNameCapacity);
  check_saving(input, lines);
  return 0;
}
