// Cutting the worker's output into lines and parsing each line into a record.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "worker_link/line_parser.h"

namespace colloquor {
namespace {

std::vector<std::string> cut(LineAssembler& assembler, const std::string& bytes) {
  std::vector<std::string> lines;
  feed_bytes(assembler, bytes, [&](std::string_view line) { lines.emplace_back(line); });
  return lines;
}

// --- cutting the stream -------------------------------------------------------------------------

TEST(LineCutting, LinesSplitAcrossReadsArriveOnceAndWhole) {
  LineAssembler assembler;
  EXPECT_TRUE(cut(assembler, "P\t0\t1\ten\tHel").empty());
  EXPECT_TRUE(cut(assembler, "lo wo").empty());
  EXPECT_EQ(cut(assembler, "rld\nS\tbus"), std::vector<std::string>{"P\t0\t1\ten\tHello world"});
  EXPECT_EQ(assembler.tail, "S\tbus");
  EXPECT_EQ(cut(assembler, "y\n"), std::vector<std::string>{"S\tbusy"});
  EXPECT_TRUE(assembler.tail.empty());
}

TEST(LineCutting, SeveralLinesInOneReadKeepTheirOrder) {
  LineAssembler assembler;
  EXPECT_EQ(cut(assembler, "S\ta\nS\tb\nD\t5\tc\n"),
            (std::vector<std::string>{"S\ta", "S\tb", "D\t5\tc"}));
}

TEST(LineCutting, LinesShorterThanTwoBytesAreDropped) {
  LineAssembler assembler;
  EXPECT_EQ(cut(assembler, "\nZ\nZ\t\n\n\nS\tx\n"), (std::vector<std::string>{"Z\t", "S\tx"}));
}

TEST(LineCutting, AnLfThatArrivesAloneEndsTheLineBeforeIt) {
  LineAssembler assembler;
  EXPECT_TRUE(cut(assembler, "S\tready (CPU)").empty());
  EXPECT_EQ(cut(assembler, "\n"), std::vector<std::string>{"S\tready (CPU)"});
}

TEST(LineCutting, ACarriageReturnStaysPartOfTheLine) {
  LineAssembler assembler;
  EXPECT_EQ(cut(assembler, "S\tone\r two\r\n"), std::vector<std::string>{"S\tone\r two\r"});
  EXPECT_EQ(parse_worker_line("S\tone\r two\r").text, u"one\r two\r");
}

TEST(LineCutting, ByteByByteFeedingGivesTheSameLines) {
  const std::string stream = "K\t0\tnllb13\tNLLB 1.3B\t2700\t1\nP\t1\t2\tru\t\xD0\x9F\xD1\x80\n\nX";
  LineAssembler whole, bytewise;
  const std::vector<std::string> expected = cut(whole, stream);
  std::vector<std::string> got;
  for (char c : stream) {
    for (std::string& line : cut(bytewise, std::string(1, c))) got.push_back(line);
  }
  EXPECT_EQ(got, expected);
  EXPECT_EQ(got.size(), 2u);
  EXPECT_EQ(bytewise.tail, "X");  // bytes after the last LF stay unfinished, never posted
}

TEST(LineCutting, TheTailHoldsOnlyTheUnfinishedLine) {
  LineAssembler assembler;
  std::string burst;
  for (int i = 0; i < 1000; ++i) burst += "S\tstatus " + std::to_string(i) + "\n";
  burst += "S\tpart";
  EXPECT_EQ(cut(assembler, burst).size(), 1000u);
  EXPECT_EQ(assembler.tail, "S\tpart");
}

// --- parsing one line ---------------------------------------------------------------------------

TEST(LineParsing, TheTextAfterTheThirdTabMayHoldMoreTabs) {
  const WorkerLine line = parse_worker_line("F\t0\t0\tde\ta\tb");
  EXPECT_EQ(line.language, "de");
  EXPECT_EQ(line.text, u"a\tb");
}

TEST(LineParsing, FewerThanThreeTabsLeaveTheFieldsEmptyAndTheRestWhole) {
  const WorkerLine two_tabs = parse_worker_line("P\t1\t2\tHello");
  EXPECT_EQ(two_tabs.channel, 0);
  EXPECT_EQ(two_tabs.number, 0);
  EXPECT_EQ(two_tabs.language, "");
  EXPECT_EQ(two_tabs.text, u"1\t2\tHello");

  const WorkerLine no_tab = parse_worker_line("U\tjust text");
  EXPECT_EQ(no_tab.channel, 0);
  EXPECT_EQ(no_tab.text, u"just text");
}

TEST(LineParsing, AProgressLineWithoutATabKeepsItsRestAsText) {
  const WorkerLine line = parse_worker_line("D\t57");
  EXPECT_EQ(line.number, 0);
  EXPECT_EQ(line.text, u"57");
}

TEST(LineParsing, AnUnknownKindKeepsTheWholeRestAsText) {
  const WorkerLine line = parse_worker_line("q\t1\t2\ten\tx");
  EXPECT_EQ(line.kind, 'q');
  EXPECT_EQ(line.channel, 0);
  EXPECT_EQ(line.number, 0);
  EXPECT_TRUE(line.language.empty());
  EXPECT_EQ(line.text, u"1\t2\ten\tx");
}

TEST(LineParsing, TheSecondByteIsSkippedWhateverItIs) {
  const WorkerLine line = parse_worker_line("Sxready");
  EXPECT_EQ(line.kind, 'S');
  EXPECT_EQ(line.text, u"ready");
  EXPECT_EQ(parse_worker_line("P?0\t1\ten\thi").text, u"hi");
}

TEST(LineParsing, ALineTooShortGivesNoKind) {
  EXPECT_EQ(parse_worker_line("S").kind, 0);
  EXPECT_EQ(parse_worker_line("").kind, 0);
}

TEST(LineParsing, NumbersUseTheirDecimalPrefix) {
  const WorkerLine line = parse_worker_line("P\t 1x\t+7 voices\tru\tx");
  EXPECT_EQ(line.channel, 1);
  EXPECT_EQ(line.number, 7);
  const WorkerLine bad = parse_worker_line("P\tone\t\tru\tx");
  EXPECT_EQ(bad.channel, 0);
  EXPECT_EQ(bad.number, 0);
}

// --- numbers and text ---------------------------------------------------------------------------

TEST(DecimalPrefix, FollowsTheReadingRule) {
  EXPECT_EQ(decimal_prefix(""), 0);
  EXPECT_EQ(decimal_prefix("abc"), 0);
  EXPECT_EQ(decimal_prefix("-"), 0);
  EXPECT_EQ(decimal_prefix("  \t-12abc"), -12);
  EXPECT_EQ(decimal_prefix("+5"), 5);
  EXPECT_EQ(decimal_prefix("3 4"), 3);
  EXPECT_EQ(decimal_prefix("- 3"), 0);
  EXPECT_EQ(decimal_prefix(u" 2700 MB"), 2700);
  EXPECT_EQ(decimal_prefix(u"\u0663"), 0);  // only ASCII digits count
}

TEST(DecimalPrefix, HugeNumbersSaturateInsteadOfWrapping) {
  EXPECT_EQ(decimal_prefix("2147483647"), 2147483647);
  EXPECT_EQ(decimal_prefix("2147483648"), 2147483647);
  EXPECT_EQ(decimal_prefix("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(decimal_prefix("-99999999999999999999999999"), -2147483647 - 1);
  EXPECT_EQ(decimal_prefix(std::string(5000, '9')), 2147483647);
}

TEST(Utf8, WellFormedTextOfEveryLength) {
  EXPECT_EQ(utf8_to_utf16(""), u"");
  EXPECT_EQ(utf8_to_utf16("Hello"), u"Hello");
  EXPECT_EQ(utf8_to_utf16("\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"), u"Привет");
  EXPECT_EQ(utf8_to_utf16("Gr\xC3\xBC\xC3\x9F"
                          "e"),
            u"Grüße");
  EXPECT_EQ(utf8_to_utf16("\xE2\x82\xAC"), u"€");
  EXPECT_EQ(utf8_to_utf16("\xF0\x9F\x98\x80"), u"\U0001F600");  // a surrogate pair
  EXPECT_EQ(utf8_to_utf16("\xF4\x8F\xBF\xBF"), u"\U0010FFFF");
  EXPECT_EQ(utf8_to_utf16(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
}

TEST(Utf8, EachBadSequenceBecomesOneReplacementAndTheRestIsIntact) {
  EXPECT_EQ(utf8_to_utf16("a\xFF"
                          "b"),
            u"a\uFFFDb");
  EXPECT_EQ(utf8_to_utf16("a\x80\x80"
                          "b"),
            u"a\uFFFD\uFFFDb");  // stray continuations
  EXPECT_EQ(utf8_to_utf16("\xE2\x82"
                          "x"),
            u"\uFFFDx");                              // truncated in the middle
  EXPECT_EQ(utf8_to_utf16("x\xE2\x82"), u"x\uFFFD");  // truncated at the end
  EXPECT_EQ(utf8_to_utf16("\xF0\x9F\x98"), u"\uFFFD");
  EXPECT_EQ(utf8_to_utf16("\xC0\xAF"), u"\uFFFD\uFFFD");                      // overlong
  EXPECT_EQ(utf8_to_utf16("\xE0\x80\xAF"), u"\uFFFD\uFFFD\uFFFD");            // overlong
  EXPECT_EQ(utf8_to_utf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");            // a surrogate
  EXPECT_EQ(utf8_to_utf16("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // above U+10FFFF
  EXPECT_EQ(utf8_to_utf16("\xF5\xF8\xFE"), u"\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(utf8_to_utf16("\xD0\x9F\xD0"
                          "\xD1\x80"),
            u"П\uFFFDр");
}

TEST(Utf8, BadBytesInsideARecognitionLine) {
  const WorkerLine line = parse_worker_line("F\t0\t1\tru\t\xD0\x9F\xFF\xD1\x80");
  EXPECT_EQ(line.language, "ru");
  EXPECT_EQ(line.text, u"П\uFFFDр");
}

TEST(Utf8, ArbitraryBytesNeverFailAndNeverGrowBeyondOneUnitPerByte) {
  std::string bytes;
  unsigned state = 12345;
  for (int round = 0; round < 2000; ++round) {
    bytes.clear();
    for (int i = 0; i < round % 40; ++i) {
      state = state * 1103515245u + 12345u;
      bytes.push_back(static_cast<char>(state >> 16));
    }
    const std::u16string text = utf8_to_utf16(bytes);
    EXPECT_LE(text.size(), bytes.size());
    for (std::size_t i = 0; i < text.size(); ++i) {  // no unpaired surrogate is ever produced
      if (text[i] >= 0xD800 && text[i] <= 0xDBFF) {
        ASSERT_LT(i + 1, text.size());
        EXPECT_TRUE(text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF);
        ++i;
      } else {
        EXPECT_FALSE(text[i] >= 0xDC00 && text[i] <= 0xDFFF);
      }
    }
  }
}

}  // namespace
}  // namespace colloquor
