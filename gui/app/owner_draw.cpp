#include "app/owner_draw.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "app/layout.h"

namespace colloquor {

namespace {

constexpr Rgb kCaptionDark{30, 30, 30};
constexpr Rgb kCaptionGrey{150, 150, 150};
constexpr ButtonColors kPlainButton{{238, 238, 238}, {140, 140, 140}, kCaptionDark};
constexpr Rgb kPlainPressedFill{205, 205, 205};

}  // namespace

ButtonColors record_button_colors(bool running, bool pressed, bool disabled) {
  if (running) {
    return ButtonColors{pressed ? Rgb{150, 20, 20} : Rgb{196, 30, 30}, {130, 15, 15}, kWhite};
  }
  ButtonColors colors = kPlainButton;
  if (pressed) colors.fill = kPlainPressedFill;
  if (disabled) colors.caption = kCaptionGrey;
  return colors;
}

MarkColors record_mark_colors(bool disabled) {
  if (disabled) return MarkColors{{190, 190, 190}, {170, 170, 170}};
  return MarkColors{{222, 28, 28}, {160, 15, 15}};
}

Box record_mark_box(const Box& item, int dpi) {
  const int d = (item.bottom - item.top) / 2;
  const int left = item.left + scale(14, dpi);
  const int top = item.top + ((item.bottom - item.top) - d) / 2;
  return Box{left, top, left + d, top + d};
}

Box record_caption_box(const Box& item, int dpi) {
  const Box mark = record_mark_box(item, dpi);
  return Box{mark.right + scale(8, dpi), item.top, item.right - scale(8, dpi), item.bottom};
}

ButtonColors new_session_colors(bool disabled, bool session_or_capture, bool pressed) {
  if (disabled) return ButtonColors{{228, 228, 228}, {190, 190, 190}, kCaptionGrey};
  if (session_or_capture) {
    ButtonColors colors = kPlainButton;
    if (pressed) colors.fill = kPlainPressedFill;
    return colors;
  }
  return ButtonColors{pressed ? Rgb{235, 140, 0} : Rgb{255, 175, 40}, {200, 100, 0}, kWhite};
}

std::array<SpinnerDot, 12> spinner_dots(const Box& item, int phase, int dpi, Rgb background) {
  const int cx = (item.left + item.right) / 2;
  const int cy = (item.top + item.bottom) / 2;
  const int radius = std::min(item.right - item.left, item.bottom - item.top) / 2 - scale(4, dpi);
  const int p = ((phase % 12) + 12) % 12;
  const double dot_base = scale(3, dpi);

  std::array<SpinnerDot, 12> dots{};
  for (int k = 0; k < 12; ++k) {
    const double angle = k * std::numbers::pi / 6 - std::numbers::pi / 2;
    const double t = ((12 - k + p) % 12) / 12.0;
    const double f = 1 - t;
    SpinnerDot& dot = dots[k];
    dot.x = cx + static_cast<int>(std::cos(angle) * radius);
    dot.y = cy + static_cast<int>(std::sin(angle) * radius);
    dot.radius = static_cast<int>(dot_base * (0.55 + 0.45 * f));
    if (dot.radius < 3) dot.radius = 2;
    auto blend = [f](int from, int to) {
      return static_cast<std::uint8_t>(static_cast<int>(from + f * (to - from)));
    };
    dot.color = Rgb{blend(background.r, kSpinnerColor.r), blend(background.g, kSpinnerColor.g),
                    blend(background.b, kSpinnerColor.b)};
  }
  return dots;
}

}  // namespace colloquor
