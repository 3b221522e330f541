// Colours and geometry of the three owner-drawn controls: the Record/Stop button, the busy spinner
// and "+ New session". Portable; the window's WM_DRAWITEM turns these into GDI calls.
#pragma once

#include <array>
#include <cstdint>

namespace colloquor {

struct Rgb {
  std::uint8_t r = 0;
  std::uint8_t g = 0;
  std::uint8_t b = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

struct ButtonColors {
  Rgb fill;
  Rgb outline;
  Rgb caption;
};

struct MarkColors {
  Rgb fill;
  Rgb outline;
};

struct Box {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  friend bool operator==(const Box&, const Box&) = default;
};

inline constexpr Rgb kWhite{255, 255, 255};
inline constexpr Rgb kSpinnerColor{37, 99, 235};

// Record/Stop: red while capture runs, grey otherwise.
ButtonColors record_button_colors(bool running, bool pressed, bool disabled);
MarkColors record_mark_colors(bool disabled);

// The square (running) or circle (not running) left of the caption: d = height / 2 square, s(14)
// from the left edge, centred vertically.
Box record_mark_box(const Box& item, int dpi);

// Where the Record caption goes: from the mark's right edge + s(8) to the item's right edge - s(8).
Box record_caption_box(const Box& item, int dpi);

// "+ New session": disabled, the call to action (nothing open, not recording), or plain.
ButtonColors new_session_colors(bool disabled, bool session_or_capture, bool pressed);

struct SpinnerDot {
  int x = 0;
  int y = 0;
  int radius = 0;
  Rgb color;
};

// The twelve dots of the spinner for a phase 0..11; the dot at k == phase is the strongest.
std::array<SpinnerDot, 12> spinner_dots(const Box& item, int phase, int dpi, Rgb background);

}  // namespace colloquor
