// The exported documents, their names and the steps of "Save..." against an in-memory dialog and
// file system.
#include "transcript/export.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace colloquor {
namespace {

TranscriptLine line(int channel, int speaker, bool labelled, std::u16string text,
                    std::string language, std::u16string translation,
                    std::string translation_language) {
  TranscriptLine l;
  l.channel = channel;
  l.speaker = speaker;
  l.labelled = labelled;
  l.text = std::move(text);
  l.language = std::move(language);
  l.translation = std::move(translation);
  l.translation_language = std::move(translation_language);
  return l;
}

// A Russian-English conversation: the microphone speaks Russian, the other side English, and
// one line whose translation never came.
std::vector<TranscriptLine> conversation() {
  return {
      line(0, 0, false, u"\u041F\u0440\u0438\u0432\u0435\u0442", "ru", u"Hello", "en"),
      line(1, 2, true, u"How are you?", "en", u"\u041A\u0430\u043A \u0434\u0435\u043B\u0430?",
           "ru"),
      line(1, 0, true, u"Fine", "en", u"", ""),
      line(0, 0, false, u"", "ru", u"", "en"),
  };
}

TEST(ListLanguageCode, TableCodesForItemDataZeroToSevenElseTheListDefault) {
  EXPECT_EQ(speech_list_code(true, 0), "ru");
  EXPECT_EQ(speech_list_code(true, 7), "it");
  EXPECT_EQ(translation_list_code(true, 2), "de");
  for (std::int64_t data : {std::int64_t{-1}, std::int64_t{8}, std::int64_t{1} << 40}) {
    EXPECT_EQ(speech_list_code(true, data), "auto");
    EXPECT_EQ(translation_list_code(true, data), "none");
  }
  EXPECT_EQ(speech_list_code(false, 1), "auto");
  EXPECT_EQ(translation_list_code(false, 1), "none");
}

TEST(FirstDocumentLanguage, AutoBecomesOrig) {
  EXPECT_EQ(first_document_language("auto"), "orig");
  EXPECT_EQ(first_document_language("ru"), "ru");
}

TEST(BuildDocument, EachLanguageReadsTheWholeConversationInThatLanguage) {
  EXPECT_EQ(build_document(conversation(), "ru"),
            u"\u041F\u0440\u0438\u0432\u0435\u0442\r\n"
            u"[Them 2] \u041A\u0430\u043A \u0434\u0435\u043B\u0430?\r\n");
  EXPECT_EQ(build_document(conversation(), "en"),
            u"Hello\r\n[Them 2] How are you?\r\n[Them] Fine\r\n");
}

TEST(BuildDocument, OrigHoldsEveryRecognizedTextAndOtherLanguagesNothing) {
  EXPECT_EQ(build_document(conversation(), "orig"),
            u"\u041F\u0440\u0438\u0432\u0435\u0442\r\n[Them 2] How are you?\r\n[Them] Fine\r\n");
  EXPECT_EQ(build_document(conversation(), "de"), u"");
  EXPECT_EQ(build_document({}, "orig"), u"");
}

TEST(BuildDocument, AGermanDocumentHoldsTranslationsIntoGermanAndLinesSpokenInGerman) {
  const std::vector<TranscriptLine> lines = {
      line(0, 0, false, u"Good day", "en", u"Guten Tag", "de"),
      line(1, 3, true, u"Danke", "de", u"Thanks", "en"),
      line(0, 0, false, u"Bonjour", "fr", u"Hello", "en"),
  };
  EXPECT_EQ(build_document(lines, "de"), u"Guten Tag\r\n[Them 3] Danke\r\n");
}

TEST(ExportNames, ProposedNameAndPaths) {
  EXPECT_EQ(proposed_export_name(2024, 5, 1, 14, 3), u"Transcript_2024-05-01_14-03");
  EXPECT_EQ(export_path(u"C:\\docs\\talk", "orig"), u"C:\\docs\\talk_orig.txt");
  EXPECT_EQ(export_path(u"C:\\docs\\talk", "de"), u"C:\\docs\\talk_de.txt");
}

TEST(ExportNames, AFinalTxtInAnyCaseIsRemovedFromTheChosenName) {
  EXPECT_EQ(export_base(u"C:\\docs\\talk.TXT"), u"C:\\docs\\talk");
  EXPECT_EQ(export_base(u"C:\\docs\\talk.tXt"), u"C:\\docs\\talk");
  EXPECT_EQ(export_base(u"talk"), u"talk");
  EXPECT_EQ(export_base(u"talk.txt.bak"), u"talk.txt.bak");
  EXPECT_EQ(export_base(u"a.txt"), u"a");
  EXPECT_EQ(export_base(u".txt"), u".txt");  // nothing would be left
  EXPECT_EQ(export_base(u"tx"), u"tx");
}

TEST(Utf8Document, ByteOrderMarkThenUtf8WithControlsKept) {
  EXPECT_EQ(utf8_document(u""), "\xEF\xBB\xBF");
  EXPECT_EQ(utf8_document(u"\u041F\tx\r\n"), "\xEF\xBB\xBF\xD0\x9F\tx\r\n");
  const std::u16string lone = {u'a', char16_t(0xDC01)};
  EXPECT_EQ(utf8_document(lone),
            "\xEF\xBB\xBF"
            "a\xEF\xBF\xBD");
  EXPECT_EQ(utf8_document(u"\U0001F600"), "\xEF\xBB\xBF\xF0\x9F\x98\x80");
}

// The Save dialog answers with `chosen` (or is cancelled); paths listed in `refuse` cannot be
// written.
class FakeSave final : public ExportView {
 public:
  bool cancel = false;
  std::u16string chosen = u"C:\\docs\\talk.TXT";
  std::vector<std::u16string> refuse;
  int dialogs = 0;
  std::u16string proposed_seen;
  std::map<std::u16string, std::u16string> written;
  std::vector<std::u16string> attempts;
  std::vector<std::u16string> statuses;

  bool choose_path(const std::u16string& proposed, std::u16string& path) override {
    ++dialogs;
    proposed_seen = proposed;
    if (cancel) return false;
    path = chosen;
    return true;
  }
  std::u16string proposed_name() override { return u"Transcript_2026-12-09_10-00"; }
  bool write_document(const std::u16string& path, std::u16string_view text) override {
    attempts.push_back(path);
    for (const std::u16string& bad : refuse) {
      if (bad == path) return false;
    }
    written[path] = std::u16string(text);
    return true;
  }
  void set_status(std::u16string_view text) override { statuses.emplace_back(text); }
};

TEST(SaveTranscripts, NothingToSaveShowsNoDialog) {
  FakeSave save;
  save_transcripts({}, "ru", "en", save);
  EXPECT_EQ(save.dialogs, 0);
  EXPECT_EQ(save.statuses, (std::vector<std::u16string>{u"Nothing to save yet."}));
}

TEST(SaveTranscripts, ACancelledDialogWritesAndSaysNothing) {
  FakeSave save;
  save.cancel = true;
  save_transcripts(conversation(), "ru", "en", save);
  EXPECT_EQ(save.dialogs, 1);
  EXPECT_EQ(save.proposed_seen, u"Transcript_2026-12-09_10-00");
  EXPECT_TRUE(save.attempts.empty());
  EXPECT_TRUE(save.statuses.empty());
}

TEST(SaveTranscripts, AutoWithoutTranslationWritesOneOrigDocument) {
  FakeSave save;
  save_transcripts(conversation(), "auto", "none", save);
  ASSERT_EQ(save.attempts, (std::vector<std::u16string>{u"C:\\docs\\talk_orig.txt"}));
  EXPECT_EQ(save.written[u"C:\\docs\\talk_orig.txt"], build_document(conversation(), "orig"));
  EXPECT_EQ(save.statuses, (std::vector<std::u16string>{u"Saved: C:\\docs\\talk_orig.txt"}));
}

TEST(SaveTranscripts, AutoWithGermanWritesOrigAndGerman) {
  FakeSave save;
  save.chosen = u"C:\\docs\\call";
  std::vector<TranscriptLine> lines = conversation();
  lines.push_back(line(1, 0, true, u"Gut", "de", u"Good", "en"));
  save_transcripts(lines, "auto", "de", save);
  EXPECT_EQ(save.attempts,
            (std::vector<std::u16string>{u"C:\\docs\\call_orig.txt", u"C:\\docs\\call_de.txt"}));
  EXPECT_EQ(
      save.statuses,
      (std::vector<std::u16string>{u"Saved: C:\\docs\\call_orig.txt  and  C:\\docs\\call_de.txt"}));
}

TEST(SaveTranscripts, ConcretePairWritesBothLanguages) {
  FakeSave save;
  save_transcripts(conversation(), "ru", "en", save);
  EXPECT_EQ(save.written[u"C:\\docs\\talk_ru.txt"], build_document(conversation(), "ru"));
  EXPECT_EQ(save.written[u"C:\\docs\\talk_en.txt"], build_document(conversation(), "en"));
}

TEST(SaveTranscripts, AFirstFileThatCannotBeWrittenStopsBeforeTheSecond) {
  FakeSave save;
  save.refuse = {u"C:\\docs\\talk_ru.txt"};
  save_transcripts(conversation(), "ru", "en", save);
  EXPECT_EQ(save.attempts, (std::vector<std::u16string>{u"C:\\docs\\talk_ru.txt"}));
  EXPECT_EQ(save.statuses, (std::vector<std::u16string>{u"Could not save the file."}));
}

TEST(SaveTranscripts, ASecondFileThatCannotBeWrittenKeepsTheFirst) {
  FakeSave save;
  save.refuse = {u"C:\\docs\\talk_en.txt"};
  save_transcripts(conversation(), "ru", "en", save);
  EXPECT_EQ(save.written.count(u"C:\\docs\\talk_ru.txt"), 1u);
  EXPECT_EQ(save.statuses, (std::vector<std::u16string>{u"Could not save the file."}));
}

TEST(SaveTranscripts, EmptyDocumentsAreLeftOutAndNeverReportedAsSaved) {
  FakeSave none;
  save_transcripts(conversation(), "de", "fr", none);
  EXPECT_EQ(none.dialogs, 0);
  EXPECT_EQ(none.statuses, (std::vector<std::u16string>{u"Nothing to save in these languages."}));

  FakeSave half;
  save_transcripts(conversation(), "ru", "de", half);
  EXPECT_EQ(half.attempts, (std::vector<std::u16string>{u"C:\\docs\\talk_ru.txt"}));
  EXPECT_EQ(half.statuses, (std::vector<std::u16string>{u"Saved: C:\\docs\\talk_ru.txt"}));
}

TEST(LanguagesOfLines, ThePairTheSessionWasRecordedWith) {
  auto pair = [](const std::vector<TranscriptLine>& lines) {
    const ExportLanguages l = languages_of_lines(lines);
    return l.speech + "|" + l.translation;
  };
  EXPECT_EQ(pair(conversation()), "ru|en");
  EXPECT_EQ(pair({}), "auto|none");
  EXPECT_EQ(pair({line(0, 0, false, u"Hi", "en", u"", "")}), "auto|none");
  // Speech detected in several languages, all translated into German.
  EXPECT_EQ(pair({line(0, 0, false, u"Hi", "en", u"Hallo", "de"),
                  line(0, 0, false, u"Salut", "fr", u"Hallo", "de"),
                  line(0, 0, false, u"Guten Tag", "de", u"", "")}),
            "auto|de");
}

// A saved Russian-English session: Russian lines translated into English, one German line
// translated into Russian, one English line translated into Russian.
std::vector<TranscriptLine> saved_russian_english_session() {
  return {
      line(0, 0, false, u"\u0414\u043E\u0431\u0440\u044B\u0439 \u0434\u0435\u043D\u044C", "ru",
           u"Good afternoon", "en"),
      line(1, 0, true, u"Guten Tag", "de",
           u"\u0414\u043E\u0431\u0440\u044B\u0439 \u0434\u0435\u043D\u044C", "ru"),
      line(0, 0, false, u"\u0421\u043F\u0430\u0441\u0438\u0431\u043E", "ru", u"Thank you", "en"),
      line(1, 0, true, u"See you", "en", u"\u0423\u0432\u0438\u0434\u0438\u043C\u0441\u044F", "ru"),
      line(0, 0, false, u"\u0414\u0430", "ru", u"Yes", "en"),
  };
}

// "Save..." of a viewed session with the lists set as given: the files written, in order.
std::vector<std::u16string> viewed_session_files(const std::vector<TranscriptLine>& lines,
                                                 std::string_view speech,
                                                 std::string_view translation, FakeSave& save) {
  const ExportLanguages languages = viewed_session_languages(lines, speech, translation);
  save_transcripts(lines, languages.speech, languages.translation, save);
  return save.attempts;
}

TEST(ViewedSessionExport, ListsThatGiveEveryDocumentALineAreUsedAsTheyStand) {
  const std::vector<TranscriptLine> lines = saved_russian_english_session();
  FakeSave pair;
  EXPECT_EQ(viewed_session_files(lines, "ru", "en", pair),
            (std::vector<std::u16string>{u"C:\\docs\\talk_ru.txt", u"C:\\docs\\talk_en.txt"}));
  EXPECT_EQ(pair.written[u"C:\\docs\\talk_ru.txt"],
            u"\u0414\u043E\u0431\u0440\u044B\u0439 \u0434\u0435\u043D\u044C\r\n"
            u"[Them] \u0414\u043E\u0431\u0440\u044B\u0439 \u0434\u0435\u043D\u044C\r\n"
            u"\u0421\u043F\u0430\u0441\u0438\u0431\u043E\r\n"
            u"[Them] \u0423\u0432\u0438\u0434\u0438\u043C\u0441\u044F\r\n"
            u"\u0414\u0430\r\n");
  EXPECT_EQ(pair.written[u"C:\\docs\\talk_en.txt"],
            u"Good afternoon\r\nThank you\r\n[Them] See you\r\nYes\r\n");
  EXPECT_EQ(
      pair.statuses,
      (std::vector<std::u16string>{u"Saved: C:\\docs\\talk_ru.txt  and  C:\\docs\\talk_en.txt"}));

  // Auto and No translation: the one document of the speech as spoken, nothing more.
  FakeSave orig;
  EXPECT_EQ(viewed_session_files(lines, "auto", "none", orig),
            (std::vector<std::u16string>{u"C:\\docs\\talk_orig.txt"}));
  EXPECT_EQ(orig.written[u"C:\\docs\\talk_orig.txt"], build_document(lines, "orig"));

  // German speech into Russian: the German line alone is enough for its document.
  FakeSave german;
  EXPECT_EQ(viewed_session_files(lines, "de", "ru", german),
            (std::vector<std::u16string>{u"C:\\docs\\talk_de.txt", u"C:\\docs\\talk_ru.txt"}));
  EXPECT_EQ(german.written[u"C:\\docs\\talk_de.txt"], u"[Them] Guten Tag\r\n");
}

TEST(ViewedSessionExport, ADocumentOfTheListsThatWouldBeEmptyHandsTheChoiceToTheLines) {
  const std::vector<TranscriptLine> lines = saved_russian_english_session();
  const std::vector<std::pair<std::string, std::string>> empty_somewhere = {
      {"fr", "es"}, {"ru", "fr"}, {"it", "en"}, {"auto", "pl"}, {"uk", "none"}};
  for (const auto& [speech, translation] : empty_somewhere) {
    SCOPED_TRACE(speech + "|" + translation);
    const ExportLanguages chosen = viewed_session_languages(lines, speech, translation);
    EXPECT_EQ(chosen.speech + "|" + chosen.translation, "auto|en");  // ru and de spoken
    FakeSave save;
    EXPECT_EQ(viewed_session_files(lines, speech, translation, save),
              (std::vector<std::u16string>{u"C:\\docs\\talk_orig.txt", u"C:\\docs\\talk_en.txt"}));
  }
  // A session without translations falls back to its one document as spoken.
  const std::vector<TranscriptLine> untranslated = {line(0, 0, false, u"Hi", "en", u"", "")};
  FakeSave alone;
  EXPECT_EQ(viewed_session_files(untranslated, "en", "de", alone),
            (std::vector<std::u16string>{u"C:\\docs\\talk_orig.txt"}));
  EXPECT_EQ(alone.written[u"C:\\docs\\talk_orig.txt"], u"Hi\r\n");
}

TEST(ViewedSessionExport, NoEmptyDocumentIsWrittenOrReportedWhateverTheLanguages) {
  // Lines whose texts are empty give nothing in any language: no dialog, no file.
  const std::vector<TranscriptLine> blank = {line(0, 0, false, u"", "ru", u"", "en"),
                                             line(1, 0, true, u"", "en", u"", "ru")};
  FakeSave save;
  EXPECT_TRUE(viewed_session_files(blank, "ru", "en", save).empty());
  EXPECT_EQ(save.dialogs, 0);
  EXPECT_EQ(save.statuses, (std::vector<std::u16string>{u"Nothing to save in these languages."}));
}

}  // namespace
}  // namespace colloquor
