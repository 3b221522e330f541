#include "app/layout.h"

#include <gtest/gtest.h>

#include <set>

namespace colloquor {
namespace {

const Placement& at(const WindowLayout& layout, Ctl c) { return layout[slot(c)]; }

TEST(Scaling, RoundsLikeMulDiv) {
  EXPECT_EQ(scale(10, 96), 10);
  EXPECT_EQ(scale(10, 120), 13);  // 12.5 rounds up
  EXPECT_EQ(scale(26, 144), 39);
  EXPECT_EQ(scale(3, 120), 4);  // 3.75
  EXPECT_EQ(mul_div(7, 1, 2), 4);
  EXPECT_EQ(mul_div(-7, 1, 2), -4);
  EXPECT_EQ(mul_div(5, 5, 0), -1);
}

TEST(Scaling, FontHeightsAreNegativeEmHeights) {
  EXPECT_EQ(font_height(11, 96), -15);
  EXPECT_EQ(font_height(14, 96), -19);
  EXPECT_EQ(font_height(10, 96), -13);
  EXPECT_EQ(font_height(11, 144), -22);
}

TEST(WindowSize, InitialAndMinimum) {
  EXPECT_EQ(initial_window_size(96).width, 1160);
  EXPECT_EQ(initial_window_size(96).height, 1080);
  EXPECT_EQ(initial_window_size(144).width, 1740);
  EXPECT_EQ(initial_window_size(144).height, 1620);
  EXPECT_EQ(minimum_track_size(96).width, 1110);
  EXPECT_EQ(minimum_track_size(96).height, 820);
  // Each length is scaled on its own, then summed.
  EXPECT_EQ(minimum_track_size(120).width, 1075 + 313);
  EXPECT_EQ(minimum_track_size(120).height, 1025);
}

TEST(WindowSize, StatedSizesAreKeptWhereTheyFitInTheWorkArea) {
  const Size full_hd{1920, 1040};  // a 1080-pixel screen with its task bar
  EXPECT_EQ(fit_within(initial_window_size(144), full_hd).width, 1740);
  EXPECT_EQ(fit_within(initial_window_size(144), full_hd).height, 1040);
  EXPECT_EQ(fit_within(minimum_track_size(120), Size{1366, 728}).width, 1366);
  EXPECT_EQ(fit_within(minimum_track_size(96), full_hd).height, 820);
  EXPECT_EQ(fit_within(Size{800, 600}, Size{0, 0}).width, 800);  // no area known
  EXPECT_EQ(fit_start(300, 1740, 0, 1920), 180);                 // pulled back in on the right
  EXPECT_EQ(fit_start(-20, 500, 0, 1920), 0);
  EXPECT_EQ(fit_start(26, 1040, 0, 1040), 0);
  EXPECT_EQ(fit_start(100, 1200, 40, 1000), 40);  // longer than the area: its start
  EXPECT_EQ(fit_start(100, 500, 40, 1000), 100);  // inside: left alone
}

TEST(Layout, ReferenceClientAreaGivesTheStatedFigures) {
  const WindowLayout l = layout_window(1144, 1041, 96);
  EXPECT_EQ(at(l, Ctl::MicrophoneList).width, 574);
  for (Ctl bar : {Ctl::MicrophoneLevel, Ctl::SystemAudioLevel}) {
    EXPECT_EQ(at(l, bar).x, 950);
    EXPECT_EQ(at(l, bar).width, 184);
    EXPECT_EQ(at(l, bar).height, 10);
  }
  EXPECT_EQ(at(l, Ctl::MicrophoneLevel).y, 149);
  EXPECT_EQ(at(l, Ctl::SystemAudioLevel).y, 162);
  for (Ctl panel : {Ctl::RecognizedPanel, Ctl::TranslationPanel}) {
    EXPECT_EQ(at(l, panel).x, 260);
    EXPECT_EQ(at(l, panel).width, 874);
  }
  EXPECT_EQ(at(l, Ctl::RecognizedPanel).y, 394);
  EXPECT_EQ(at(l, Ctl::RecognizedPanel).height, 303);
  EXPECT_EQ(at(l, Ctl::TranslationLabel).y, 707);
  EXPECT_EQ(at(l, Ctl::TranslationPanel).y, 727);
  EXPECT_EQ(at(l, Ctl::TranslationPanel).height, 304);
  // The panels end X above the bottom edge.
  EXPECT_EQ(at(l, Ctl::TranslationPanel).y + at(l, Ctl::TranslationPanel).height, 1041 - 10);
}

TEST(Layout, RowsOfTheRightSide) {
  const WindowLayout l = layout_window(1144, 1041, 96);
  EXPECT_EQ(at(l, Ctl::MicrophoneList).y, 10);
  EXPECT_EQ(at(l, Ctl::MicrophoneLabel).y, 14);
  EXPECT_EQ(at(l, Ctl::OutputDeviceList).y, 46);
  EXPECT_EQ(at(l, Ctl::SpeechLanguageList).y, 82);
  EXPECT_EQ(at(l, Ctl::TranslationModelList).y, 110);
  EXPECT_EQ(at(l, Ctl::Record).y, 146);
  EXPECT_EQ(at(l, Ctl::Record).height, 28);
  EXPECT_EQ(at(l, Ctl::GainTrackbar).y, 184);
  EXPECT_EQ(at(l, Ctl::StrengthTrackbar).y, 212);
  EXPECT_EQ(at(l, Ctl::SystemAudio).y, 248);
  EXPECT_EQ(at(l, Ctl::SensitivityTrackbar).y, 276);
  EXPECT_EQ(at(l, Ctl::SpeakerModelList).y, 304);
  EXPECT_EQ(at(l, Ctl::StatusLine).y, 340);
  EXPECT_EQ(at(l, Ctl::Spinner).y, 339);
  EXPECT_EQ(at(l, Ctl::DownloadProgress).y, 362);
  EXPECT_EQ(at(l, Ctl::RecognizedLabel).y, 374);
  // Horizontal chains.
  EXPECT_EQ(at(l, Ctl::Swap).x, 546);
  EXPECT_EQ(at(l, Ctl::TranslationLanguageLabel).x, 596);
  EXPECT_EQ(at(l, Ctl::TranslationLanguageList).x, 696);
  EXPECT_EQ(at(l, Ctl::Clear).x, 410);
  EXPECT_EQ(at(l, Ctl::CopyText).x, 510);
  EXPECT_EQ(at(l, Ctl::CopyTranslation).x, 670);
  EXPECT_EQ(at(l, Ctl::Save).x, 840);
  EXPECT_EQ(at(l, Ctl::Save).width, 100);
  EXPECT_EQ(at(l, Ctl::GainValue).x, 706);
  EXPECT_EQ(at(l, Ctl::Agc).x, 800);
  EXPECT_EQ(at(l, Ctl::Boost).x, 800);
  EXPECT_EQ(at(l, Ctl::UseMicrophone).x, 1144 - 10 - 160);
  EXPECT_EQ(at(l, Ctl::SessionsList).height, 1041 - 78 - 10);
}

// Only the named controls may change when the client area grows; everything else stays put.
TEST(Layout, OnlyTheStretchingControlsFollowTheClientSize) {
  const int W = 1110 - 16, H = 820 - 39;  // about the minimum window's client area
  const WindowLayout base = layout_window(W, H, 96);
  const WindowLayout wider = layout_window(W + 123, H, 96);
  const WindowLayout taller = layout_window(W, H + 77, 96);

  const std::set<Ctl> follow_width = {
      Ctl::MicrophoneList,   Ctl::OutputDeviceList, Ctl::TranslationModelList,
      Ctl::SpeakerModelList, Ctl::MicrophoneLevel,  Ctl::SystemAudioLevel,
      Ctl::StatusLine,       Ctl::DownloadProgress, Ctl::RecognizedPanel,
      Ctl::TranslationPanel, Ctl::RecognizedLabel,  Ctl::TranslationLabel};
  const std::set<Ctl> follow_height = {Ctl::SessionsList, Ctl::RecognizedPanel,
                                       Ctl::TranslationPanel};
  for (int i = 0; i < kControlCount; ++i) {
    const Ctl c = static_cast<Ctl>(i);
    SCOPED_TRACE(i);
    EXPECT_EQ(wider[i].y, base[i].y);
    EXPECT_EQ(wider[i].height, base[i].height);
    if (c == Ctl::UseMicrophone) {
      EXPECT_EQ(wider[i].x, base[i].x + 123);  // anchored to the right edge
    } else {
      EXPECT_EQ(wider[i].x, base[i].x);
    }
    if (follow_width.count(c)) {
      EXPECT_EQ(wider[i].width, base[i].width + 123);
    } else {
      EXPECT_EQ(wider[i].width, base[i].width);
    }
    EXPECT_EQ(taller[i].x, base[i].x);
    EXPECT_EQ(taller[i].width, base[i].width);
    if (follow_height.count(c)) {
      EXPECT_GT(taller[i].height, base[i].height);
    } else {
      EXPECT_EQ(taller[i].height, base[i].height);
    }
    if (c == Ctl::TranslationLabel || c == Ctl::TranslationPanel) {
      EXPECT_GT(taller[i].y, base[i].y);  // moves down as the panel above grows
    } else {
      EXPECT_EQ(taller[i].y, base[i].y);
    }
  }
  // The panels share the height below r12: the lower one takes what the halving leaves.
  EXPECT_EQ(base[slot(Ctl::RecognizedPanel)].height, 173);
  EXPECT_EQ(base[slot(Ctl::TranslationPanel)].height, 174);
  EXPECT_EQ(taller[slot(Ctl::RecognizedPanel)].height, 212);
  EXPECT_EQ(taller[slot(Ctl::TranslationPanel)].height, 212);
}

TEST(Layout, TooLowKeepsThePanelFloorsAndRunsPastTheBottom) {
  const WindowLayout l = layout_window(1144, 200, 96);
  EXPECT_EQ(at(l, Ctl::RecognizedPanel).height, 35);
  EXPECT_EQ(at(l, Ctl::RecognizedPanel).y, 394);
  EXPECT_EQ(at(l, Ctl::TranslationPanel).y, 394 + 35 + 10 + 20);
  EXPECT_EQ(at(l, Ctl::TranslationPanel).height, 30);
  EXPECT_EQ(at(l, Ctl::SessionsList).height, 200 - 78 - 10);
  EXPECT_EQ(at(layout_window(1144, 100, 96), Ctl::SessionsList).height, 60);
  // Just above the floor the formula takes over again.
  const WindowLayout exact = layout_window(1144, 374 + 10 + 120, 96);
  EXPECT_EQ(at(exact, Ctl::RecognizedPanel).height, 35);
  EXPECT_EQ(at(exact, Ctl::TranslationPanel).height, 35);
}

TEST(Layout, TooNarrowKeepsTheLevelBarsAt40) {
  const WindowLayout l = layout_window(500, 1041, 96);
  EXPECT_EQ(at(l, Ctl::MicrophoneLevel).width, 40);
  EXPECT_EQ(at(l, Ctl::SystemAudioLevel).width, 40);
  EXPECT_EQ(at(l, Ctl::MicrophoneLevel).x, 950);  // past the right edge, not squeezed
}

TEST(Layout, ScalesEveryLengthAt144Dpi) {
  const WindowLayout l = layout_window(1716, 1562, 144);
  EXPECT_EQ(at(l, Ctl::SessionsList).x, 15);
  EXPECT_EQ(at(l, Ctl::SessionsList).width, 375 - 30);
  EXPECT_EQ(at(l, Ctl::MicrophoneList).x, 375 + 15 + 195);
  EXPECT_EQ(at(l, Ctl::Record).y, 15 + 39 + 15 + 39 + 15 + 39 + 3 + 39 + 15);
  EXPECT_EQ(at(l, Ctl::RecognizedPanel).width, 1716 - 375 - 30);
}

}  // namespace
}  // namespace colloquor
