// The session file format and its reading rule, byte for byte.
#include "transcript/session_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

namespace colloquor {
namespace {

TranscriptLine make_line(std::int32_t channel, std::int32_t speaker, bool labelled,
                         std::u16string text, std::u16string translation, std::string language,
                         std::string translation_language) {
  TranscriptLine line;
  line.channel = channel;
  line.speaker = speaker;
  line.labelled = labelled;
  line.text = std::move(text);
  line.translation = std::move(translation);
  line.language = std::move(language);
  line.translation_language = std::move(translation_language);
  return line;
}

void expect_same(const TranscriptLine& a, const TranscriptLine& b) {
  EXPECT_EQ(a.channel, b.channel);
  EXPECT_EQ(a.speaker, b.speaker);
  EXPECT_EQ(a.labelled, b.labelled);
  EXPECT_EQ(a.text, b.text);
  EXPECT_EQ(a.translation, b.translation);
  EXPECT_EQ(a.language, b.language);
  EXPECT_EQ(a.translation_language, b.translation_language);
}

// ---- Writing --------------------------------------------------------------------------------

TEST(SessionRowLine, HasEightFieldsInTheDocumentedOrder) {
  const TranscriptLine line = make_line(0, 1, false, u"Good morning", u"Guten Morgen", "en", "de");
  EXPECT_EQ(session_row_line(line), "U\t0\t1\t0\ten\tde\tGood morning\tGuten Morgen\n");
}

TEST(SessionRowLine, WritesNegativeSpeakersLabelledFlagAndEmptyFields) {
  const TranscriptLine line = make_line(1, -3, true, u"", u"", "", "");
  EXPECT_EQ(session_row_line(line), "U\t1\t-3\t1\t\t\t\t\n");
}

TEST(SessionRowLine, ReplacesTabsAndLineBreaksInTextsWithSpaces) {
  const TranscriptLine line = make_line(0, 0, false, u"a\tb\nc\r\nd", u"\tx\r", "en", "ru");
  const std::string row = session_row_line(line);
  EXPECT_EQ(row, "U\t0\t0\t0\ten\tru\ta b c  d\t x \n");
  // Exactly one line ending, at the end, and exactly seven separators.
  EXPECT_EQ(row.find('\n'), row.size() - 1);
  EXPECT_EQ(std::count(row.begin(), row.end(), '\t'), 7);
  EXPECT_EQ(row.find('\r'), std::string::npos);
}

TEST(SessionRowLine, KeepsLanguageBytesButNeverLetThemSplitTheRow) {
  const TranscriptLine line = make_line(0, 0, false, u"t", u"u", "x\ty", "z\n");
  EXPECT_EQ(session_row_line(line), "U\t0\t0\t0\tx y\tz \tt\tu\n");
}

TEST(SessionRowLine, WritesTextAsUtf8WithoutByteOrderMark) {
  const TranscriptLine line =
      make_line(1, 2, true, u"Привет, мир", u"Grüße \U0001F600", "ru", "de");
  const std::string row = session_row_line(line);
  EXPECT_EQ(row,
            "U\t1\t2\t1\tru\tde\t"
            "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, \xD0\xBC\xD0\xB8\xD1\x80\t"
            "Gr\xC3\xBC\xC3\x9F"
            "e \xF0\x9F\x98\x80\n");
}

TEST(SessionTextField, TurnsUnpairedSurrogatesIntoReplacementCharacters) {
  const std::u16string text = {u'a', char16_t(0xD800), u'b', char16_t(0xDC00)};
  EXPECT_EQ(session_text_field(text),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
  const std::u16string high_at_end = {u'z', char16_t(0xDBFF)};
  EXPECT_EQ(session_text_field(high_at_end), "z\xEF\xBF\xBD");
}

TEST(SessionHeader, IsTagTabStampLineFeed) {
  EXPECT_EQ(session_header_line(u"2024-05-01_14-03-22"), "#V1\t2024-05-01_14-03-22\n");
}

TEST(SessionFileName, IsTheStampWithTxtAndANumberWhenTaken) {
  EXPECT_EQ(session_file_name(u"2024-05-01_14-03-22"), u"2024-05-01_14-03-22.txt");
  EXPECT_EQ(session_file_name(u"2024-05-01_14-03-22", 1), u"2024-05-01_14-03-22_2.txt");
  EXPECT_EQ(session_file_name(u"2024-05-01_14-03-22", 11), u"2024-05-01_14-03-22_12.txt");
}

// ---- Reading --------------------------------------------------------------------------------

TEST(SessionReading, ReadsBackWhatWasWritten) {
  const std::vector<TranscriptLine> lines = {
      make_line(0, 1, false, u"Hello\tthere", u"Hallo", "en", "de"),
      make_line(1, 3, true, u"Как дела? \U0001F44D", u"", "ru", ""),
      make_line(1, -1, true, u"", u"", "", ""),
  };
  std::string file = session_header_line(u"2026-12-09_10-00-00");
  for (const TranscriptLine& line : lines) file += session_row_line(line);

  const SessionContents contents = read_session_text(file);
  EXPECT_EQ(contents.stamp, u"2026-12-09_10-00-00");
  ASSERT_EQ(contents.lines.size(), 3u);
  TranscriptLine first = lines[0];
  first.text = u"Hello there";  // the tab became a space on the way out
  expect_same(contents.lines[0], first);
  expect_same(contents.lines[1], lines[1]);
  expect_same(contents.lines[2], lines[2]);
}

TEST(SessionReading, HeaderOnlyIsASessionWithoutLines) {
  const SessionContents contents = read_session_text("#V1\t2024-05-01_14-03-22\n");
  EXPECT_EQ(contents.stamp, u"2024-05-01_14-03-22");
  EXPECT_TRUE(contents.lines.empty());
}

TEST(SessionReading, FilesWithoutHeaderOrStampAreStillRead) {
  const std::string row = "U\t0\t0\t0\ten\t\tone\t\n";
  SessionContents contents = read_session_text(row);
  EXPECT_TRUE(contents.stamp.empty());
  ASSERT_EQ(contents.lines.size(), 1u);
  EXPECT_EQ(contents.lines[0].text, u"one");

  contents = read_session_text("#V1\n" + row);
  EXPECT_TRUE(contents.stamp.empty());
  EXPECT_EQ(contents.lines.size(), 1u);

  // The stamp comes from the last header that has one.
  contents = read_session_text("#V1\tfirst\n#V1\n#V1\tsecond\tmore\n#V1\n" + row);
  EXPECT_EQ(contents.stamp, u"second");
  EXPECT_EQ(contents.lines.size(), 1u);
}

TEST(SessionReading, SkipsLinesThatAreNotRows) {
  const std::string file =
      "#V1\tstamp\n"
      "U\t0\t0\t0\ten\tde\tseven fields\n"     // 7 fields
      "u\t0\t0\t0\ten\tde\tlower case\tx\n"    // kind not exactly U
      "U \t0\t0\t0\ten\tde\tspace after\tx\n"  // kind not exactly U
      "\n"
      "garbage without tabs\n"
      "U\t1\t2\t1\ten\tde\tnine\tfields\textra\n"  // read from its first eight
      "U\t0\t0\t0\ten\tde\tlast\tno line feed";    // the final line needs no LF
  const SessionContents contents = read_session_text(file);
  ASSERT_EQ(contents.lines.size(), 2u);
  EXPECT_EQ(contents.lines[0].text, u"nine");
  EXPECT_EQ(contents.lines[0].translation, u"fields");
  EXPECT_EQ(contents.lines[1].text, u"last");
  EXPECT_EQ(contents.lines[1].translation, u"no line feed");
}

TEST(SessionReading, RemovesOneCarriageReturnPerLine) {
  const SessionContents contents =
      read_session_text("#V1\tstamp\r\nU\t0\t0\t0\ten\tde\ttext\ttranslation\r\r\n");
  EXPECT_EQ(contents.stamp, u"stamp");
  ASSERT_EQ(contents.lines.size(), 1u);
  EXPECT_EQ(contents.lines[0].translation, u"translation\r");
}

TEST(SessionReading, NumbersFollowTheDecimalPrefixRule) {
  const SessionContents contents = read_session_text(
      "U\t3\t-2x\t1\t\t\ta\tb\n"  // channel keeps its lowest bit
      "U\tabc\t\t01\t\t\tc\td\n"  // no digits: 0; labelled only for exactly "1"
      "U\t 1\t+4\ttrue\t\t\te\tf\n"
      "U\t99999999999\t-99999999999\t1\t\t\tg\th\n");  // saturates, never overflows
  ASSERT_EQ(contents.lines.size(), 4u);
  EXPECT_EQ(contents.lines[0].channel, 1);
  EXPECT_EQ(contents.lines[0].speaker, -2);
  EXPECT_TRUE(contents.lines[0].labelled);
  EXPECT_EQ(contents.lines[1].channel, 0);
  EXPECT_EQ(contents.lines[1].speaker, 0);
  EXPECT_FALSE(contents.lines[1].labelled);
  EXPECT_EQ(contents.lines[2].channel, 1);
  EXPECT_EQ(contents.lines[2].speaker, 4);
  EXPECT_FALSE(contents.lines[2].labelled);
  EXPECT_EQ(contents.lines[3].channel, 1);
  EXPECT_EQ(contents.lines[3].speaker, INT32_MIN);
}

TEST(SessionReading, LanguageFieldsKeepTheLowByteOfEachUnit) {
  // "é" decodes to U+00E9 and is stored back as the byte E9; "Ж" (U+0416) as 0x16.
  const SessionContents contents = read_session_text("U\t0\t0\t0\t\xC3\xA9n\t\xD0\x96\tx\ty\n");
  ASSERT_EQ(contents.lines.size(), 1u);
  EXPECT_EQ(contents.lines[0].language, std::string("\xE9n"));
  EXPECT_EQ(contents.lines[0].translation_language, std::string("\x16"));
}

TEST(SessionReading, BadUtf8BecomesReplacementCharactersAndTheRestSurvives) {
  const SessionContents contents =
      read_session_text("U\t0\t0\t0\ten\tde\tok\xFF\xC3 fine\t\xE2\x82\n");
  ASSERT_EQ(contents.lines.size(), 1u);
  EXPECT_EQ(contents.lines[0].text, u"ok\uFFFD\uFFFD fine");
  EXPECT_EQ(contents.lines[0].translation, u"\uFFFD");
}

TEST(SessionReading, SurvivesArbitraryBytes) {
  // Every byte value in every position of a short file: nothing crashes, rows stay rows.
  std::string base = "U\t0\t0\t0\ten\tde\ta\tb\n";
  for (std::size_t pos = 0; pos < base.size(); ++pos) {
    for (int byte = 0; byte < 256; ++byte) {
      std::string file = base;
      file[pos] = static_cast<char>(byte);
      const SessionContents contents = read_session_text(file);
      EXPECT_LE(contents.lines.size(), 2u);
    }
  }
  EXPECT_TRUE(read_session_text("").lines.empty());
  EXPECT_TRUE(read_session_text(std::string(1, '\0')).lines.empty());
}

TEST(UnsavedRows, AFullDiskKeepsTheRestAndTheNextAttemptGoesOnWhereItStopped) {
  std::string disk;
  std::size_t room = 10;  // the disk takes 10 more bytes, then nothing
  const auto write = [&](std::string_view bytes) {
    const std::size_t taken = std::min(room, bytes.size());
    disk.append(bytes.substr(0, taken));
    room -= taken;
    return taken;
  };
  UnsavedBytes unsaved;
  unsaved.bytes = "U\t0\t0\t0\ten\t\tfirst\t\n";
  EXPECT_FALSE(write_unsaved(unsaved, write));
  unsaved.bytes += "U\t0\t0\t0\ten\t\tsecond\t\n";
  EXPECT_FALSE(write_unsaved(unsaved, write));
  room = 1000;  // space came back
  EXPECT_TRUE(write_unsaved(unsaved, write));
  EXPECT_TRUE(unsaved.bytes.empty());
  EXPECT_EQ(disk, "U\t0\t0\t0\ten\t\tfirst\t\nU\t0\t0\t0\ten\t\tsecond\t\n");
  EXPECT_EQ(read_session_text(disk).lines.size(), 2u);
}

}  // namespace
}  // namespace colloquor
