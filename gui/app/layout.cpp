#include "app/layout.h"

#include <algorithm>
#include <cstdint>

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

}  // namespace

WindowLayout layout_window(int W, int H, int dpi) {
  auto s = [dpi](int n) { return scale(n, dpi); };
  const int L = s(250);
  const int X = s(10);
  const int u = s(26);
  const int x0 = L + X;
  const int CW = W - L - X - X;
  const int label_dy = s(4);
  const int list_height = s(300);
  const Rows r = right_side_rows(dpi);

  WindowLayout out{};
  auto put = [&out](Ctl c, int x, int y, int w, int h) { out[slot(c)] = Placement{x, y, w, h}; };

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
  put(Ctl::SpeechLanguageLabel, x0, r.r3 + label_dy, s(130), u);
  put(Ctl::SpeechLanguageList, x0 + s(130), r.r3, s(150), list_height);
  const int swap_x = x0 + s(130) + s(150) + s(6);
  put(Ctl::Swap, swap_x, r.r3, s(40), u);
  const int target_label_x = swap_x + s(40) + X;
  put(Ctl::TranslationLanguageLabel, target_label_x, r.r3 + label_dy, s(100), u);
  put(Ctl::TranslationLanguageList, target_label_x + s(100), r.r3, s(150), list_height);
  put(Ctl::TranslationModelLabel, x0, r.r4 + label_dy, s(130), u);
  put(Ctl::TranslationModelList, x0 + s(130), r.r4, CW - s(130), list_height);

  // Action buttons and the two level bars after them.
  const int button_height = s(2) + u;
  const int record_x = x0;
  const int clear_x = record_x + s(140) + X;
  const int copy_text_x = clear_x + s(90) + X;
  const int copy_translation_x = copy_text_x + s(150) + X;
  const int save_x = copy_translation_x + s(160) + X;
  put(Ctl::Record, record_x, r.r5, s(140), button_height);
  put(Ctl::Clear, clear_x, r.r5, s(90), button_height);
  put(Ctl::CopyText, copy_text_x, r.r5, s(150), button_height);
  put(Ctl::CopyTranslation, copy_translation_x, r.r5, s(160), button_height);
  put(Ctl::Save, save_x, r.r5, X + s(90), button_height);
  const int level_x = save_x + X + s(90) + X;
  const int level_width = std::max(s(40), W - X - level_x);
  put(Ctl::MicrophoneLevel, level_x, r.r5 + s(3), level_width, X);
  put(Ctl::SystemAudioLevel, level_x, r.r5 + s(16), level_width, X);

  // Conditioning options.
  const int value_x = x0 + s(190) + s(250) + s(6);
  const int right_check_x = x0 + s(190) + s(250) + X + s(90);
  put(Ctl::GainLabel, x0, r.r6 + label_dy, s(190), u);
  put(Ctl::GainTrackbar, x0 + s(190), r.r6, s(250), u);
  put(Ctl::GainValue, value_x, r.r6 + label_dy, s(90), u);
  put(Ctl::Agc, right_check_x, r.r6, s(220), u);
  put(Ctl::NoiseSuppression, x0, r.r7, s(190), u);
  put(Ctl::StrengthTrackbar, x0 + s(190), r.r7, s(250), u);
  put(Ctl::StrengthValue, value_x, r.r7 + label_dy, s(90), u);
  put(Ctl::Boost, right_check_x, r.r7, s(260), u);

  // The other side and the speakers.
  put(Ctl::SystemAudio, x0, r.r8, s(300), u);
  put(Ctl::Reverse, x0 + s(305), r.r8, s(330), u);
  put(Ctl::Echo, x0 + s(640), r.r8, s(240), u);
  put(Ctl::OneInterlocutor, x0, r.r9, s(150), u);
  put(Ctl::SeveralVoices, x0 + s(155), r.r9, s(210), u);
  put(Ctl::SensitivityTrackbar, x0 + s(380), r.r9, s(240), u);
  put(Ctl::SensitivityValue, x0 + s(626), r.r9 + label_dy, s(80), u);
  put(Ctl::SpeakerModelLabel, x0, r.r10 + label_dy, s(130), u);
  put(Ctl::SpeakerModelList, x0 + s(130), r.r10, CW - s(130), list_height);

  // Status line with its spinner and the download bar under it.
  put(Ctl::Spinner, x0, r.r11 - s(1), s(22), s(22));
  put(Ctl::StatusLine, x0 + s(28), r.r11, CW - s(28), s(20));
  put(Ctl::DownloadProgress, x0, r.r11 + s(22), CW, s(8));

  // The two panels share what is left below r12; when that is too little they keep a floor and
  // run past the bottom edge instead of collapsing.
  const int heading = s(20);
  const int h1 = (std::max(s(120), H - X - r.r12) - (X + 2 * heading)) / 2;
  const int recognized_y = r.r12 + heading;
  const int translation_label_y = recognized_y + h1 + X;
  const int translation_y = translation_label_y + heading;
  const int h2 = std::max(s(30), H - X - translation_y);
  put(Ctl::RecognizedLabel, x0, r.r12, CW, heading);
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
