// Speaker labels, colours and the plain text of a panel.
#include <gtest/gtest.h>

#include "transcript/panel.h"

namespace colloquor {
namespace {

TEST(SpeakerLabel, NumbersFromTwoOn) {
  EXPECT_EQ(speaker_label(0, 0), u"You");
  EXPECT_EQ(speaker_label(0, 1), u"You");
  EXPECT_EQ(speaker_label(0, 2), u"You 2");
  EXPECT_EQ(speaker_label(1, 0), u"Them");
  EXPECT_EQ(speaker_label(1, 1), u"Them");
  EXPECT_EQ(speaker_label(1, 3), u"Them 3");
  EXPECT_EQ(speaker_label(1, 12), u"Them 12");
  EXPECT_EQ(speaker_label(1, -4), u"Them");
}

TEST(Colours, IndexWrapsEverySixSpeakers) {
  EXPECT_EQ(colour_index(-5), 0);
  EXPECT_EQ(colour_index(0), 0);
  EXPECT_EQ(colour_index(1), 0);
  EXPECT_EQ(colour_index(2), 1);
  EXPECT_EQ(colour_index(6), 5);
  EXPECT_EQ(colour_index(7), 0);  // speakers 1 and 7 share a colour
  EXPECT_EQ(colour_index(2147483647), (2147483647 - 1) % 6);
}

TEST(Colours, LightenedComponents) {
  // 0 -> 96, 255 stays 255, the dark grey 30 -> 115.
  EXPECT_EQ(lighten_colour(0x000000), 0x606060u);
  EXPECT_EQ(lighten_colour(0xFFFFFF), 0xFFFFFFu);
  EXPECT_EQ(lighten_colour(kUnlabelledColour), 0x737373u);
  // Each component separately: red 190, green 40, blue 50 of Them 3.
  const std::uint32_t c = lighten_colour(0x3228BE);
  EXPECT_EQ(c & 0xFF, static_cast<std::uint32_t>(190 * 0.62 + 96.9));
  EXPECT_EQ((c >> 8) & 0xFF, static_cast<std::uint32_t>(40 * 0.62 + 96.9));
  EXPECT_EQ((c >> 16) & 0xFF, static_cast<std::uint32_t>(50 * 0.62 + 96.9));
  EXPECT_EQ(c, 0x7F79D6u);  // 214, 121, 127
}

TEST(Colours, LineColourByChannelSpeakerAndLabel) {
  EXPECT_EQ(line_colour({0, 3, false, u"x"}, false), kUnlabelledColour);
  EXPECT_EQ(line_colour({1, 3, false, u"x"}, true), 0x737373u);
  EXPECT_EQ(line_colour({0, 0, true, u"x"}, false), 0xA65400u);
  EXPECT_EQ(line_colour({0, 1, true, u"x"}, false), 0xA65400u);
  EXPECT_EQ(line_colour({0, 6, true, u"x"}, false), 0x8C6E46u);
  EXPECT_EQ(line_colour({1, 3, true, u"x"}, false), 0x3228BEu);
  EXPECT_EQ(line_colour({1, 7, true, u"x"}, false), 0x328214u);
  EXPECT_EQ(line_colour({1, 3, true, u"x"}, true), lighten_colour(0x3228BE));
}

TEST(LineRuns, LabelledLineIsBoldLabelTextAndParagraphEnd) {
  const std::vector<StyledRun> runs = line_runs({1, 3, true, u"Hello"}, false);
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(runs[0].text, u"Them 3: ");
  EXPECT_TRUE(runs[0].bold);
  EXPECT_EQ(runs[1].text, u"Hello");
  EXPECT_FALSE(runs[1].bold);
  EXPECT_EQ(runs[2].text, u"\r");
  for (const StyledRun& run : runs) EXPECT_EQ(run.colour, 0x3228BEu);
}

TEST(LineRuns, UnlabelledAndEmptyLines) {
  const std::vector<StyledRun> plain = line_runs({0, 2, false, u"Hi"}, true);
  ASSERT_EQ(plain.size(), 2u);
  EXPECT_EQ(plain[0].text, u"Hi");
  EXPECT_EQ(plain[0].colour, 0x737373u);

  const std::vector<StyledRun> label_only = line_runs({0, 0, true, u""}, false);
  ASSERT_EQ(label_only.size(), 2u);  // an empty text still shows its label
  EXPECT_EQ(label_only[0].text, u"You: ");
  EXPECT_EQ(label_only[1].text, u"\r");
}

TEST(PanelText, FinishedLinesThenUnfinishedOnesByChannel) {
  TranscriptPanel panel;
  panel.finals.push_back({0, 0, true, u"Hello"});
  panel.partials[1] = {1, 2, true, u"Hi"};
  panel.has_partial[1] = true;
  EXPECT_EQ(panel_text(panel), u"[You] Hello\r\n[Them 2] Hi\r\n");

  panel.finals.push_back({1, 0, false, u"plain"});
  panel.partials[0] = {0, 0, false, u"typing"};
  panel.has_partial[0] = true;
  EXPECT_EQ(panel_text(panel), u"[You] Hello\r\nplain\r\ntyping\r\n[Them 2] Hi\r\n");

  panel.has_partial = {false, false};  // hidden unfinished texts are not copied
  EXPECT_EQ(panel_text(panel), u"[You] Hello\r\nplain\r\n");
  EXPECT_EQ(panel_text(TranscriptPanel{}), u"");
}

}  // namespace
}  // namespace colloquor
