// settings.ini through the system's profile functions. The file is created holding only the UTF-16
// byte-order mark, so the profile functions keep writing it as UTF-16 and device names in any
// script survive.
#include "app/settings_win32.h"

#include <windows.h>
#include <commctrl.h>

#include "app/commands.h"
#include "app/main_window_win32.h"
#include "shared/program_dir_win32.h"
#include "app/worker_messages.h"
#include "audio/capture_control.h"
#include "audio/live_options.h"
#include "shared/win32_text.h"

namespace colloquor {
namespace {

std::u16string g_folder_override;
std::u16string g_path;
// False while an outdated file could not be replaced: the run then goes on with the defaults
// rather than with values of another format, and nothing is written into that file until a later
// save manages to replace it.
bool g_file_usable = true;
// The language choices read from the outdated file, kept for the replacement.
std::int32_t g_old_src = -1;
std::int32_t g_old_tgt = -1;
// "diar" is the user's choice also when speaker detection turns out unavailable and the window
// shows "One interlocutor": the last choice made while the choice could be made.
bool g_voice_choice = false;

class ProfileFile final : public SettingsSource {
 public:
  explicit ProfileFile(const std::u16string& path) : path_(path) {}

  std::int32_t integer(std::u16string_view key, std::int32_t fallback) const override {
    std::u16string name;
    return static_cast<std::int32_t>(GetPrivateProfileIntW(wide(std::u16string(kSettingsSection)),
                                                           wide(key, name), fallback, wide(path_)));
  }

  std::u16string text(std::u16string_view key, std::size_t capacity) const override {
    std::u16string name;
    std::u16string buffer(capacity, u'\0');
    const DWORD length = GetPrivateProfileStringW(
        wide(std::u16string(kSettingsSection)), wide(key, name), L"",
        reinterpret_cast<wchar_t*>(buffer.data()), static_cast<DWORD>(capacity), wide(path_));
    buffer.resize(length);
    return buffer;
  }

 private:
  const std::u16string& path_;
};

void write_entry(const SettingsEntry& entry) {
  WritePrivateProfileStringW(wide(std::u16string(kSettingsSection)), wide(entry.key),
                             wide(entry.value), wide(g_path));
}

AppSettings stored_settings() {
  if (!g_file_usable) return AppSettings{};
  return read_app_settings(ProfileFile(g_path));
}

bool file_exists(const std::u16string& path) {
  return GetFileAttributesW(wide(path)) != INVALID_FILE_ATTRIBUTES;
}

bool write_bom_only_file(const std::u16string& path) {
  HANDLE file = CreateFileW(wide(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, kUtf16Bom, sizeof kUtf16Bom, &written, nullptr);
  CloseHandle(file);
  return ok && written == sizeof kUtf16Bom;
}

void check(Ctl which, bool checked) {
  SendMessageW(control(which), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool is_checked(Ctl which) {
  return SendMessageW(control(which), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void set_trackbar(Ctl which, std::int32_t position) {
  SendMessageW(control(which), TBM_SETPOS, TRUE, position);
}

std::u16string selected_item_text(Ctl list) {
  HWND combo = control(list);
  const LRESULT index = SendMessageW(combo, CB_GETCURSEL, 0, 0);
  if (index == CB_ERR) return {};
  const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length == CB_ERR || length <= 0) return {};
  std::u16string text(static_cast<std::size_t>(length) + 1, u'\0');
  const LRESULT copied = SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index),
                                      reinterpret_cast<LPARAM>(text.data()));
  text.resize(copied == CB_ERR ? 0 : static_cast<std::size_t>(copied));
  return text;
}

int selection_of(Ctl list) {
  return static_cast<int>(SendMessageW(control(list), CB_GETCURSEL, 0, 0));
}

// The state save_settings writes: the lists and radio buttons as they are, the rest from the live
// values that the controls were copied into.
AppSettings current_settings() {
  AppSettings s;
  s.mic = selected_item_text(Ctl::MicrophoneList);
  s.src = selection_of(Ctl::SpeechLanguageList);
  s.tgt = selection_of(Ctl::TranslationLanguageList);
  const AudioOptions audio = load_audio_options();
  s.gain = audio.gain;
  s.ns = audio.ns != 0;
  s.nsv = audio.nsv;
  s.agc = audio.agc != 0;
  s.boost = audio.boost != 0;
  s.sysdev = endpoint_id_for_entry(output_endpoint_ids, selection_of(Ctl::OutputDeviceList));
  s.spkmodel = worker_state.chosen_speaker_model;
  s.trmodel = worker_state.chosen_translation_model;
  s.micon = micon.load() != 0;
  s.sys = audio.sys != 0;
  s.rev = live_speaker_options.rev.load() != 0;
  s.echo = audio.echo != 0;
  if (!worker_state.speakers_unavailable) g_voice_choice = is_checked(Ctl::SeveralVoices);
  s.diar = g_voice_choice;
  s.sens2 = live_speaker_options.sens2.load();
  return s;
}

// Creates the file anew in the current format, keeping the old language choices.
bool replace_outdated_file() {
  if (!write_bom_only_file(g_path)) return false;
  for (const SettingsEntry& entry : replacement_entries(g_old_src, g_old_tgt)) write_entry(entry);
  return true;
}

}  // namespace

void set_settings_folder(const std::u16string& folder) { g_folder_override = folder; }

const std::u16string& settings_file_path() { return g_path; }

void prepare_settings_file() {
  std::u16string folder = g_folder_override;
  if (folder.empty()) {
    const std::wstring program = program_dir();
    folder.assign(program.begin(), program.end());
  }
  g_path = folder + u"\\" + kSettingsFileName;
  g_file_usable = true;

  const ProfileFile file(g_path);
  if (settings_file_current(file_exists(g_path), file.integer(kVersionKey, 0))) return;
  g_old_src = file.integer(u"src", -1);
  g_old_tgt = file.integer(u"tgt", -1);
  g_file_usable = replace_outdated_file();
}

void load_language_and_audio_settings() {
  const AppSettings s = stored_settings();
  SendMessageW(control(Ctl::SpeechLanguageList), CB_SETCURSEL, static_cast<WPARAM>(s.src), 0);
  SendMessageW(control(Ctl::TranslationLanguageList), CB_SETCURSEL, static_cast<WPARAM>(s.tgt), 0);
  set_trackbar(Ctl::GainTrackbar, s.gain);
  set_trackbar(Ctl::StrengthTrackbar, s.nsv);
  check(Ctl::NoiseSuppression, s.ns);
  check(Ctl::Agc, s.agc);
  check(Ctl::Boost, s.boost);
}

void load_output_device_setting() {
  const AppSettings s = stored_settings();
  if (s.sysdev.empty()) return;
  const int entry = entry_for_endpoint_id(output_endpoint_ids, s.sysdev);
  if (entry > 0)
    SendMessageW(control(Ctl::OutputDeviceList), CB_SETCURSEL, static_cast<WPARAM>(entry), 0);
}

void load_model_and_capture_settings() {
  const AppSettings s = stored_settings();
  worker_state.chosen_speaker_model = s.spkmodel;
  worker_state.chosen_translation_model = s.trmodel;
  check(Ctl::UseMicrophone, s.micon);
  check(Ctl::SystemAudio, s.sys);
  check(Ctl::Reverse, s.rev);
  check(Ctl::Echo, s.echo);
  g_voice_choice = s.diar;
  check(Ctl::SeveralVoices, s.diar);
  check(Ctl::OneInterlocutor, !s.diar);
  set_trackbar(Ctl::SensitivityTrackbar, s.sens2);
}

void load_microphone_setting() {
  const AppSettings s = stored_settings();
  if (s.mic.empty()) return;
  HWND list = control(Ctl::MicrophoneList);
  const LRESULT found = SendMessageW(list, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                     reinterpret_cast<LPARAM>(wide(s.mic)));
  if (found != CB_ERR) SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(found), 0);
}

void save_settings() {
  if (g_path.empty()) return;
  if (!g_file_usable) {
    g_file_usable = replace_outdated_file();
    if (!g_file_usable) return;
  }
  for (const SettingsEntry& entry : settings_entries(current_settings())) write_entry(entry);
}

}  // namespace colloquor
