// The window's command rules as a user meets them: which controls can be used in each state of
// the session, which status line follows Record, "Use microphone" and the level reports, which
// notifications count as a command, the swap and model-switch refusals, and the value labels.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/commands.h"

namespace colloquor {
namespace {

// The enabled state a control ends up with after the plan (-1: not touched).
int enabled(const EnablePlan& plan, Ctl control) { return plan[slot(control)]; }

ControlInputs at_start() { return ControlInputs{}; }

ControlInputs session_paused(bool worker_ready = true) {
  ControlInputs in;
  in.session_open = true;
  in.worker_ready = worker_ready;
  return in;
}

ControlInputs recording() {
  ControlInputs in = session_paused();
  in.capture_running = true;
  return in;
}

bool is_session_control(Ctl control) {
  return std::find(kSessionControls.begin(), kSessionControls.end(), control) !=
         kSessionControls.end();
}

// --- what is enabled when ----------------------------------------------------------------------

TEST(EnabledControls, AtStartOnlyTheMicrophoneListAndTheSessionsSideCanBeUsed) {
  const EnablePlan plan = control_enables(at_start());
  for (Ctl control : kSessionControls) {
    if (control == Ctl::MicrophoneList) continue;
    EXPECT_EQ(enabled(plan, control), 0) << slot(control);
  }
  EXPECT_EQ(enabled(plan, Ctl::MicrophoneList), 1);  // "Use microphone" is on by default
  EXPECT_EQ(enabled(plan, Ctl::Record), 0);
  EXPECT_EQ(enabled(plan, Ctl::NewSession), 1);
  // Never disabled by the rule, so a viewed session can still be copied and saved.
  for (Ctl control :
       {Ctl::SessionsList, Ctl::CopyText, Ctl::CopyTranslation, Ctl::Save, Ctl::StatusLine,
        Ctl::Spinner, Ctl::MicrophoneLevel, Ctl::SystemAudioLevel, Ctl::DownloadProgress,
        Ctl::RecognizedPanel, Ctl::TranslationPanel, Ctl::SessionsLabel}) {
    EXPECT_EQ(enabled(plan, control), -1) << slot(control);
  }
}

TEST(EnabledControls, MicrophoneListFollowsUseMicrophoneEvenWithoutASession) {
  ControlInputs in = at_start();
  in.use_microphone = false;
  EXPECT_EQ(enabled(control_enables(in), Ctl::MicrophoneList), 0);
  in = session_paused();
  in.use_microphone = false;
  EXPECT_EQ(enabled(control_enables(in), Ctl::MicrophoneList), 0);
}

TEST(EnabledControls, OpenSessionWaitsForTheWorkerBeforeRecordCanBePressed) {
  const EnablePlan waiting = control_enables(session_paused(false));
  EXPECT_EQ(enabled(waiting, Ctl::Record), 0);
  EXPECT_EQ(enabled(waiting, Ctl::Clear), 1);
  EXPECT_EQ(enabled(waiting, Ctl::SpeechLanguageList), 1);
  const EnablePlan ready = control_enables(session_paused(true));
  EXPECT_EQ(enabled(ready, Ctl::Record), 1);
  EXPECT_EQ(enabled(ready, Ctl::NewSession), 1);
}

TEST(EnabledControls, WhileRecordingTheMicrophoneChoiceAndNewSessionAreLocked) {
  const EnablePlan plan = control_enables(recording());
  EXPECT_EQ(enabled(plan, Ctl::MicrophoneList), 0);
  EXPECT_EQ(enabled(plan, Ctl::NewSession), 0);
  EXPECT_EQ(enabled(plan, Ctl::Record), 1);  // it is the Stop button now
  EXPECT_EQ(enabled(plan, Ctl::UseMicrophone), 1);
  EXPECT_EQ(enabled(plan, Ctl::GainTrackbar), 1);
}

TEST(EnabledControls, RecordingWithoutASessionFileStillCountsAsLive) {
  ControlInputs in = recording();
  in.session_open = false;
  const EnablePlan plan = control_enables(in);
  EXPECT_EQ(enabled(plan, Ctl::Record), 1);
  EXPECT_EQ(enabled(plan, Ctl::Clear), 1);
}

TEST(EnabledControls, TheWorkerEndingDisablesRecordButNotTheSession) {
  ControlInputs in = session_paused(false);
  in.translation_unavailable = true;
  const EnablePlan plan = control_enables(in);
  EXPECT_EQ(enabled(plan, Ctl::Record), 0);
  EXPECT_EQ(enabled(plan, Ctl::SpeechLanguageList), 1);
}

TEST(EnabledControls, UnavailableTranslationLocksTheTargetLanguageAndSwap) {
  ControlInputs in = session_paused();
  in.translation_unavailable = true;
  const EnablePlan plan = control_enables(in);
  EXPECT_EQ(enabled(plan, Ctl::TranslationLanguageList), 0);
  EXPECT_EQ(enabled(plan, Ctl::Swap), 0);
  EXPECT_EQ(enabled(plan, Ctl::TranslationLanguageLabel), 1);
  EXPECT_EQ(enabled(plan, Ctl::SpeechLanguageList), 1);
  EXPECT_EQ(enabled(plan, Ctl::TranslationModelList), 1);  // another model may still load
}

TEST(EnabledControls, UnavailableSpeakerDetectionLocksSeveralVoicesAndItsControls) {
  ControlInputs in = session_paused();
  in.several_voices = true;  // the stored choice stays, but has no effect
  in.speakers_unavailable = true;
  EXPECT_FALSE(diarization_in_effect(in));
  const EnablePlan plan = control_enables(in);
  EXPECT_EQ(enabled(plan, Ctl::SeveralVoices), 0);
  EXPECT_EQ(enabled(plan, Ctl::OneInterlocutor), 1);
  EXPECT_EQ(enabled(plan, Ctl::SpeakerModelList), 0);
  EXPECT_EQ(enabled(plan, Ctl::SensitivityTrackbar), 0);
  EXPECT_EQ(enabled(plan, Ctl::SensitivityValue), 1);
}

TEST(EnabledControls, DependentControlsFollowTheirSwitchesInsideASession) {
  ControlInputs in = session_paused();
  in.noise_suppression = false;
  in.use_system_audio = false;
  in.several_voices = false;
  EnablePlan plan = control_enables(in);
  EXPECT_EQ(enabled(plan, Ctl::StrengthTrackbar), 0);
  EXPECT_EQ(enabled(plan, Ctl::StrengthValue), 1);
  EXPECT_EQ(enabled(plan, Ctl::Reverse), 0);
  EXPECT_EQ(enabled(plan, Ctl::Echo), 0);
  EXPECT_EQ(enabled(plan, Ctl::SpeakerModelList), 0);
  EXPECT_EQ(enabled(plan, Ctl::SensitivityTrackbar), 0);

  in.noise_suppression = true;
  in.use_system_audio = true;
  in.several_voices = true;
  plan = control_enables(in);
  EXPECT_EQ(enabled(plan, Ctl::StrengthTrackbar), 1);
  EXPECT_EQ(enabled(plan, Ctl::Reverse), 1);
  EXPECT_EQ(enabled(plan, Ctl::Echo), 1);
  EXPECT_EQ(enabled(plan, Ctl::SpeakerModelList), 1);
  EXPECT_EQ(enabled(plan, Ctl::SensitivityTrackbar), 1);
}

TEST(EnabledControls, OptionRulesNeverWakeSessionControlsWithoutASession) {
  // "V" from the worker applies the capture options at start, before any session.
  ControlInputs in = at_start();
  in.use_system_audio = true;
  in.several_voices = true;
  in.noise_suppression = true;
  const EnablePlan plan = merge_plans(capture_option_enables(in), audio_option_enables(in));
  for (int i = 0; i < kControlCount; ++i) {
    const Ctl control = static_cast<Ctl>(i);
    if (control == Ctl::MicrophoneList) continue;
    if (is_session_control(control)) {
      EXPECT_NE(plan[i], 1) << i;
    }
  }
  EXPECT_EQ(enabled(plan, Ctl::MicrophoneList), 1);
}

TEST(EnabledControls, OptionRulesTouchOnlyTheirDependentControls) {
  const ControlInputs in = session_paused();
  std::vector<int> audio, capture;
  const EnablePlan a = audio_option_enables(in), c = capture_option_enables(in);
  for (int i = 0; i < kControlCount; ++i) {
    if (a[i] >= 0) audio.push_back(i);
    if (c[i] >= 0) capture.push_back(i);
  }
  EXPECT_EQ(audio, (std::vector<int>{slot(Ctl::StrengthTrackbar)}));
  std::vector<int> expected{slot(Ctl::MicrophoneList), slot(Ctl::SpeakerModelList),
                            slot(Ctl::Reverse), slot(Ctl::Echo), slot(Ctl::SensitivityTrackbar)};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(capture, expected);
}

TEST(EnabledControls, MergeKeepsEarlierDecisionsWhereTheLaterOneIsSilent) {
  EnablePlan earlier;
  earlier.fill(-1);
  earlier[3] = 1;
  earlier[4] = 1;
  EnablePlan later;
  later.fill(-1);
  later[4] = 0;
  later[5] = 1;
  const EnablePlan merged = merge_plans(earlier, later);
  EXPECT_EQ(merged[3], 1);
  EXPECT_EQ(merged[4], 0);
  EXPECT_EQ(merged[5], 1);
  EXPECT_EQ(merged[6], -1);
}

// --- which notification is a command ---------------------------------------------------------

TEST(CommandRouting, ListsReactOnlyToASelectionChangeCostlyChoicesAlsoToFocusAndClosing) {
  constexpr int kDropDown = 7, kKillFocus = 4, kSelChange = 1, kCloseUp = 8, kSelEndOk = 9;
  for (int id : {101, 102, 109}) {
    EXPECT_NE(command_for(id, kSelChange), Command::ignored) << id;
    EXPECT_EQ(command_for(id, kDropDown), Command::ignored) << id;
    EXPECT_EQ(command_for(id, kKillFocus), Command::ignored) << id;
  }
  for (int id : {126, 129, 130}) {
    for (int code : {kSelChange, 3, kKillFocus, kCloseUp}) {
      EXPECT_NE(command_for(id, code), Command::ignored) << id << " " << code;
    }
    EXPECT_EQ(command_for(id, kDropDown), Command::ignored) << id;
    EXPECT_EQ(command_for(id, kSelEndOk), Command::ignored) << id;
  }
  EXPECT_EQ(command_for(131, 1), Command::sessions_list);
  EXPECT_EQ(command_for(131, 4), Command::ignored);  // LBN_SETFOCUS
}

// Notifications as a list sends them: 3 focus, 1 selection change, 8 closed up, 4 focus lost.
TEST(ListChoice, OnlyACompletedChangeIsActedOn) {
  ListChoice keys;  // arrows in the closed list, then TAB away
  EXPECT_EQ(list_choice_step(keys, 3, 0, false, true), ListStep::nothing);
  EXPECT_EQ(list_choice_step(keys, 1, 1, false, true), ListStep::nothing);
  EXPECT_EQ(list_choice_step(keys, 1, 2, false, true), ListStep::nothing);
  EXPECT_EQ(list_choice_step(keys, 4, 2, false, false), ListStep::act);
  // Back to the list, down and up again, away: nothing changed.
  EXPECT_EQ(list_choice_step(keys, 3, 2, false, true), ListStep::nothing);
  EXPECT_EQ(list_choice_step(keys, 1, 3, false, true), ListStep::nothing);
  EXPECT_EQ(list_choice_step(keys, 1, 2, false, true), ListStep::nothing);
  EXPECT_EQ(list_choice_step(keys, 4, 2, false, false), ListStep::nothing);

  // A click on an item of the open list: closing completes it, whether the selection change is
  // reported before the list closes or after; leaving the list later adds nothing.
  for (bool change_first : {true, false}) {
    ListChoice mouse;
    list_choice_step(mouse, 3, 0, false, true);
    if (change_first) {
      EXPECT_EQ(list_choice_step(mouse, 1, 1, true, true), ListStep::nothing);
    }
    EXPECT_EQ(list_choice_step(mouse, 8, 1, false, true), ListStep::act);
    if (!change_first) {
      EXPECT_EQ(list_choice_step(mouse, 1, 1, false, true), ListStep::nothing);
    }
    EXPECT_EQ(list_choice_step(mouse, 4, 1, false, false), ListStep::nothing);
  }

  // The wheel over a list without the focus: the list takes the focus, keeps where the user
  // came from, and leaving completes the choice.
  ListChoice wheel;
  list_choice_step(wheel, 3, 0, false, true);
  list_choice_step(wheel, 4, 0, false, false);
  EXPECT_EQ(list_choice_step(wheel, 1, 1, false, false), ListStep::take_focus);
  EXPECT_EQ(list_choice_step(wheel, 3, 1, false, true), ListStep::nothing);
  EXPECT_EQ(list_choice_step(wheel, 1, 2, false, true), ListStep::nothing);
  EXPECT_EQ(list_choice_step(wheel, 4, 2, false, false), ListStep::act);
}

TEST(CommandRouting, ButtonsReactToAnyNotification) {
  for (int notification : {0, 5, 6}) {
    EXPECT_EQ(command_for(103, notification), Command::record);
    EXPECT_EQ(command_for(133, notification), Command::new_session);
    EXPECT_EQ(command_for(119, notification), Command::system_audio);
  }
}

TEST(CommandRouting, EveryControlIdHasItsCommand) {
  EXPECT_EQ(command_for(101, 1), Command::microphone_list);
  EXPECT_EQ(command_for(102, 1), Command::language_list);
  EXPECT_EQ(command_for(109, 1), Command::language_list);
  EXPECT_EQ(command_for(104, 0), Command::clear);
  EXPECT_EQ(command_for(105, 0), Command::copy_text);
  EXPECT_EQ(command_for(111, 0), Command::copy_translation);
  EXPECT_EQ(command_for(110, 0), Command::swap);
  EXPECT_EQ(command_for(113, 0), Command::save);
  for (int id : {116, 117, 118}) EXPECT_EQ(command_for(id, 0), Command::audio_option) << id;
  for (int id : {120, 121, 122, 123}) EXPECT_EQ(command_for(id, 0), Command::capture_option) << id;
  EXPECT_EQ(command_for(126, 1), Command::output_device);
  EXPECT_EQ(command_for(128, 0), Command::use_microphone);
  EXPECT_EQ(command_for(129, 1), Command::speaker_model);
  EXPECT_EQ(command_for(130, 1), Command::translation_model);
}

TEST(CommandRouting, ControlsWithoutCommandAreAnsweredUnknownIdsAreNot) {
  for (int id : {106, 107, 108, 112, 114, 115, 124, 125, 127, 132}) {
    EXPECT_EQ(command_for(id, 0), Command::ignored) << id;
  }
  for (int id : {0, 2, 100, 134, 40000}) EXPECT_EQ(command_for(id, 0), Command::unknown) << id;
  EXPECT_EQ(command_for(1, 0), Command::enter_key);  // IDOK from the dialog manager
}

// --- status lines --------------------------------------------------------------------------------

TEST(StatusTexts, RecordOutcome) {
  EXPECT_EQ(record_status(true, true, true),
            u"Recording: listening to you and to the other side...");
  EXPECT_EQ(record_status(true, false, true), u"Recording... speak now.");
  EXPECT_EQ(record_status(false, false, true), u"Could not open the microphone.");
  EXPECT_EQ(record_status(false, false, false),
            u"Nothing to capture: enable the microphone or the system audio.");
}

TEST(StatusTexts, MicrophoneToggleWhileRecording) {
  EXPECT_EQ(microphone_toggle_status(true, true), u"Microphone on.");
  EXPECT_EQ(microphone_toggle_status(true, false),
            u"Microphone off - listening to the system audio only.");
  EXPECT_EQ(microphone_toggle_status(false, false),
            u"Nothing to capture: enable the microphone or the system audio.");
}

TEST(StatusTexts, NewSessionKeepsTheReasonWhyRecordingIsUnavailable) {
  EXPECT_EQ(new_session_status(true, false, false, u""),
            u"New session opened. Press Record to start.")
      << "still starting: Record will come";
  EXPECT_EQ(new_session_status(true, true, true, u""),
            u"New session opened. Press Record to start.");
  EXPECT_EQ(new_session_status(true, true, false, u"Python 3.10+ is required."),
            u"Python 3.10+ is required.");
  EXPECT_EQ(new_session_status(false, true, false, u"Python 3.10+ is required."),
            u"Could not create the session file (is the program folder writable?).");
}

TEST(StatusTexts, DroppedAudioIsToldOncePerGrowingSecondWhileItLasts) {
  DroppedAudioStatus status;
  EXPECT_EQ(dropped_audio_status(status, DroppedAudio{0, 0, false}), std::nullopt);
  EXPECT_EQ(dropped_audio_status(status, DroppedAudio{1, 3200, true}),
            std::optional<std::u16string>(
                u"The recognizer is falling behind: audio is being dropped (1 s so far)."));
  EXPECT_EQ(dropped_audio_status(status, DroppedAudio{5, 16000, true}), std::nullopt);
  EXPECT_TRUE(dropped_audio_status(status, DroppedAudio{11, 35200, true}).has_value());
  EXPECT_EQ(dropped_audio_status(status, DroppedAudio{11, 35200, false}), std::nullopt);
  EXPECT_TRUE(dropped_audio_status(status, DroppedAudio{12, 38400, true}).has_value())
      << "a new episode is told again";
}

TEST(StatusTexts, LoopbackFailureCarriesTheReason) {
  EXPECT_EQ(loopback_failed_status(u"no device"),
            u"System audio capture failed: no device. Microphone capture continues.");
}

TEST(StatusTexts, StartupProblemsNameTheirErrorAndWhatIsMissing) {
  EXPECT_EQ(rich_edit_missing_status(126),
            u"Could not load Msftedit.dll (error 126): the transcript panels cannot be shown.");
  EXPECT_EQ(com_unavailable_status(0x8000FFFFu),
            u"Could not initialise COM (error 0x8000FFFF): the output devices cannot be listed.");
}

TEST(ValueLabels, GainIsSignedStrengthAndSensitivityArePercent) {
  EXPECT_EQ(gain_label(0), u"+0 dB");
  EXPECT_EQ(gain_label(-10), u"-10 dB");
  EXPECT_EQ(gain_label(30), u"+30 dB");
  EXPECT_EQ(strength_label(50), u"strength 50%");
  EXPECT_EQ(strength_label(0), u"strength 0%");
  EXPECT_EQ(sensitivity_label(60), u"60%");
  EXPECT_EQ(sensitivity_label(100), u"100%");
}

// --- swap and model switch -------------------------------------------------------------------

TEST(Swap, NeedsAConcreteLanguageOnBothSides) {
  EXPECT_FALSE(swap_allowed(0, 2));   // Auto
  EXPECT_FALSE(swap_allowed(1, 0));   // No translation
  EXPECT_FALSE(swap_allowed(-1, 2));  // nothing selected
  EXPECT_FALSE(swap_allowed(1, -1));
  EXPECT_TRUE(swap_allowed(1, 2));
  EXPECT_TRUE(swap_allowed(8, 8));
}

TEST(ModelSwitch, OnlyAnotherCatalogEntryIsSwitchedToAndAPendingSwitchCanBeUndone) {
  const std::vector<ModelEntry> catalog = {{u"resnet34", u"ResNet34", 25, true},
                                           {u"campp", u"CAM++", 28, false},
                                           {u"titanet", u"TitaNet", 90, false}};
  auto target = [&](int index, std::u16string_view active, std::u16string_view chosen,
                    bool switching) {
    return model_switch_target(catalog, index, active, chosen, switching);
  };
  const std::optional<std::u16string> nothing;
  EXPECT_EQ(target(1, u"resnet34", u"resnet34", false), u"campp");
  EXPECT_EQ(target(0, u"resnet34", u"resnet34", false), nothing);  // already active
  EXPECT_EQ(target(-1, u"resnet34", u"resnet34", false), nothing);
  EXPECT_EQ(target(3, u"resnet34", u"resnet34", false), nothing);
  EXPECT_EQ(model_switch_target({}, 0, u"", u"", false), nothing);
  // Nothing active yet (loading failed): any entry is a switch, also the one chosen before.
  EXPECT_EQ(target(0, u"", u"resnet34", false), u"resnet34");
  // campp is on its way: picking it again sends nothing, another one or the active one is sent.
  EXPECT_EQ(target(1, u"resnet34", u"campp", true), nothing);
  EXPECT_EQ(target(2, u"resnet34", u"campp", true), u"titanet");
  EXPECT_EQ(target(0, u"resnet34", u"campp", true), u"resnet34");
  EXPECT_EQ(target(0, u"resnet34", u"resnet34", true), nothing);  // the other list is switching
}

// --- level reports and the speech state ----------------------------------------------------------

TEST(LevelReports, ChannelInBitOneSpeechInBitZero) {
  EXPECT_EQ(decode_level_report(0).channel, 0);
  EXPECT_FALSE(decode_level_report(0).speech);
  EXPECT_EQ(decode_level_report(1).channel, 0);
  EXPECT_TRUE(decode_level_report(1).speech);
  EXPECT_EQ(decode_level_report(2).channel, 1);
  EXPECT_FALSE(decode_level_report(2).speech);
  EXPECT_EQ(decode_level_report(3).channel, 1);
  EXPECT_TRUE(decode_level_report(3).speech);
}

TEST(SpeechState, StatusChangesOnlyWhenTheCombinedStateChanges) {
  SpeechStatus status;
  EXPECT_EQ(speech_status_after(status, {0, false}, true, false),
            std::optional<std::u16string>(u"Listening... speak now."));
  EXPECT_EQ(speech_status_after(status, {0, false}, true, false), std::nullopt);
  EXPECT_EQ(speech_status_after(status, {0, true}, true, true),
            std::optional<std::u16string>(u"Hearing you..."));
  EXPECT_EQ(speech_status_after(status, {1, true}, true, true),
            std::optional<std::u16string>(u"Hearing both sides..."));
  EXPECT_EQ(speech_status_after(status, {0, false}, true, true),
            std::optional<std::u16string>(u"Hearing the other side..."));
  EXPECT_EQ(speech_status_after(status, {1, false}, true, true),
            std::optional<std::u16string>(u"Listening to you and to the other side..."));
}

TEST(SpeechState, FlagsAreKeptButNothingIsShownWhileNotRecording) {
  SpeechStatus status;
  EXPECT_EQ(speech_status_after(status, {0, true}, false, false), std::nullopt);
  EXPECT_TRUE(status.speech[0]);
  EXPECT_EQ(status.last_shown, -1);
  // The first report of a recording shows the state built from both stored flags.
  EXPECT_EQ(speech_status_after(status, {1, true}, true, true),
            std::optional<std::u16string>(u"Hearing both sides..."));
}

TEST(SpeechState, AChannelThatStopsCapturingHearsNobody) {
  SpeechStatus status;
  speech_status_after(status, {0, false}, true, false);
  EXPECT_EQ(speech_status_after(status, {1, true}, true, true),
            std::optional<std::u16string>(u"Hearing the other side..."));
  EXPECT_EQ(speech_status_after_stop(status, 1, true, false),
            std::optional<std::u16string>(u"Listening... speak now."));
  EXPECT_FALSE(status.speech[1]);
  EXPECT_EQ(speech_status_after_stop(status, 0, false, false), std::nullopt) << "nothing records";
}

TEST(SpeechState, LastShownStateSurvivesASecondRecording) {
  SpeechStatus status;
  EXPECT_TRUE(speech_status_after(status, {0, false}, true, false).has_value());
  // Stop, then Record again: quiet blocks do not bring "Listening... speak now." back.
  EXPECT_EQ(speech_status_after(status, {0, false}, false, false), std::nullopt);
  EXPECT_EQ(speech_status_after(status, {0, false}, true, false), std::nullopt);
  EXPECT_TRUE(speech_status_after(status, {0, true}, true, false).has_value());
}

}  // namespace
}  // namespace colloquor
