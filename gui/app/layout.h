// Placement of every control of the main window for a client size and a screen dpi, and the
// window's size limits. Portable arithmetic; the window applies it with MoveWindow.
#pragma once

#include <array>

#include "app/control_ids.h"

namespace colloquor {

// Win32 MulDiv for non-negative operands: a * b / c rounded half up.
int mul_div(int a, int b, int c);

// A length given at 96 dpi, at the screen's dpi.
inline int scale(int length, int dpi) { return mul_div(length, dpi, 96); }

struct Placement {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// One placement per control, indexed by slot(Ctl).
using WindowLayout = std::array<Placement, kControlCount>;

// From `minimum_client_width` on (the client width of the smallest window the user can drag it
// to), the rows keep their fixed positions and only the stretching controls follow the size, even
// where a row's last control then ends beyond the right edge. Narrower, which only a screen
// smaller than that window leaves (down to s(800)), a row that would reach past the right edge
// wraps between its groups of controls onto a continuation line and the rows below move down, so
// that every control lies inside the client area.
WindowLayout layout_window(int client_width, int client_height, int dpi, int minimum_client_width);

struct Size {
  int width = 0;
  int height = 0;
};

// The outer size the window opens with: 1160 x 1080 at 96 dpi.
Size initial_window_size(int dpi);

// The smallest outer size the user can drag the window to: (250 + 860) x 820 at 96 dpi.
Size minimum_track_size(int dpi);

// A stated size where it fits in `area` (a monitor's work area), else the area's length: a window
// at 144 dpi is taller than a 1080-pixel screen.
Size fit_within(Size wanted, Size area);

// Where a window of `length` that starts at `start` must start to lie within the area from
// `area_start` of `area_length` (as far as it can).
int fit_start(int start, int length, int area_start, int area_length);

// Character height of a font of the given size in points (negative: the em height).
int font_height(int points, int dpi);

}  // namespace colloquor
