// What the controls do on the real window. The rules (what is enabled when, which status text,
// which notification counts) come from commands.cpp; this file reads the controls, writes the live
// values and calls capture, the session file, the history list, the export and the settings.
#include "app/commands_win32.h"

#include <commctrl.h>

#include <string>

#include "app/main_window_win32.h"
#include "app/settings.h"
#include "app/window_state.h"
#include "app/worker_messages_win32.h"
#include "audio/capture_control_win32.h"
#include "audio/live_options.h"
#include "transcript/export_win32.h"
#include "transcript/history_win32.h"
#include "transcript/panel_win32.h"
#include "transcript/session_file.h"
#include "worker_link/frame_writer.h"
#include "worker_link/protocol.h"
#include "shared/win32_text.h"

namespace colloquor {

SpeechStatus speech_status;

namespace {

// While lines cannot be saved, that stays on screen: who speaks matters less than lines that are
// on screen only.
bool saving_failed = false;

void set_status(const std::u16string& text) {
  SetWindowTextW(control(Ctl::StatusLine), wide(text));
}

bool is_checked(Ctl which) {
  return SendMessageW(control(which), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

std::int32_t trackbar_position(Ctl which) {
  return static_cast<std::int32_t>(SendMessageW(control(which), TBM_GETPOS, 0, 0));
}

int selection_of(Ctl list) {
  return static_cast<int>(SendMessageW(control(list), CB_GETCURSEL, 0, 0));
}

// Item data of a list's selection; `none` when nothing is selected.
std::int32_t selected_item_data(Ctl list, std::int32_t none) {
  const LRESULT index = SendMessageW(control(list), CB_GETCURSEL, 0, 0);
  if (index == CB_ERR) return none;
  const LRESULT data = SendMessageW(control(list), CB_GETITEMDATA, static_cast<WPARAM>(index), 0);
  return data == CB_ERR ? none : static_cast<std::int32_t>(data);
}

std::int32_t selected_microphone() {
  return selected_item_data(Ctl::MicrophoneList, kSystemDefaultMicrophone);
}

// The output endpoint of the output device list's selection (empty: the default device).
std::u16string selected_endpoint() {
  return endpoint_id_for_entry(output_endpoint_ids, selection_of(Ctl::OutputDeviceList));
}

void set_label(Ctl which, const std::u16string& text) {
  SetWindowTextW(control(which), wide(text));
}

ControlInputs current_inputs() {
  ControlInputs in;
  in.session_open = window_state.session_open;
  in.capture_running = capture_running();
  in.worker_ready = worker_state.worker_ready;
  in.translation_unavailable = worker_state.translation_unavailable;
  in.speakers_unavailable = worker_state.speakers_unavailable;
  in.use_microphone = micon.load() != 0;
  in.use_system_audio = live_options.sys.load() != 0;
  in.noise_suppression = live_options.ns.load() != 0;
  in.several_voices = is_checked(Ctl::SeveralVoices);
  return in;
}

void apply_plan(const EnablePlan& plan) {
  for (int i = 0; i < kControlCount; ++i) {
    if (plan[static_cast<std::size_t>(i)] < 0) continue;
    HWND window = control(static_cast<Ctl>(i));
    if (window != nullptr) EnableWindow(window, plan[static_cast<std::size_t>(i)] == 1);
  }
}

std::int32_t as_flag(bool on) { return on ? 1 : 0; }

// Both unfinished lines of the translation panel belong to the old language choice.
void drop_partial_translations() {
  translation_panel.has_partial = {false, false};
  show_partials(translation_panel);
}

void after_language_change() {
  drop_partial_translations();
  send_options();
  save_settings();
}

void forget_speech(int channel) {
  const std::optional<std::u16string> text = speech_status_after_stop(
      speech_status, channel, capture_running(), live_options.sys.load() != 0);
  if (text) set_status(*text);
}

// A level report of a channel that no longer captures is stale: it would relight a bar that was
// set to 0 and bring back a speech flag that was cleared.
bool channel_capturing(int channel) {
  if (!capture_running()) return false;
  return channel == 0 ? microphone_open() : loopback_running();
}

void on_record() {
  if (capture_running()) {
    stop_recording();
    set_status(kStatusPaused);
    update_controls();
    return;
  }
  if (!window_state.session_open) return;
  const bool started = start_capture(selected_microphone(), selected_endpoint());
  set_status(record_status(started, live_options.sys.load() != 0, micon.load() != 0));
  update_controls();
}

void on_clear() {
  clear_panel(recognized_panel);
  clear_panel(translation_panel);
  clear_transcript(main_window());
}

void on_swap() {
  const int speech = selection_of(Ctl::SpeechLanguageList);
  const int target = selection_of(Ctl::TranslationLanguageList);
  if (!swap_allowed(speech, target)) {
    set_status(kStatusSwapRefused);
    return;
  }
  SendMessageW(control(Ctl::SpeechLanguageList), CB_SETCURSEL, static_cast<WPARAM>(target), 0);
  SendMessageW(control(Ctl::TranslationLanguageList), CB_SETCURSEL, static_cast<WPARAM>(speech), 0);
  after_language_change();
}

void on_system_audio() {
  apply_capture_options(true);
  if (!capture_running()) return;
  if (live_options.sys.load() != 0) {
    start_loopback_capture(selected_endpoint());
  } else {
    stop_loopback_capture();
    forget_speech(1);
  }
}

void on_output_device() {
  save_settings();
  if (capture_running() && live_options.sys.load() != 0)
    start_loopback_capture(selected_endpoint());
}

void on_use_microphone() {
  apply_capture_options(true);
  if (!capture_running()) {
    update_controls();
    return;
  }
  const std::int32_t device = selected_microphone();
  stop_recording();
  const bool started = start_capture(device, selected_endpoint());
  set_status(microphone_toggle_status(started, micon.load() != 0));
  update_controls();
}

void on_model_switch(bool speaker) {
  const Ctl list = speaker ? Ctl::SpeakerModelList : Ctl::TranslationModelList;
  const std::optional<std::u16string> target = model_switch_target(
      speaker ? worker_state.speaker_catalog : worker_state.translation_catalog, selection_of(list),
      speaker ? worker_state.active_speaker_model : worker_state.active_translation_model,
      speaker ? worker_state.chosen_speaker_model : worker_state.chosen_translation_model,
      worker_state.switching_model);
  if (!target) return;
  (speaker ? worker_state.chosen_speaker_model : worker_state.chosen_translation_model) = *target;
  save_settings();
  const std::string payload = narrow_text(*target);
  send_frame(speaker ? kFrameSpeakerModel : kFrameTranslationModel, payload.data(),
             static_cast<std::uint32_t>(payload.size()));
  worker_state.switching_model = true;
  set_status(speaker ? kStatusSwitchingSpeakerModel : kStatusSwitchingTranslationModel);
}

void on_speaker_model_chosen() { on_model_switch(true); }
void on_translation_model_chosen() { on_model_switch(false); }

ListChoice& choice_of(Ctl list) {
  switch (list) {
    case Ctl::SpeakerModelList: return window_state.speaker_model_choice;
    case Ctl::TranslationModelList: return window_state.translation_model_choice;
    default: return window_state.output_device_choice;
  }
}

// A notification of a list whose choice costs something; `act` runs once the choice is complete.
void on_costly_list(Ctl list, int notification, void (*act)()) {
  HWND box = control(list);
  const bool dropped_down = SendMessageW(box, CB_GETDROPPEDSTATE, 0, 0) != FALSE;
  switch (list_choice_step(choice_of(list), notification, selection_of(list), dropped_down,
                           GetFocus() == box)) {
    case ListStep::act: act(); break;
    case ListStep::take_focus:
      // Not while another program is in front: the choice then completes when the user comes
      // back to the list and leaves it.
      if (GetActiveWindow() == main_window()) SetFocus(box);
      break;
    case ListStep::nothing: break;
  }
}

bool is_push_button(HWND window) {
  wchar_t window_class[16] = {};
  GetClassNameW(window, window_class, 16);
  if (lstrcmpiW(window_class, L"Button") != 0) return false;
  const LONG type = GetWindowLongW(window, GWL_STYLE) & BS_TYPEMASK;
  return type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON || type == BS_OWNERDRAW;
}

// Enter presses the focused button; on a costly list changed with the arrow keys it completes the
// choice.
void on_enter_key() {
  HWND focus = GetFocus();
  if (focus == nullptr || GetParent(focus) != main_window() || !IsWindowEnabled(focus)) return;
  if (focus == control(Ctl::OutputDeviceList)) {
    on_costly_list(Ctl::OutputDeviceList, kComboClosedUp, on_output_device);
  } else if (focus == control(Ctl::SpeakerModelList)) {
    on_costly_list(Ctl::SpeakerModelList, kComboClosedUp, on_speaker_model_chosen);
  } else if (focus == control(Ctl::TranslationModelList)) {
    on_costly_list(Ctl::TranslationModelList, kComboClosedUp, on_translation_model_chosen);
  } else if (is_push_button(focus)) {
    SendMessageW(focus, BM_CLICK, 0, 0);
  }
}

// "Save...": the live session in the languages chosen now; a saved one in those too unless one of
// their documents would be empty, then in the languages it was recorded in.
void on_save() {
  const ExportWindow window{main_window(), control(Ctl::StatusLine),
                            control(Ctl::SpeechLanguageList),
                            control(Ctl::TranslationLanguageList)};
  if (window_state.session_open) {
    save_transcripts(window, worker_state.transcript_lines);
  } else {
    save_transcripts_as_recorded(window, worker_state.transcript_lines);
  }
}

void on_sessions_selection() {
  if (window_state.selecting_by_program) return;
  if (capture_running()) {
    // The recording session stays on screen, so its entry stays the selected one.
    select_current_session_in_history();
    return;
  }
  open_history_entry(
      static_cast<int>(SendMessageW(control(Ctl::SessionsList), LB_GETCURSEL, 0, 0)));
}

// A control that lost the ability to take input hands the keyboard on, and a session becoming
// recordable moves the keyboard from "+ New session" to Record: Enter, Enter starts a recording.
void keep_keyboard_focus(HWND focused_before, bool record_was_enabled) {
  if (focused_before == nullptr || GetParent(focused_before) != main_window()) return;
  if (!IsWindowEnabled(focused_before)) {
    SetFocus(default_focus_control());
  } else if (focused_before == control(Ctl::NewSession) && !record_was_enabled &&
             IsWindowEnabled(control(Ctl::Record))) {
    SetFocus(control(Ctl::Record));
  }
}

void on_new_session() {
  if (capture_running()) return;
  clear_panel(recognized_panel);
  clear_panel(translation_panel);
  clear_transcript(main_window());
  send_frame(kFrameReset, nullptr, 0);
  note_new_session_sent();
  window_state.session_open = create_session_file();
  update_controls();
  set_status(new_session_status(window_state.session_open, worker_state.startup_finished,
                                worker_state.worker_ready, worker_state.stopped_reason));
}

}  // namespace

void apply_audio_options(bool save) {
  const std::int32_t gain = trackbar_position(Ctl::GainTrackbar);
  const std::int32_t strength = trackbar_position(Ctl::StrengthTrackbar);
  live_options.gain.exchange(gain);
  live_options.nsv.exchange(strength);
  live_options.ns.exchange(as_flag(is_checked(Ctl::NoiseSuppression)));
  live_options.agc.exchange(as_flag(is_checked(Ctl::Agc)));
  live_options.boost.exchange(as_flag(is_checked(Ctl::Boost)));
  set_label(Ctl::GainValue, gain_label(gain));
  set_label(Ctl::StrengthValue, strength_label(strength));
  apply_plan(audio_option_enables(current_inputs()));
  if (save) save_settings();
}

void apply_capture_options(bool save) {
  micon.exchange(as_flag(is_checked(Ctl::UseMicrophone)));
  live_options.sys.exchange(as_flag(is_checked(Ctl::SystemAudio)));
  live_options.echo.exchange(as_flag(is_checked(Ctl::Echo)));
  live_speaker_options.rev.exchange(as_flag(is_checked(Ctl::Reverse)));
  const ControlInputs inputs = current_inputs();
  live_speaker_options.diarize.exchange(as_flag(diarization_in_effect(inputs)));
  const std::int32_t sensitivity = trackbar_position(Ctl::SensitivityTrackbar);
  live_speaker_options.sens2.exchange(sensitivity);
  set_label(Ctl::SensitivityValue, sensitivity_label(sensitivity));
  apply_plan(capture_option_enables(inputs));
  if (worker_state.worker_ready) send_options();
  if (save) save_settings();
}

void send_options() {
  const std::string payload = options_payload(
      selected_item_data(Ctl::SpeechLanguageList, -1),
      selected_item_data(Ctl::TranslationLanguageList, -1), live_speaker_options.rev.load() != 0,
      live_speaker_options.diarize.load() != 0, live_speaker_options.sens2.load());
  send_frame(kFrameOptions, payload.data(), static_cast<std::uint32_t>(payload.size()));
}

HWND default_focus_control() {
  HWND record = control(Ctl::Record);
  return IsWindowEnabled(record) ? record : control(Ctl::NewSession);
}

void update_controls() {
  HWND focused_before = GetFocus();
  const bool record_was_enabled = IsWindowEnabled(control(Ctl::Record)) != FALSE;
  InvalidateRect(control(Ctl::Record), nullptr, TRUE);
  const ControlInputs before = current_inputs();
  if (session_live(before)) {
    // The live values and labels follow the controls again, and a ready worker hears the options.
    apply_audio_options(false);
    apply_capture_options(false);
  }
  apply_plan(control_enables(current_inputs()));
  InvalidateRect(control(Ctl::NewSession), nullptr, TRUE);
  select_current_session_in_history();
  keep_keyboard_focus(focused_before, record_was_enabled);
}

bool on_command(WPARAM wparam, LPARAM) {
  const int notification = HIWORD(wparam);
  switch (command_for(LOWORD(wparam), notification)) {
    case Command::unknown: return false;
    case Command::ignored: break;
    case Command::microphone_list: save_settings(); break;
    case Command::language_list: after_language_change(); break;
    case Command::record: on_record(); break;
    case Command::clear: on_clear(); break;
    case Command::copy_text: copy_panel_text(main_window(), recognized_panel); break;
    case Command::copy_translation: copy_panel_text(main_window(), translation_panel); break;
    case Command::swap: on_swap(); break;
    case Command::save: on_save(); break;
    case Command::audio_option: apply_audio_options(true); break;
    case Command::system_audio: on_system_audio(); break;
    case Command::capture_option: apply_capture_options(true); break;
    case Command::output_device:
      on_costly_list(Ctl::OutputDeviceList, notification, on_output_device);
      break;
    case Command::use_microphone: on_use_microphone(); break;
    case Command::speaker_model:
      on_costly_list(Ctl::SpeakerModelList, notification, on_speaker_model_chosen);
      break;
    case Command::translation_model:
      on_costly_list(Ctl::TranslationModelList, notification, on_translation_model_chosen);
      break;
    case Command::sessions_list: on_sessions_selection(); break;
    case Command::new_session: on_new_session(); break;
    case Command::enter_key: on_enter_key(); break;
  }
  return true;
}

void on_trackbar_scroll(WPARAM wparam, LPARAM lparam) {
  const HWND trackbar = reinterpret_cast<HWND>(lparam);
  if (trackbar == nullptr) return;
  const bool save = LOWORD(wparam) == TB_ENDTRACK;
  if (trackbar == control(Ctl::GainTrackbar) || trackbar == control(Ctl::StrengthTrackbar)) {
    apply_audio_options(save);
  } else if (trackbar == control(Ctl::SensitivityTrackbar)) {
    apply_capture_options(save);
  }
}

void on_audio_level(WPARAM wparam, LPARAM lparam) {
  const LevelReport report = decode_level_report(static_cast<std::intptr_t>(lparam));
  if (!channel_capturing(report.channel)) return;
  const Ctl bar = report.channel == 0 ? Ctl::MicrophoneLevel : Ctl::SystemAudioLevel;
  SendMessageW(control(bar), PBM_SETPOS, static_cast<WPARAM>(wparam), 0);
  const std::optional<std::u16string> text =
      speech_status_after(speech_status, report, capture_running(), live_options.sys.load() != 0);
  if (text && !saving_failed) set_status(*text);
}

void on_loopback_failed(WPARAM wparam, LPARAM lparam) {
  const std::optional<std::u16string> reason =
      take_loopback_failure_reason(static_cast<std::intptr_t>(lparam));
  if (!reason) return;  // not a report of this program
  if (!loopback_failure_is_current(static_cast<std::uint32_t>(wparam))) return;
  loopback_running.set(false);
  clear_level_bar(kSystemChannel);
  speech_status.speech[1] = false;
  set_status(loopback_failed_status(*reason));
}

void on_session_saving(bool ok) {
  saving_failed = !ok;
  set_status(ok ? kStatusSavingResumed : kStatusSavingFailed);
}

void report_dropped_audio() {
  static DroppedAudioStatus shown;
  const std::optional<std::u16string> text = dropped_audio_status(shown, dropped_worker_audio());
  if (text) set_status(*text);
}

void stop_recording() {
  if (!capture_running()) return;
  stop_capture();
  speech_status.speech = {false, false};
  note_recording_stopped();
}

}  // namespace colloquor
