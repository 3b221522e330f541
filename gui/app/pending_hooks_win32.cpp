// TEMPORARY stand-ins for operations whose owners have not delivered them yet, so that Parlivo
// links and opens its window. Each owner deletes its stand-in here when its own file lands:
//   history list (load_history,
//   delete_history_entry, open_history_entry, open_history_folder), the window's commands
//   (apply_audio_options, apply_capture_options, send_options, update_controls) and settings.ini.
// The settings stand-ins put the controls into the state of a first start without a settings
// file, which is what the window must show until the file is read.
#include <windows.h>
#include <commctrl.h>

#include "app/commands.h"
#include "app/control_ids.h"
#include "app/main_window_win32.h"
#include "app/pending_hooks.h"
#include "app/settings.h"

namespace colloquor {


void load_history() {}
void delete_history_entry(int) {}
void open_history_entry(int) {}
void open_history_folder(const std::wstring&) {}

void apply_audio_options(bool) {}
void apply_capture_options(bool) {}
void send_options() {}
void update_controls() {}

namespace {
void check(Ctl which, bool checked) {
  SendMessageW(control(which), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}
}  // namespace

void prepare_settings_file() {}

void load_language_and_audio_settings() {
  SendMessageW(control(Ctl::SpeechLanguageList), CB_SETCURSEL, 1, 0);       // Russian
  SendMessageW(control(Ctl::TranslationLanguageList), CB_SETCURSEL, 2, 0);  // English
  SendMessageW(control(Ctl::GainTrackbar), TBM_SETPOS, TRUE, 0);
  SendMessageW(control(Ctl::StrengthTrackbar), TBM_SETPOS, TRUE, 50);
  check(Ctl::NoiseSuppression, true);
  check(Ctl::Agc, true);
  check(Ctl::Boost, false);
}

void load_output_device_setting() {}

void load_model_and_capture_settings() {
  check(Ctl::UseMicrophone, true);
  check(Ctl::SystemAudio, false);
  check(Ctl::Reverse, true);
  check(Ctl::Echo, true);
  check(Ctl::SeveralVoices, false);
  check(Ctl::OneInterlocutor, true);
  SendMessageW(control(Ctl::SensitivityTrackbar), TBM_SETPOS, TRUE, 60);
}

void load_microphone_setting() {}
void save_settings() {}

}  // namespace colloquor
