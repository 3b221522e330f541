#include "app/layout.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace colloquor {

int mul_div(int a, int b, int c) {
  if (c == 0) return -1;  // MulDiv's answer to a zero divisor
  std::int64_t product = static_cast<std::int64_t>(a) * b;
  std::int64_t half = c / 2;
  std::int64_t result = product >= 0 ? (product + half) / c : (product - half) / c;
  return static_cast<int>(result);
}

namespace {

// The fixed rows of the right-hand side, from the top of the client area.
struct Rows {
  int r1, r2, r3, r4, r5, r6, r7, r8, r9, r10, r11, r12;
};

Rows right_side_rows(int dpi) {
  auto s = [dpi](int n) { return scale(n, dpi); };
  const int X = s(10);
  const int u = s(26);
  Rows r{};
  r.r1 = X;
  r.r2 = r.r1 + u + X;
  r.r3 = r.r2 + u + X;
  r.r4 = r.r3 + u + s(2);
  r.r5 = r.r4 + u + X;
  r.r6 = r.r5 + s(2) + u + X;
  r.r7 = r.r6 + u + s(2);
  r.r8 = r.r7 + u + X;
  r.r9 = r.r8 + u + s(2);
  r.r10 = r.r9 + u + s(2);
  r.r11 = r.r10 + X + u;
  r.r12 = r.r11 + s(34);
  return r;
}

// One control of a row: its offset from the row's left edge (x0) and top as laid out on a wide
// window, and its size.
struct Part {
  Ctl control;
  int dx;
  int dy;
  int width;
  int height;
};

// Controls that stay side by side (a label with its list or trackbar); a row wraps between
// groups, never inside one. A stretching group (the level bars) needs `min_width` and reaches to
// the right margin.
struct Group {
  std::vector<Part> parts;
  bool stretches = false;
  int min_width = 0;

  int left() const {
    int x = parts.front().dx;
    for (const Part& p : parts) x = std::min(x, p.dx);
    return x;
  }
  int right() const {
    if (stretches) return left() + min_width;
    int x = 0;
    for (const Part& p : parts) x = std::max(x, p.dx + p.width);
    return x;
  }
};

struct RowFrame {
  int x0;           // left edge of the right side
  int right_limit;  // the client width
  int margin;       // what a stretching group leaves free at the right
  bool wraps;       // whether a group that would reach past right_limit goes to the next line
};

// Places a row whose groups keep their wide-window offsets as long as they fit or the row does not
// wrap. A group that would reach past the client area, and every group after it, moves to a
// continuation line `line_step` lower, starting again at the left edge. Returns how much lower
// everything below the row must go (0 when it did not wrap).
int place_row(WindowLayout& out, const RowFrame& frame, int y, int line_step,
              const std::vector<Group>& groups) {
  int origin = 0;  // the wide-window offset that sits at x0 on the current line
  int line = 0;
  for (std::size_t i = 0; i < groups.size(); ++i) {
    const Group& g = groups[i];
    if (frame.wraps && i > 0 && frame.x0 + g.right() - origin > frame.right_limit) {
      ++line;
      origin = g.left();
    }
    for (const Part& p : g.parts) {
      const int x = frame.x0 + p.dx - origin;
      int width = p.width;
      if (g.stretches) width = std::max(g.min_width, frame.right_limit - frame.margin - x);
      out[slot(p.control)] = Placement{x, y + line * line_step + p.dy, width, p.height};
    }
  }
  return line * line_step;
}

}  // namespace

// Down to the smallest window the user can drag it to, every row keeps the fixed positions below.
// On a narrower one (a small screen at 120 dpi, say), the rows whose controls would reach past the
// right edge wrap onto a continuation line and push the rows under them down, so that every
// control stays reachable.
WindowLayout layout_window(int W, int H, int dpi, int minimum_client_width) {
  auto s = [dpi](int n) { return scale(n, dpi); };
  const int L = s(250);
  const int X = s(10);
  const int u = s(26);
  const int x0 = L + X;
  const int CW = W - L - X - X;
  const int label_dy = s(4);
  const int list_height = s(300);
  const Rows r = right_side_rows(dpi);
  const RowFrame frame{x0, W, X, W < minimum_client_width};
  const int check_step = u + s(2);  // a continuation line of check boxes, lists or trackbars

  WindowLayout out{};
  auto put = [&out](Ctl c, int x, int y, int w, int h) { out[slot(c)] = Placement{x, y, w, h}; };
  int shift = 0;  // how far the rows so far have pushed the next one down

  // Left column: the session history.
  put(Ctl::SessionsLabel, s(12), s(12), L - s(20), s(22));
  put(Ctl::NewSession, s(10), s(38), L - s(20), s(32));
  put(Ctl::SessionsList, s(10), s(78), L - s(20), std::max(s(60), H - s(78) - s(10)));

  // Capture source, languages and models.
  put(Ctl::MicrophoneLabel, x0, r.r1 + label_dy, s(130), u);
  put(Ctl::MicrophoneList, x0 + s(130), r.r1, CW - s(130) - s(170), list_height);
  put(Ctl::UseMicrophone, W - X - s(160), r.r1, s(160), u);
  put(Ctl::OutputDeviceLabel, x0, r.r2 + label_dy, s(130), u);
  put(Ctl::OutputDeviceList, x0 + s(130), r.r2, CW - s(130), list_height);
  const int swap_dx = s(130) + s(150) + s(6);
  const int target_label_dx = swap_dx + s(40) + X;
  shift += place_row(
      out, frame, r.r3 + shift, check_step,
      {Group{{{Ctl::SpeechLanguageLabel, 0, label_dy, s(130), u},
              {Ctl::SpeechLanguageList, s(130), 0, s(150), list_height}}},
       Group{{{Ctl::Swap, swap_dx, 0, s(40), u},
              {Ctl::TranslationLanguageLabel, target_label_dx, label_dy, s(100), u},
              {Ctl::TranslationLanguageList, target_label_dx + s(100), 0, s(150), list_height}}}});
  put(Ctl::TranslationModelLabel, x0, r.r4 + shift + label_dy, s(130), u);
  put(Ctl::TranslationModelList, x0 + s(130), r.r4 + shift, CW - s(130), list_height);

  // Action buttons and the two level bars after them.
  const int button_height = s(2) + u;
  const int clear_dx = s(140) + X;
  const int copy_text_dx = clear_dx + s(90) + X;
  const int copy_translation_dx = copy_text_dx + s(150) + X;
  const int save_dx = copy_translation_dx + s(160) + X;
  const int level_dx = save_dx + X + s(90) + X;
  Group level_bars{{{Ctl::MicrophoneLevel, level_dx, s(3), 0, X},
                    {Ctl::SystemAudioLevel, level_dx, s(16), 0, X}}};
  level_bars.stretches = true;
  level_bars.min_width = s(40);
  shift +=
      place_row(out, frame, r.r5 + shift, button_height + s(4),
                {Group{{{Ctl::Record, 0, 0, s(140), button_height}}},
                 Group{{{Ctl::Clear, clear_dx, 0, s(90), button_height}}},
                 Group{{{Ctl::CopyText, copy_text_dx, 0, s(150), button_height}}},
                 Group{{{Ctl::CopyTranslation, copy_translation_dx, 0, s(160), button_height}}},
                 Group{{{Ctl::Save, save_dx, 0, X + s(90), button_height}}}, level_bars});

  // Conditioning options.
  const int value_dx = s(190) + s(250) + s(6);
  const int right_check_dx = s(190) + s(250) + X + s(90);
  shift += place_row(out, frame, r.r6 + shift, check_step,
                     {Group{{{Ctl::GainLabel, 0, label_dy, s(190), u},
                             {Ctl::GainTrackbar, s(190), 0, s(250), u},
                             {Ctl::GainValue, value_dx, label_dy, s(90), u}}},
                      Group{{{Ctl::Agc, right_check_dx, 0, s(220), u}}}});
  shift += place_row(out, frame, r.r7 + shift, check_step,
                     {Group{{{Ctl::NoiseSuppression, 0, 0, s(190), u},
                             {Ctl::StrengthTrackbar, s(190), 0, s(250), u},
                             {Ctl::StrengthValue, value_dx, label_dy, s(90), u}}},
                      Group{{{Ctl::Boost, right_check_dx, 0, s(260), u}}}});

  // The other side and the speakers.
  shift += place_row(
      out, frame, r.r8 + shift, check_step,
      {Group{{{Ctl::SystemAudio, 0, 0, s(300), u}}}, Group{{{Ctl::Reverse, s(305), 0, s(330), u}}},
       Group{{{Ctl::Echo, s(640), 0, s(240), u}}}});
  shift += place_row(out, frame, r.r9 + shift, check_step,
                     {Group{{{Ctl::OneInterlocutor, 0, 0, s(150), u}}},
                      Group{{{Ctl::SeveralVoices, s(155), 0, s(210), u}}},
                      Group{{{Ctl::SensitivityTrackbar, s(380), 0, s(240), u},
                             {Ctl::SensitivityValue, s(626), label_dy, s(80), u}}}});
  put(Ctl::SpeakerModelLabel, x0, r.r10 + shift + label_dy, s(130), u);
  put(Ctl::SpeakerModelList, x0 + s(130), r.r10 + shift, CW - s(130), list_height);

  // Status line with its spinner and the download bar under it.
  const int r11 = r.r11 + shift;
  put(Ctl::Spinner, x0, r11 - s(1), s(22), s(22));
  put(Ctl::StatusLine, x0 + s(28), r11, CW - s(28), s(20));
  put(Ctl::DownloadProgress, x0, r11 + s(22), CW, s(8));

  // The two panels share what is left below r12; when that is too little they keep a floor and
  // run past the bottom edge instead of collapsing.
  const int r12 = r.r12 + shift;
  const int heading = s(20);
  const int h1 = (std::max(s(120), H - X - r12) - (X + 2 * heading)) / 2;
  const int recognized_y = r12 + heading;
  const int translation_label_y = recognized_y + h1 + X;
  const int translation_y = translation_label_y + heading;
  const int h2 = std::max(s(30), H - X - translation_y);
  put(Ctl::RecognizedLabel, x0, r12, CW, heading);
  put(Ctl::RecognizedPanel, x0, recognized_y, CW, h1);
  put(Ctl::TranslationLabel, x0, translation_label_y, CW, heading);
  put(Ctl::TranslationPanel, x0, translation_y, CW, h2);
  return out;
}

Size initial_window_size(int dpi) { return Size{scale(1160, dpi), scale(1080, dpi)}; }

Size minimum_track_size(int dpi) {
  return Size{scale(860, dpi) + scale(250, dpi), scale(820, dpi)};
}

Size fit_within(Size wanted, Size area) {
  return Size{area.width > 0 ? std::min(wanted.width, area.width) : wanted.width,
              area.height > 0 ? std::min(wanted.height, area.height) : wanted.height};
}

int fit_start(int start, int length, int area_start, int area_length) {
  return std::max(area_start, std::min(start, area_start + area_length - length));
}

int font_height(int points, int dpi) { return -mul_div(points, dpi, 72); }

}  // namespace colloquor
