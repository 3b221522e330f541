#include "app/commands.h"

#include <cstdio>

namespace colloquor {

LiveSpeakerOptions live_speaker_options;

namespace {

// 16 000 samples of 2 bytes.
constexpr std::uint64_t kBytesPerSecond = 32000;

std::u16string ascii(const char* text, int length) {
  if (length < 0) return {};
  return std::u16string(text, text + length);
}

}  // namespace

std::u16string record_status(bool started, bool use_system_audio, bool use_microphone) {
  if (started) return use_system_audio ? kStatusRecordingBothSides : kStatusRecordingMicrophone;
  return use_microphone ? kStatusMicrophoneFailed : kStatusNothingToCapture;
}

std::u16string microphone_toggle_status(bool started, bool use_microphone) {
  if (!started) return kStatusNothingToCapture;
  return use_microphone ? kStatusMicrophoneOn : kStatusMicrophoneOff;
}

std::u16string loopback_failed_status(std::u16string_view reason) {
  std::u16string text = kLoopbackFailedPrefix;
  text += reason;
  text += kLoopbackFailedSuffix;
  return text;
}

// A status text with one number in it; every such text fits in 96 characters.
static std::u16string status_with_number(const char* format, unsigned number) {
  char text[96];
  return ascii(text, std::snprintf(text, sizeof text, format, number));
}

std::u16string rich_edit_missing_status(std::uint32_t error) {
  return status_with_number(
      "Could not load Msftedit.dll (error %u): the transcript panels cannot be shown.", error);
}

std::u16string com_unavailable_status(std::uint32_t result) {
  return status_with_number(
      "Could not initialise COM (error 0x%08X): the output devices cannot be listed.", result);
}

std::optional<std::u16string> dropped_audio_status(DroppedAudioStatus& status,
                                                   const DroppedAudio& dropped) {
  if (!dropped.dropping) {
    status.shown = false;
    return std::nullopt;
  }
  const std::uint64_t seconds = (dropped.bytes + kBytesPerSecond - 1) / kBytesPerSecond;
  if (status.shown && seconds == status.shown_seconds) return std::nullopt;
  status.shown = true;
  status.shown_seconds = seconds;
  std::u16string text = u"The recognizer is falling behind: audio is being dropped (";
  for (char digit : std::to_string(seconds)) text += static_cast<char16_t>(digit);
  text += u" s so far).";
  return text;
}

std::u16string new_session_status(bool opened, bool startup_finished, bool worker_ready,
                                  std::u16string_view stopped_reason) {
  if (!opened) return std::u16string(kStatusSessionNotCreated);
  if (startup_finished && !worker_ready && !stopped_reason.empty()) {
    return std::u16string(stopped_reason);
  }
  return std::u16string(kStatusSessionOpened);
}

std::u16string gain_label(std::int32_t gain_db) {
  char text[32];
  return ascii(text, std::snprintf(text, sizeof text, "%+d dB", static_cast<int>(gain_db)));
}

std::u16string strength_label(std::int32_t strength) {
  char text[32];
  return ascii(text, std::snprintf(text, sizeof text, "strength %d%%", static_cast<int>(strength)));
}

std::u16string sensitivity_label(std::int32_t percent) {
  char text[32];
  return ascii(text, std::snprintf(text, sizeof text, "%d%%", static_cast<int>(percent)));
}

Command command_for(int control_id, int notification) {
  const bool selection_changed = notification == kComboSelectionChanged;
  auto on_selection = [selection_changed](Command command) {
    return selection_changed ? command : Command::ignored;
  };
  auto on_choice = [notification](Command command) {
    switch (notification) {
      case kComboSelectionChanged:
      case kComboFocusGained:
      case kComboFocusLost:
      case kComboClosedUp: return command;
      default: return Command::ignored;
    }
  };
  switch (control_id) {
    case kIdEnterKey: return Command::enter_key;
    case kIdMicrophoneList: return on_selection(Command::microphone_list);
    case kIdSpeechLanguageList:
    case kIdTranslationLanguageList: return on_selection(Command::language_list);
    case kIdOutputDeviceList: return on_choice(Command::output_device);
    case kIdSpeakerModelList: return on_choice(Command::speaker_model);
    case kIdTranslationModelList: return on_choice(Command::translation_model);
    case kIdSessionsList:
      return notification == kListSelectionChanged ? Command::sessions_list : Command::ignored;
    case kIdRecordButton: return Command::record;
    case kIdClearButton: return Command::clear;
    case kIdCopyTextButton: return Command::copy_text;
    case kIdCopyTranslationButton: return Command::copy_translation;
    case kIdSwapButton: return Command::swap;
    case kIdSaveButton: return Command::save;
    case kIdNoiseSuppressionCheck:
    case kIdAgcCheck:
    case kIdBoostCheck: return Command::audio_option;
    case kIdSystemAudioCheck: return Command::system_audio;
    case kIdReverseCheck:
    case kIdEchoCheck:
    case kIdOneInterlocutorRadio:
    case kIdSeveralVoicesRadio: return Command::capture_option;
    case kIdUseMicrophoneCheck: return Command::use_microphone;
    case kIdNewSessionButton: return Command::new_session;
    case kIdMicrophoneLevel:
    case kIdStatusLine:
    case kIdRecognizedPanel:
    case kIdTranslationPanel:
    case kIdGainTrackbar:
    case kIdStrengthTrackbar:
    case kIdSensitivityTrackbar:
    case kIdSystemAudioLevel:
    case kIdDownloadProgress:
    case kIdSpinner: return Command::ignored;
    default: return Command::unknown;
  }
}

bool swap_allowed(int speech_selection, int translation_selection) {
  return speech_selection >= 1 && translation_selection >= 1;
}

ListStep list_choice_step(ListChoice& choice, int notification, int selection, bool dropped_down,
                          bool has_focus) {
  switch (notification) {
    case kComboFocusGained:
      if (choice.focus_taken) {
        choice.focus_taken = false;
      } else {
        choice.settled = selection;
      }
      return ListStep::nothing;
    case kComboSelectionChanged:
      if (dropped_down || has_focus) return ListStep::nothing;
      choice.focus_taken = true;
      return ListStep::take_focus;
    case kComboFocusLost:
    case kComboClosedUp:
      if (selection == choice.settled) return ListStep::nothing;
      choice.settled = selection;
      return ListStep::act;
    default: return ListStep::nothing;
  }
}

std::optional<std::u16string> model_switch_target(const std::vector<ModelEntry>& catalog, int index,
                                                  std::u16string_view active_id,
                                                  std::u16string_view chosen_id, bool switching) {
  if (index < 0 || static_cast<std::size_t>(index) >= catalog.size()) return std::nullopt;
  const std::u16string& id = catalog[static_cast<std::size_t>(index)].id;
  if (id == active_id) {
    if (switching && chosen_id != active_id) return id;
    return std::nullopt;
  }
  if (switching && id == chosen_id) return std::nullopt;
  return id;
}

LevelReport decode_level_report(std::intptr_t lparam) {
  return LevelReport{static_cast<int>((lparam >> 1) & 1), (lparam & 1) != 0};
}

namespace {

std::optional<std::u16string> changed_speech_status(SpeechStatus& status, bool capture_running,
                                                    bool use_system_audio) {
  if (!capture_running) return std::nullopt;
  const int state = (status.speech[0] ? 1 : 0) + 2 * (status.speech[1] ? 1 : 0);
  if (state == status.last_shown) return std::nullopt;
  status.last_shown = state;
  switch (state) {
    case 1: return std::u16string(kStatusHearingYou);
    case 2: return std::u16string(kStatusHearingOtherSide);
    case 3: return std::u16string(kStatusHearingBoth);
    default:
      return std::u16string(use_system_audio ? kStatusListeningBothSides
                                             : kStatusListeningMicrophone);
  }
}

}  // namespace

std::optional<std::u16string> speech_status_after(SpeechStatus& status, LevelReport report,
                                                  bool capture_running, bool use_system_audio) {
  status.speech[static_cast<std::size_t>(report.channel & 1)] = report.speech;
  return changed_speech_status(status, capture_running, use_system_audio);
}

std::optional<std::u16string> speech_status_after_stop(SpeechStatus& status, int channel,
                                                       bool capture_running,
                                                       bool use_system_audio) {
  status.speech[static_cast<std::size_t>(channel & 1)] = false;
  return changed_speech_status(status, capture_running, use_system_audio);
}

namespace {

EnablePlan untouched() {
  EnablePlan plan;
  plan.fill(-1);
  return plan;
}

void set(EnablePlan& plan, Ctl control, bool enabled) { plan[slot(control)] = enabled ? 1 : 0; }

}  // namespace

bool session_live(const ControlInputs& in) { return in.session_open || in.capture_running; }

bool diarization_in_effect(const ControlInputs& in) {
  return in.several_voices && !in.speakers_unavailable;
}

// The dependent controls are only ever enabled inside a live session: a worker line such as "V"
// runs these rules while no session is open, and must not wake single session controls then.
EnablePlan audio_option_enables(const ControlInputs& in) {
  EnablePlan plan = untouched();
  set(plan, Ctl::StrengthTrackbar, session_live(in) && in.noise_suppression);
  return plan;
}

EnablePlan capture_option_enables(const ControlInputs& in) {
  const bool live = session_live(in);
  const bool diarize = diarization_in_effect(in);
  EnablePlan plan = untouched();
  set(plan, Ctl::MicrophoneList, in.use_microphone && !in.capture_running);
  set(plan, Ctl::SpeakerModelList, live && diarize);
  set(plan, Ctl::Reverse, live && in.use_system_audio);
  set(plan, Ctl::Echo, live && in.use_system_audio);
  set(plan, Ctl::SensitivityTrackbar, live && diarize);
  return plan;
}

EnablePlan merge_plans(EnablePlan earlier, const EnablePlan& later) {
  for (std::size_t i = 0; i < earlier.size(); ++i) {
    if (later[i] >= 0) earlier[i] = later[i];
  }
  return earlier;
}

EnablePlan control_enables(const ControlInputs& in) {
  const bool live = session_live(in);
  EnablePlan plan = untouched();
  for (Ctl control : kSessionControls) set(plan, control, live);
  if (live) {
    set(plan, Ctl::TranslationLanguageList, !in.translation_unavailable);
    set(plan, Ctl::Swap, !in.translation_unavailable);
    set(plan, Ctl::SeveralVoices, !in.speakers_unavailable);
    plan = merge_plans(plan, audio_option_enables(in));
    plan = merge_plans(plan, capture_option_enables(in));
  }
  set(plan, Ctl::Record, live && in.worker_ready);
  set(plan, Ctl::NewSession, !in.capture_running);
  set(plan, Ctl::MicrophoneList, !in.capture_running && in.use_microphone);
  return plan;
}

}  // namespace colloquor
