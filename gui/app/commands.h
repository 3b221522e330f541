// The window's command side: what the controls do, the recording and session state that decides
// which controls are usable, and the options frame. The rules are portable (this header and
// commands.cpp); the handlers that read and change the real controls are in commands_win32.cpp.
// Everything here runs on the window thread, except that the capture threads read the live values.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/control_ids.h"
#include "app/worker_messages.h"
#include "worker_link/frame_queue.h"

namespace colloquor {

// ---- Operations on the real window (commands_win32.cpp) -------------------------------------

// Copies gain, strength and the three conditioning switches from the controls into the live
// values and their value labels; saves the settings when asked.
void apply_audio_options(bool save);

// Copies the capture and speaker switches and the sensitivity into the live values, refines what
// is enabled, sends the options while the worker is ready; saves the settings when asked.
void apply_capture_options(bool save);

// Sends the options frame "L" built from the language lists and the live values.
void send_options();

// Recomputes which controls are enabled from the session, capture and worker state.
void update_controls();

// ---- Live values the window owns besides the audio ones --------------------------------------

// The speaker and direction switches: written by the window with atomic exchanges like the audio
// values (live_options.h) and "Use microphone" (micon, capture_control.h), read for the options
// frame. Their first values are those of a first start.
struct LiveSpeakerOptions {
  std::atomic<std::int32_t> rev{1};      // the other side speaks the translation language
  std::atomic<std::int32_t> diarize{0};  // several voices, with speaker detection available
  std::atomic<std::int32_t> sens2{60};   // speaker sensitivity, 0 to 100
};
extern LiveSpeakerOptions live_speaker_options;

// ---- Status texts -----------------------------------------------------------------------------

inline constexpr char16_t kStatusPaused[] =
    u"Paused. Press Record to continue this session, or start a new one.";
inline constexpr char16_t kStatusRecordingBothSides[] =
    u"Recording: listening to you and to the other side...";
inline constexpr char16_t kStatusRecordingMicrophone[] = u"Recording... speak now.";
inline constexpr char16_t kStatusMicrophoneFailed[] = u"Could not open the microphone.";
inline constexpr char16_t kStatusNothingToCapture[] =
    u"Nothing to capture: enable the microphone or the system audio.";
inline constexpr char16_t kStatusMicrophoneOn[] = u"Microphone on.";
inline constexpr char16_t kStatusMicrophoneOff[] =
    u"Microphone off - listening to the system audio only.";
inline constexpr char16_t kStatusSwapRefused[] =
    u"Swap works when both languages are concrete (not \"Auto\" and not \"No translation\").";
inline constexpr char16_t kStatusSwitchingSpeakerModel[] = u"Switching the speaker model...";
inline constexpr char16_t kStatusSwitchingTranslationModel[] =
    u"Switching the translation model...";
inline constexpr char16_t kStatusSessionOpened[] = u"New session opened. Press Record to start.";
inline constexpr char16_t kStatusSessionNotCreated[] =
    u"Could not create the session file (is the program folder writable?).";
inline constexpr char16_t kStatusHearingYou[] = u"Hearing you...";
inline constexpr char16_t kStatusHearingOtherSide[] = u"Hearing the other side...";
inline constexpr char16_t kStatusHearingBoth[] = u"Hearing both sides...";
inline constexpr char16_t kStatusListeningBothSides[] =
    u"Listening to you and to the other side...";
inline constexpr char16_t kStatusListeningMicrophone[] = u"Listening... speak now.";
inline constexpr char16_t kStatusSavingFailed[] =
    u"Could not write the session file (is the disk full?). The lines stay on screen and are "
    u"saved as soon as there is room.";
inline constexpr char16_t kStatusSavingResumed[] = u"The session file is saved again.";
inline constexpr char16_t kLoopbackFailedPrefix[] = u"System audio capture failed: ";
inline constexpr char16_t kLoopbackFailedSuffix[] = u". Microphone capture continues.";

// After Record: the outcome of start_capture.
std::u16string record_status(bool started, bool use_system_audio, bool use_microphone);
// After "Use microphone" was toggled while recording: the outcome of the restart.
std::u16string microphone_toggle_status(bool started, bool use_microphone);
std::u16string loopback_failed_status(std::u16string_view reason);
// Problems met while the window is made, shown with the recognizer's start: Msftedit.dll did not
// load (`error`, the Win32 error), so the transcript panels do not exist; COM could not be set up
// on the window thread (`result`, the HRESULT), so no output device can be listed.
std::u16string rich_edit_missing_status(std::uint32_t error);
std::u16string com_unavailable_status(std::uint32_t result);
// After "+ New session": opened or not; once the recognizer has failed to start or has stopped,
// Record stays unusable for the run, and its reason stays the explanation on screen.
std::u16string new_session_status(bool opened, bool startup_finished, bool worker_ready,
                                  std::u16string_view stopped_reason);

// While the worker does not keep up and audio is being dropped, one status line says so; its count
// of seconds is refreshed as it grows. Returns the text when it is to be shown (again).
struct DroppedAudioStatus {
  std::uint64_t shown_seconds = 0;
  bool shown = false;
};
std::optional<std::u16string> dropped_audio_status(DroppedAudioStatus& status,
                                                   const DroppedAudio& dropped);

// ---- Value labels -----------------------------------------------------------------------------

std::u16string gain_label(std::int32_t gain_db);         // "+0 dB", "-10 dB", "+30 dB"
std::u16string strength_label(std::int32_t strength);    // "strength 50%"
std::u16string sensitivity_label(std::int32_t percent);  // "60%"

// ---- Which WM_COMMAND does what ---------------------------------------------------------------

enum class Command {
  unknown,  // not a control of this window: the default window procedure answers
  ignored,  // a control without a command, or a notification its control does not react to
  microphone_list,
  language_list,
  record,
  clear,
  copy_text,
  copy_translation,
  swap,
  save,
  audio_option,
  system_audio,
  capture_option,
  output_device,
  use_microphone,
  speaker_model,
  translation_model,
  sessions_list,
  new_session,
  enter_key,  // Enter, which the dialog manager turns into IDOK: presses the focused button
};

// Notification codes the lists react to (the values of CBN_SELCHANGE and LBN_SELCHANGE), and the
// ones that complete a choice in a drop-down list (CBN_SETFOCUS, CBN_KILLFOCUS, CBN_CLOSEUP).
inline constexpr int kComboSelectionChanged = 1;
inline constexpr int kListSelectionChanged = 1;
inline constexpr int kComboFocusGained = 3;
inline constexpr int kComboFocusLost = 4;
inline constexpr int kComboClosedUp = 8;
// What IsDialogMessage sends for Enter when no button is the default one (IDOK).
inline constexpr int kIdEnterKey = 1;

// The command of a WM_COMMAND with this control id and notification code: the lists react only to
// a selection change, except the two model lists and the output device list, which also hear
// their focus and closing notifications (see ListChoice); buttons react to any notification.
Command command_for(int control_id, int notification);

// ---- Completed choices in drop-down lists -------------------------------------------------------

// In a closed drop-down list every arrow key or wheel step selects the next item. For the lists
// whose choice costs something (a model switch may download gigabytes, a new output device
// restarts system-audio capture) only a completed choice counts: the list closed with another
// item than the one it had when the user came to it, or the user left the list after changing it.
struct ListChoice {
  int settled = -1;          // the selection the user came to the list with
  bool focus_taken = false;  // the program gave the list the focus: keep `settled` as it is
};

enum class ListStep {
  nothing,
  act,         // the choice is complete: act on the list's selection
  take_focus,  // changed by the wheel without the focus: give the list the focus, so that leaving
               // it completes the choice
};

// The step for one notification of the list, with its selection at that moment.
ListStep list_choice_step(ListChoice& choice, int notification, int selection, bool dropped_down,
                          bool has_focus);

// ---- Swap and model switch ----------------------------------------------------------------------

// Swap needs a concrete language on both sides (list positions 1 to 8).
bool swap_allowed(int speech_selection, int translation_selection);

// The model id to send when the user picks item `index` of a model list, or nothing: for an index
// outside the catalog, for the model that is already active, and for the one already on its way.
// Picking the active model while another one is being switched to goes back to it: the worker
// returns to the model sent last once its running load ends.
std::optional<std::u16string> model_switch_target(const std::vector<ModelEntry>& catalog, int index,
                                                  std::u16string_view active_id,
                                                  std::u16string_view chosen_id, bool switching);

// ---- Capture levels and the speech state -------------------------------------------------------

// Second parameter of WM_AUDIO_LEVEL: channel in bit 1, speech flag in bit 0.
struct LevelReport {
  int channel = 0;
  bool speech = false;
};
LevelReport decode_level_report(std::intptr_t lparam);

// The last speech flag of each channel and the combined state last shown in the status line
// (-1: none yet). Kept for the whole run, also across recordings.
struct SpeechStatus {
  std::array<bool, 2> speech{};
  int last_shown = -1;
};

// Stores the report's flag; while capture runs, returns the status text when the combined state
// (channel 0 + 2 x channel 1) differs from the last one shown, and remembers it.
std::optional<std::u16string> speech_status_after(SpeechStatus& status, LevelReport report,
                                                  bool capture_running, bool use_system_audio);
// A channel whose capture stopped hears nobody: its flag is cleared, and while the other channel
// still records, the status text of the new combined state is returned as above.
std::optional<std::u16string> speech_status_after_stop(SpeechStatus& status, int channel,
                                                       bool capture_running, bool use_system_audio);

// ---- What is enabled when -----------------------------------------------------------------------

// Everything the enabled state of the controls depends on.
struct ControlInputs {
  bool session_open = false;
  bool capture_running = false;
  bool worker_ready = false;
  bool translation_unavailable = false;
  bool speakers_unavailable = false;
  bool use_microphone = true;     // "Use microphone" ticked (micon)
  bool use_system_audio = false;  // "Capture the other side" ticked (sys)
  bool noise_suppression = true;  // "Noise suppression" ticked (ns)
  bool several_voices = false;    // "Several (detect voices)" chosen
};

// Per control (creation slot): 1 enable, 0 disable, -1 leave as it is.
using EnablePlan = std::array<std::int8_t, kControlCount>;

// The session controls: usable only while a session is open or capture runs.
inline constexpr std::array<Ctl, 30> kSessionControls = {
    Ctl::MicrophoneLabel,
    Ctl::MicrophoneList,
    Ctl::UseMicrophone,
    Ctl::OutputDeviceLabel,
    Ctl::OutputDeviceList,
    Ctl::SpeechLanguageLabel,
    Ctl::SpeechLanguageList,
    Ctl::Swap,
    Ctl::TranslationLanguageLabel,
    Ctl::TranslationLanguageList,
    Ctl::TranslationModelLabel,
    Ctl::TranslationModelList,
    Ctl::Clear,
    Ctl::GainLabel,
    Ctl::GainTrackbar,
    Ctl::GainValue,
    Ctl::Agc,
    Ctl::NoiseSuppression,
    Ctl::StrengthTrackbar,
    Ctl::StrengthValue,
    Ctl::Boost,
    Ctl::SystemAudio,
    Ctl::Reverse,
    Ctl::Echo,
    Ctl::OneInterlocutor,
    Ctl::SeveralVoices,
    Ctl::SensitivityTrackbar,
    Ctl::SensitivityValue,
    Ctl::SpeakerModelLabel,
    Ctl::SpeakerModelList,
};

// A session is live while its file is open or capture runs.
bool session_live(const ControlInputs& in);
// diarize: several voices chosen and speaker detection available.
bool diarization_in_effect(const ControlInputs& in);

// What apply_audio_options changes: the strength trackbar follows noise suppression.
EnablePlan audio_option_enables(const ControlInputs& in);
// What apply_capture_options changes: the microphone list, the speaker model list, the two
// system-audio check boxes and the sensitivity trackbar follow their switches.
EnablePlan capture_option_enables(const ControlInputs& in);
// The whole of update_controls.
EnablePlan control_enables(const ControlInputs& in);

// Applies `later` over `earlier` (later decisions win).
EnablePlan merge_plans(EnablePlan earlier, const EnablePlan& later);

}  // namespace colloquor
