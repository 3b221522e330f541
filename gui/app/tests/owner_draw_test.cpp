#include "app/owner_draw.h"

#include <gtest/gtest.h>

namespace colloquor {
namespace {

constexpr Rgb kFace{240, 240, 240};
const Box kSpinnerBox{0, 0, 22, 22};

int strongest(const std::array<SpinnerDot, 12>& dots) {
  int best = 0;
  for (int k = 1; k < 12; ++k) {
    if (dots[k].radius > dots[best].radius) best = k;
  }
  return best;
}

TEST(Spinner, PhaseZeroHasItsStrongestDotAtTheTop) {
  const auto dots = spinner_dots(kSpinnerBox, 0, 96, kFace);
  EXPECT_EQ(strongest(dots), 0);
  EXPECT_EQ(dots[0].color, kSpinnerColor);
  EXPECT_EQ(dots[0].x, 11);
  EXPECT_EQ(dots[0].y, 11 - 7);  // radius 22 / 2 - 4
  EXPECT_EQ(dots[0].radius, 3);
}

TEST(Spinner, PhaseThreeHasItsStrongestDotAtTheRight) {
  const auto dots = spinner_dots(kSpinnerBox, 3, 96, kFace);
  EXPECT_EQ(strongest(dots), 3);
  EXPECT_EQ(dots[3].color, kSpinnerColor);
  EXPECT_EQ(dots[3].x, 11 + 7);
  EXPECT_EQ(dots[3].y, 11);
}

TEST(Spinner, FadesCounterClockwiseAndTheNextDotIsFaintest) {
  const int phase = 5;
  const auto dots = spinner_dots(kSpinnerBox, phase, 96, kFace);
  // One twelfth closer to the background per step counter-clockwise from the strongest dot.
  for (int step = 0; step < 11; ++step) {
    const SpinnerDot& nearer = dots[(phase - step + 12) % 12];
    const SpinnerDot& farther = dots[(phase - step - 1 + 12) % 12];
    EXPECT_LT(kFace.r - farther.color.r, kFace.r - nearer.color.r) << step;
    EXPECT_LT(farther.color.b, 240);
    EXPECT_GE(nearer.radius, farther.radius);
  }
  const SpinnerDot& faintest = dots[(phase + 1) % 12];
  EXPECT_EQ(faintest.color.r, static_cast<int>(240 + (1.0 / 12) * (37 - 240)));
  EXPECT_EQ(faintest.radius, 2);  // below 3 becomes 2
}

TEST(Spinner, BigDotsAtHigherDpi) {
  const auto dots = spinner_dots(Box{0, 0, 33, 33}, 0, 144, kFace);
  EXPECT_EQ(dots[0].radius, 5);   // s(3) at 144 dpi is 5 (4.5 rounded)
  EXPECT_EQ(dots[6].y, 16 + 10);  // radius 33 / 2 - s(4) = 16 - 6 = 10, bottom dot
}

TEST(Spinner, OutOfRangePhaseWraps) {
  EXPECT_EQ(strongest(spinner_dots(kSpinnerBox, 14, 96, kFace)), 2);
  EXPECT_EQ(strongest(spinner_dots(kSpinnerBox, -1, 96, kFace)), 11);
}

TEST(RecordButton, ColoursByState) {
  const ButtonColors running = record_button_colors(true, false, false);
  EXPECT_EQ(running.fill, (Rgb{196, 30, 30}));
  EXPECT_EQ(running.outline, (Rgb{130, 15, 15}));
  EXPECT_EQ(running.caption, kWhite);
  EXPECT_EQ(record_button_colors(true, true, false).fill, (Rgb{150, 20, 20}));

  const ButtonColors idle = record_button_colors(false, false, false);
  EXPECT_EQ(idle.fill, (Rgb{238, 238, 238}));
  EXPECT_EQ(idle.outline, (Rgb{140, 140, 140}));
  EXPECT_EQ(idle.caption, (Rgb{30, 30, 30}));
  EXPECT_EQ(record_button_colors(false, true, false).fill, (Rgb{205, 205, 205}));
  EXPECT_EQ(record_button_colors(false, false, true).caption, (Rgb{150, 150, 150}));

  EXPECT_EQ(record_mark_colors(false).fill, (Rgb{222, 28, 28}));
  EXPECT_EQ(record_mark_colors(false).outline, (Rgb{160, 15, 15}));
  EXPECT_EQ(record_mark_colors(true).fill, (Rgb{190, 190, 190}));
  EXPECT_EQ(record_mark_colors(true).outline, (Rgb{170, 170, 170}));
}

TEST(RecordButton, MarkIsHalfTheHeightAndCentred) {
  const Box item{0, 0, 140, 28};
  EXPECT_EQ(record_mark_box(item, 96), (Box{14, 7, 28, 21}));
  EXPECT_EQ(record_caption_box(item, 96), (Box{36, 0, 132, 28}));
  const Box odd{10, 5, 150, 34};  // height 29: d = 14, (29 - 14) / 2 = 7
  EXPECT_EQ(record_mark_box(odd, 96), (Box{24, 12, 38, 26}));
  EXPECT_EQ(record_mark_box(Box{0, 0, 210, 42}, 144), (Box{21, 10, 42, 31}));
}

TEST(NewSessionButton, CallToActionOnlyWithoutSessionAndCapture) {
  const ButtonColors invite = new_session_colors(false, false, false);
  EXPECT_EQ(invite.fill, (Rgb{255, 175, 40}));
  EXPECT_EQ(invite.outline, (Rgb{200, 100, 0}));
  EXPECT_EQ(invite.caption, kWhite);
  EXPECT_EQ(new_session_colors(false, false, true).fill, (Rgb{235, 140, 0}));

  const ButtonColors plain = new_session_colors(false, true, false);
  EXPECT_EQ(plain.fill, (Rgb{238, 238, 238}));
  EXPECT_EQ(plain.caption, (Rgb{30, 30, 30}));
  EXPECT_EQ(new_session_colors(false, true, true).fill, (Rgb{205, 205, 205}));

  for (bool open : {false, true}) {
    const ButtonColors off = new_session_colors(true, open, false);
    EXPECT_EQ(off.fill, (Rgb{228, 228, 228}));
    EXPECT_EQ(off.outline, (Rgb{190, 190, 190}));
    EXPECT_EQ(off.caption, (Rgb{150, 150, 150}));
  }
}

}  // namespace
}  // namespace colloquor
