#include "app/layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace colloquor {
namespace {

const Placement& at(const WindowLayout& layout, Ctl c) { return layout[slot(c)]; }

// The client width of the smallest window as Windows 10 frames it: four pixels of sizing border
// and four of padding on each side, each scaled (1094 at 96 dpi, 1368 at 120, 1641 at 144).
int minimum_client_width(int dpi) {
  return minimum_track_size(dpi).width - 2 * (scale(4, dpi) + scale(4, dpi));
}

WindowLayout laid_out(int W, int H, int dpi) {
  return layout_window(W, H, dpi, minimum_client_width(dpi));
}

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
  const WindowLayout l = laid_out(1144, 1041, 96);
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
  const WindowLayout l = laid_out(1144, 1041, 96);
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
  // The minimum window's client area: every row stays put, though the echo filter's check box
  // ends at 1140, beyond the right edge.
  const int W = minimum_client_width(96), H = 820 - 39;
  const WindowLayout base = laid_out(W, H, 96);
  const WindowLayout wider = laid_out(W + 123, H, 96);
  const WindowLayout taller = laid_out(W, H + 77, 96);

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
  const WindowLayout l = laid_out(1144, 200, 96);
  EXPECT_EQ(at(l, Ctl::RecognizedPanel).height, 35);
  EXPECT_EQ(at(l, Ctl::RecognizedPanel).y, 394);
  EXPECT_EQ(at(l, Ctl::TranslationPanel).y, 394 + 35 + 10 + 20);
  EXPECT_EQ(at(l, Ctl::TranslationPanel).height, 30);
  EXPECT_EQ(at(l, Ctl::SessionsList).height, 200 - 78 - 10);
  EXPECT_EQ(at(laid_out(1144, 100, 96), Ctl::SessionsList).height, 60);
  // Just above the floor the formula takes over again.
  const WindowLayout exact = laid_out(1144, 374 + 10 + 120, 96);
  EXPECT_EQ(at(exact, Ctl::RecognizedPanel).height, 35);
  EXPECT_EQ(at(exact, Ctl::TranslationPanel).height, 35);
}

TEST(Layout, TooNarrowKeepsTheLevelBarsAt40AndThenWrapsThemRatherThanPastTheEdge) {
  const WindowLayout l = laid_out(990, 1041, 96);
  EXPECT_EQ(at(l, Ctl::MicrophoneLevel).width, 40);
  EXPECT_EQ(at(l, Ctl::SystemAudioLevel).width, 40);
  EXPECT_EQ(at(l, Ctl::MicrophoneLevel).x, 950);  // not squeezed below 40
  // One pixel less and 40 would reach past the right edge: the bars go under the buttons.
  const WindowLayout narrower = laid_out(989, 1041, 96);
  for (Ctl bar : {Ctl::MicrophoneLevel, Ctl::SystemAudioLevel}) {
    EXPECT_EQ(at(narrower, bar).x, 260);
    EXPECT_EQ(at(narrower, bar).width, 989 - 10 - 260);
    EXPECT_EQ(at(narrower, bar).y, at(l, bar).y + 28 + 4);
  }
  EXPECT_EQ(at(narrower, Ctl::GainTrackbar).y, at(l, Ctl::GainTrackbar).y + 28 + 4);
}

TEST(Layout, ScalesEveryLengthAt144Dpi) {
  const WindowLayout l = laid_out(1716, 1562, 144);
  EXPECT_EQ(at(l, Ctl::SessionsList).x, 15);
  EXPECT_EQ(at(l, Ctl::SessionsList).width, 375 - 30);
  EXPECT_EQ(at(l, Ctl::MicrophoneList).x, 375 + 15 + 195);
  EXPECT_EQ(at(l, Ctl::Record).y, 15 + 39 + 15 + 39 + 15 + 39 + 3 + 39 + 15);
  EXPECT_EQ(at(l, Ctl::RecognizedPanel).width, 1716 - 375 - 30);
}

// ---- Small screens ------------------------------------------------------------------------------

bool is_list(Ctl c) {
  return c == Ctl::MicrophoneList || c == Ctl::OutputDeviceList || c == Ctl::SpeechLanguageList ||
         c == Ctl::TranslationLanguageList || c == Ctl::TranslationModelList ||
         c == Ctl::SpeakerModelList;
}

bool is_label(Ctl c) {
  return c == Ctl::MicrophoneLabel || c == Ctl::OutputDeviceLabel ||
         c == Ctl::SpeechLanguageLabel || c == Ctl::TranslationLanguageLabel ||
         c == Ctl::TranslationModelLabel || c == Ctl::SpeakerModelLabel || c == Ctl::GainLabel ||
         c == Ctl::GainValue || c == Ctl::StrengthValue || c == Ctl::SensitivityValue;
}

// What a control covers on screen: a closed drop-down list is one row high (its height is that
// of the list it drops), and a label's text ends with its row although its box reaches s(4) lower.
Placement covered(const WindowLayout& l, Ctl c, int dpi) {
  Placement p = at(l, c);
  if (is_list(c)) p.height = scale(26, dpi);
  if (is_label(c)) p.height = scale(26, dpi) - scale(4, dpi);
  return p;
}

bool inside(const Placement& p, int W, int H) {
  return p.x >= 0 && p.y >= 0 && p.width > 0 && p.height > 0 && p.x + p.width <= W &&
         p.y + p.height <= H;
}

bool overlap(const Placement& a, const Placement& b) {
  return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}

// The fixed layout at width W, derived from a window so wide that nothing can wrap: the same
// rows, the right-anchored check box and the stretching controls following W.
WindowLayout stated_layout(int W, int H, int dpi) {
  constexpr int kWide = 5000;
  WindowLayout l = layout_window(kWide, H, dpi, kWide);
  const int grow = W - kWide;
  for (Ctl c : {Ctl::MicrophoneList, Ctl::OutputDeviceList, Ctl::TranslationModelList,
                Ctl::SpeakerModelList, Ctl::StatusLine, Ctl::DownloadProgress, Ctl::RecognizedLabel,
                Ctl::RecognizedPanel, Ctl::TranslationLabel, Ctl::TranslationPanel}) {
    l[slot(c)].width += grow;
  }
  l[slot(Ctl::UseMicrophone)].x += grow;
  for (Ctl bar : {Ctl::MicrophoneLevel, Ctl::SystemAudioLevel}) {
    l[slot(bar)].width = std::max(scale(40, dpi), W - scale(10, dpi) - at(l, bar).x);
  }
  return l;
}

bool every_control_inside(const WindowLayout& l, int W, int H, int dpi) {
  for (int i = 0; i < kControlCount; ++i) {
    if (!inside(covered(l, static_cast<Ctl>(i), dpi), W, H)) return false;
  }
  return true;
}

struct ClientArea {
  const char* screen;
  int width;
  int height;
  int dpi;
};

// Client areas of the window maximised (the caption above it) and restored to the whole work
// area (a frame around it) on the small screens, and a sweep of widths at each dpi down to s(800).
std::vector<ClientArea> client_areas() {
  std::vector<ClientArea> areas = {
      {"1366x768 maximised", 1366, 768 - 23, 96},    {"1366x768 restored", 1350, 768 - 31, 96},
      {"1366x768 maximised", 1366, 768 - 29, 120},   {"1366x768 restored", 1356, 768 - 37, 120},
      {"1280x720 maximised", 1280, 720 - 23, 96},    {"1280x720 restored", 1264, 720 - 31, 96},
      {"1920x1080 maximised", 1920, 1040 - 29, 120}, {"1920x1080 maximised", 1920, 1080 - 35, 144},
      {"1920x1080 restored", 1904, 1040 - 43, 144},  {"1600x1200 opened", 1144, 1041, 96},
  };
  for (int dpi : {96, 120, 144}) {
    for (int W = scale(800, dpi); W <= scale(1300, dpi); W += 7) {
      areas.push_back({"sweep", W, scale(1000, dpi), dpi});
    }
  }
  return areas;
}

void expect_same_layout(const WindowLayout& l, const WindowLayout& stated) {
  for (int i = 0; i < kControlCount; ++i) {
    EXPECT_EQ(l[i].x, stated[i].x) << i;
    EXPECT_EQ(l[i].y, stated[i].y) << i;
    EXPECT_EQ(l[i].width, stated[i].width) << i;
    EXPECT_EQ(l[i].height, stated[i].height) << i;
  }
}

TEST(SmallScreens, BelowTheMinimumWindowEveryControlInsideWithoutOverlapsFromItTheStatedLayout) {
  int kept = 0, gave_way = 0;
  for (const ClientArea& area : client_areas()) {
    SCOPED_TRACE(std::string(area.screen) + " " + std::to_string(area.width) + "x" +
                 std::to_string(area.height) + " at " + std::to_string(area.dpi) + " dpi");
    const WindowLayout l = laid_out(area.width, area.height, area.dpi);
    if (area.width >= minimum_client_width(area.dpi)) {
      ++kept;
      expect_same_layout(l, stated_layout(area.width, area.height, area.dpi));
      continue;
    }
    ++gave_way;
    for (int i = 0; i < kControlCount; ++i) {
      const Ctl c = static_cast<Ctl>(i);
      const Placement p = covered(l, c, area.dpi);
      EXPECT_TRUE(inside(p, area.width, area.height))
          << "control " << i << " at " << p.x << "," << p.y << " " << p.width << "x" << p.height;
      for (int j = 0; j < i; ++j) {
        EXPECT_FALSE(overlap(p, covered(l, static_cast<Ctl>(j), area.dpi)))
            << "controls " << j << " and " << i;
      }
    }
  }
  // Both kinds of width are in the table.
  EXPECT_GT(kept, 20);
  EXPECT_GT(gave_way, 20);
}

// The rows hold at the minimum window's client width, whatever frame gives it, and make room one
// pixel below it: there the echo filter's check box, the first to reach past the edge at every
// dpi, goes under the row's first check box and the rows below follow.
TEST(SmallScreens, TheMinimumWindowsClientWidthIsWhereTheRowsStartToWrap) {
  struct Case {
    int dpi;
    int minimum_client_width;
  };
  const Case cases[] = {
      {96, 1094},   // Windows 10's frame
      {96, 1102},   // Wine's
      {120, 1368},  // wider than a 1366-pixel screen
      {144, 1641},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.dpi) + " dpi from " + std::to_string(c.minimum_client_width));
    const int H = scale(1000, c.dpi);
    const int W = c.minimum_client_width;
    const WindowLayout kept = layout_window(W, H, c.dpi, c.minimum_client_width);
    expect_same_layout(kept, stated_layout(W, H, c.dpi));
    EXPECT_GT(at(kept, Ctl::Echo).x + at(kept, Ctl::Echo).width, W);

    const WindowLayout narrower = layout_window(W - 1, H, c.dpi, c.minimum_client_width);
    const int step = scale(26, c.dpi) + scale(2, c.dpi);
    EXPECT_EQ(at(narrower, Ctl::Echo).x, at(kept, Ctl::SystemAudio).x);
    EXPECT_EQ(at(narrower, Ctl::Echo).y, at(kept, Ctl::Echo).y + step);
    for (Ctl below :
         {Ctl::OneInterlocutor, Ctl::SpeakerModelList, Ctl::StatusLine, Ctl::RecognizedLabel}) {
      EXPECT_EQ(at(narrower, below).y, at(kept, below).y + step) << slot(below);
    }
    for (Ctl above : {Ctl::Record, Ctl::MicrophoneLevel, Ctl::Boost, Ctl::Reverse}) {
      EXPECT_EQ(at(narrower, above).x, at(kept, above).x) << slot(above);
      EXPECT_EQ(at(narrower, above).y, at(kept, above).y) << slot(above);
    }
  }
}

TEST(SmallScreens, WhereTheStatedLayoutFitsOrNot) {
  auto fits = [](int W, int dpi) {
    return every_control_inside(stated_layout(W, scale(1000, dpi), dpi), W, scale(1000, dpi), dpi);
  };
  // The echo filter's check box ends at x0 + 880: 1140 at 96 dpi, 1426 at 120, 1710 at 144.
  EXPECT_TRUE(fits(1140, 96));
  EXPECT_FALSE(fits(1139, 96));
  EXPECT_TRUE(fits(1366, 96));
  EXPECT_TRUE(fits(1280, 96));
  EXPECT_FALSE(fits(1366, 120));
  EXPECT_TRUE(fits(1426, 120));
  EXPECT_TRUE(fits(1920, 144));
}

// 1366 pixels maximised is narrower than the minimum window at 120 dpi.
TEST(SmallScreens, At1366And120DpiTheEchoFilterWrapsUnderTheOtherSideAndTheRowsBelowMoveDown) {
  const WindowLayout wide = laid_out(1920, 1011, 120);
  const WindowLayout l = laid_out(1366, 739, 120);
  const int x0 = 313 + 13;
  const int step = 33 + 3;  // one check-box row and the gap between rows
  EXPECT_EQ(at(l, Ctl::Echo).x, x0);
  EXPECT_EQ(at(l, Ctl::Echo).y, at(wide, Ctl::Echo).y + step);
  EXPECT_EQ(at(l, Ctl::Echo).width, 300);
  EXPECT_EQ(at(l, Ctl::Reverse).x, at(wide, Ctl::Reverse).x);
  EXPECT_EQ(at(l, Ctl::Reverse).y, at(wide, Ctl::Reverse).y);
  for (Ctl below :
       {Ctl::OneInterlocutor, Ctl::SensitivityValue, Ctl::SpeakerModelList, Ctl::StatusLine,
        Ctl::Spinner, Ctl::DownloadProgress, Ctl::RecognizedLabel, Ctl::RecognizedPanel}) {
    EXPECT_EQ(at(l, below).y, at(wide, below).y + step) << slot(below);
  }
  // The rows above keep their places; Boost still fits on its row (it ends at 1328).
  for (Ctl above : {Ctl::MicrophoneList, Ctl::SpeechLanguageList, Ctl::TranslationLanguageList,
                    Ctl::Record, Ctl::Save, Ctl::Agc, Ctl::Boost, Ctl::SystemAudio}) {
    EXPECT_EQ(at(l, above).x, at(wide, above).x) << slot(above);
    EXPECT_EQ(at(l, above).y, at(wide, above).y) << slot(above);
  }
  EXPECT_EQ(at(l, Ctl::Boost).x + at(l, Ctl::Boost).width, 1328);
}

TEST(SmallScreens, NarrowerStillEveryRowWrapsBetweenItsGroupsInOrder) {
  const int W = scale(800, 144);  // 1200 at 144 dpi: 810 pixels for the right side
  const WindowLayout l = laid_out(W, scale(1000, 144), 144);
  const int x0 = 375 + 15;
  // Languages: the swap button leads the translation language onto the next line.
  EXPECT_EQ(at(l, Ctl::Swap).x, x0);
  EXPECT_GT(at(l, Ctl::Swap).y, at(l, Ctl::SpeechLanguageList).y);
  EXPECT_EQ(at(l, Ctl::TranslationLanguageList).y, at(l, Ctl::Swap).y);
  EXPECT_GT(at(l, Ctl::TranslationModelList).y, at(l, Ctl::TranslationLanguageList).y);
  // Buttons keep their order and the level bars take a whole line when they wrap.
  const Ctl buttons[] = {Ctl::Record, Ctl::Clear, Ctl::CopyText, Ctl::CopyTranslation, Ctl::Save};
  for (std::size_t i = 1; i < std::size(buttons); ++i) {
    const Placement& a = at(l, buttons[i - 1]);
    const Placement& b = at(l, buttons[i]);
    EXPECT_TRUE(b.y > a.y || (b.y == a.y && b.x > a.x)) << i;
  }
  // Trackbars stay beside their labels and values.
  EXPECT_EQ(at(l, Ctl::GainTrackbar).y, at(l, Ctl::GainLabel).y - scale(4, 144));
  EXPECT_EQ(at(l, Ctl::GainValue).y, at(l, Ctl::GainLabel).y);
  EXPECT_EQ(at(l, Ctl::Agc).x, x0);
  EXPECT_EQ(at(l, Ctl::Boost).x, x0);
  EXPECT_EQ(at(l, Ctl::SensitivityValue).y, at(l, Ctl::SensitivityTrackbar).y + scale(4, 144));
}

}  // namespace
}  // namespace colloquor
