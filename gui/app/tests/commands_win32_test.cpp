// The user's commands on the real window under Wine: buttons pressed with BM_CLICK, lists and
// trackbars notifying as they do when used, the frames that reach the worker's input pipe, the
// status line, what is enabled, and settings.ini as it is on disk after every change and at the
// next start.
#include "app/tests/window_run.h"

#include <commdlg.h>
#include <dlgs.h>

#include "transcript/history.h"

namespace colloquor {
namespace {

std::vector<Frame> options(const char* payload) { return {Frame{'L', payload}}; }

// --- first start and the session -----------------------------------------------------------------

TEST(Commands, FirstStartWritesOnlyTheVersionAndOffersOnlyNewSession) {
  const std::wstring folder = temp_folder(L"first");
  DeleteFileW((folder + L"\\settings.ini").c_str());
  ParlivoRun run(folder);
  const SettingsOnDisk disk = run.settings();
  EXPECT_TRUE(disk.utf16);
  EXPECT_EQ(disk.sections, std::vector<std::wstring>{L"app"});
  ASSERT_EQ(disk.app.size(), 1u);
  EXPECT_EQ(disk.app[0], (std::pair<std::wstring, std::wstring>{L"v", L"2"}));

  EXPECT_EQ(run.text(kIdSpeechLanguageList), L"Russian");
  EXPECT_EQ(run.text(kIdTranslationLanguageList), L"English");
  EXPECT_FALSE(run.enabled(kIdClearButton));
  EXPECT_FALSE(run.enabled(kIdSpeechLanguageList));
  EXPECT_FALSE(run.enabled(kIdGainTrackbar));
  EXPECT_TRUE(run.enabled(kIdMicrophoneList));
  EXPECT_TRUE(run.enabled(kIdNewSessionButton));
  EXPECT_TRUE(run.enabled(kIdCopyTextButton));
  EXPECT_FALSE(run.enabled(kIdRecordButton));

  // The worker becoming ready sends the options but cannot enable Record without a session.
  run.worker_ready();
  EXPECT_EQ(frames_sent(), options("ru|en|1|0|60"));
  EXPECT_FALSE(run.enabled(kIdRecordButton));
  EXPECT_EQ(run.settings().app.size(), 1u) << "nothing is saved without a change";
}

TEST(Commands, NewSessionResetsVoicesOpensAFileAndUnlocksTheSession) {
  ParlivoRun run(temp_folder(L"session"));
  run.click(kIdNewSessionButton);
  EXPECT_EQ(frames_sent(), (std::vector<Frame>{{'R', ""}}));
  EXPECT_TRUE(window_state.session_open);
  EXPECT_TRUE(session_file_open());
  EXPECT_EQ(run.status(), L"New session opened. Press Record to start.");
  EXPECT_TRUE(run.enabled(kIdClearButton));
  EXPECT_TRUE(run.enabled(kIdSpeechLanguageList));
  EXPECT_TRUE(run.enabled(kIdStrengthTrackbar));  // noise suppression is on
  EXPECT_FALSE(run.enabled(kIdReverseCheck));     // system audio is off
  EXPECT_FALSE(run.enabled(kIdSensitivityTrackbar));
  EXPECT_FALSE(run.enabled(kIdRecordButton)) << "the worker is not ready yet";

  run.worker_ready();
  EXPECT_TRUE(run.enabled(kIdRecordButton));
  EXPECT_EQ(frames_sent(), (std::vector<Frame>{{'L', "ru|en|1|0|60"}, {'L', "ru|en|1|0|60"}}))
      << "the ready transition and update_controls each send the options";
}

TEST(Commands, RecordAndStopWithTheVirtualMicrophone) {
  ParlivoRun run(temp_folder(L"record"));
  run.click(kIdNewSessionButton);
  run.worker_ready();
  frames_sent();

  run.click(kIdRecordButton);
  ASSERT_TRUE(capture_running()) << "the PulseAudio monitor is the default microphone";
  EXPECT_EQ(run.status(), L"Recording... speak now.");
  EXPECT_FALSE(run.enabled(kIdNewSessionButton));
  EXPECT_FALSE(run.enabled(kIdMicrophoneList));
  EXPECT_TRUE(run.enabled(kIdRecordButton));

  // "+ New session" while recording (e.g. a click that was queued) changes nothing.
  SendMessageW(run.window(), WM_COMMAND, MAKEWPARAM(kIdNewSessionButton, BN_CLICKED),
               reinterpret_cast<LPARAM>(run.item(kIdNewSessionButton)));
  EXPECT_TRUE(capture_running());
  EXPECT_EQ(run.status(), L"Recording... speak now.");

  run.click(kIdRecordButton);
  EXPECT_FALSE(capture_running());
  EXPECT_EQ(run.status(), L"Paused. Press Record to continue this session, or start a new one.");
  EXPECT_TRUE(run.enabled(kIdNewSessionButton));
  EXPECT_TRUE(run.enabled(kIdMicrophoneList));
  EXPECT_TRUE(window_state.session_open) << "stopping keeps the session";
}

TEST(Commands, NothingToCaptureLeavesTheSessionPaused) {
  ParlivoRun run(temp_folder(L"nothing"));
  run.click(kIdNewSessionButton);
  run.worker_ready();
  run.click(kIdUseMicrophoneCheck);  // off; system audio is off too
  EXPECT_FALSE(run.checked(kIdUseMicrophoneCheck));
  EXPECT_FALSE(run.enabled(kIdMicrophoneList));
  EXPECT_EQ(run.settings().value(L"micon"), L"0");

  run.click(kIdRecordButton);
  EXPECT_FALSE(capture_running());
  EXPECT_EQ(run.status(), L"Nothing to capture: enable the microphone or the system audio.");
  EXPECT_TRUE(run.enabled(kIdRecordButton));
  EXPECT_TRUE(run.enabled(kIdNewSessionButton));
}

TEST(Commands, MicrophoneSwitchedOffWhileRecordingStopsWhenNothingIsLeft) {
  ParlivoRun run(temp_folder(L"micoff"));
  run.click(kIdNewSessionButton);
  run.worker_ready();
  run.click(kIdRecordButton);
  ASSERT_TRUE(capture_running());
  run.click(kIdUseMicrophoneCheck);
  EXPECT_FALSE(capture_running());
  EXPECT_EQ(run.status(), L"Nothing to capture: enable the microphone or the system audio.");
  run.click(kIdUseMicrophoneCheck);  // on again, while paused: nothing starts by itself
  EXPECT_FALSE(capture_running());
  EXPECT_TRUE(run.enabled(kIdMicrophoneList));
}

TEST(Commands, SystemAudioDuringRecordingStartsOnlyTheLoopbackWhoseFailureIsReported) {
  ParlivoRun run(temp_folder(L"loopback"));
  run.click(kIdNewSessionButton);
  run.worker_ready();
  run.click(kIdRecordButton);
  ASSERT_TRUE(capture_running());
  frames_sent();

  run.click(kIdSystemAudioCheck);
  EXPECT_TRUE(run.enabled(kIdReverseCheck));
  EXPECT_TRUE(run.enabled(kIdEchoCheck));
  EXPECT_EQ(frames_sent(), options("ru|en|1|0|60"));
  // Wine's loopback stream cannot hand out a capture client, so the thread reports a failure.
  const std::wstring prefix = L"System audio capture failed: ";
  const bool reported = run.pump_until([&] {
    const std::wstring status = run.status();
    return status.rfind(prefix, 0) == 0;
  });
  ASSERT_TRUE(reported) << "status: " << std::string(run.status().begin(), run.status().end());
  const std::wstring status = run.status();
  EXPECT_GT(status.size(), prefix.size() + std::wstring(L". Microphone capture continues.").size());
  EXPECT_EQ(status.substr(status.size() - 31), L". Microphone capture continues.");
  EXPECT_TRUE(capture_running()) << "the microphone goes on";
  EXPECT_FALSE(loopback_running());
  EXPECT_TRUE(run.checked(kIdSystemAudioCheck));

  run.click(kIdSystemAudioCheck);  // off again: the loopback part alone stops
  EXPECT_TRUE(capture_running());
  EXPECT_FALSE(run.enabled(kIdReverseCheck));
  EXPECT_EQ(run.settings().value(L"sys"), L"0");
  run.click(kIdRecordButton);
}

// --- options frames and settings at each change ------------------------------------------------

TEST(Commands, OptionChangesSendTheOptionsAndRewriteTheWholeSection) {
  const std::wstring folder = temp_folder(L"options");
  DeleteFileW((folder + L"\\settings.ini").c_str());
  ParlivoRun run(folder);
  run.click(kIdNewSessionButton);
  run.worker_ready();
  frames_sent();

  run.choose(kIdSpeechLanguageList, 2);  // English
  EXPECT_EQ(frames_sent(), options("en|en|1|0|60"));
  SettingsOnDisk disk = run.settings();
  EXPECT_TRUE(disk.utf16);
  std::vector<std::wstring> keys;
  for (const auto& entry : disk.app) keys.push_back(entry.first);
  EXPECT_EQ(keys,
            (std::vector<std::wstring>{L"v", L"mic", L"src", L"tgt", L"gain", L"ns", L"nsv", L"agc",
                                       L"boost", L"sysdev", L"spkmodel", L"trmodel", L"micon",
                                       L"sys", L"rev", L"echo", L"diar", L"sens2"}));
  EXPECT_EQ(disk.value(L"mic"), L"System default");
  EXPECT_EQ(disk.value(L"src"), L"2");
  EXPECT_EQ(disk.value(L"tgt"), L"2");
  EXPECT_EQ(disk.value(L"gain"), L"10");
  EXPECT_EQ(disk.value(L"sysdev"), L"");
  EXPECT_EQ(disk.value(L"sens2"), L"60");

  run.choose(kIdTranslationLanguageList, 0);  // No translation
  EXPECT_EQ(frames_sent(), options("en|none|1|0|60"));
  EXPECT_EQ(run.settings().value(L"tgt"), L"0");

  run.click(kIdSeveralVoicesRadio);
  EXPECT_TRUE(run.enabled(kIdSensitivityTrackbar));
  EXPECT_TRUE(run.enabled(kIdSpeakerModelList));
  EXPECT_EQ(frames_sent(), options("en|none|1|1|60"));
  EXPECT_EQ(run.settings().value(L"diar"), L"1");

  run.click(kIdNoiseSuppressionCheck);  // audio options do not concern the worker
  EXPECT_TRUE(frames_sent().empty());
  EXPECT_FALSE(run.enabled(kIdStrengthTrackbar));
  EXPECT_EQ(run.settings().value(L"ns"), L"0");

  run.choose(kIdSpeechLanguageList, 0);  // Auto
  EXPECT_EQ(frames_sent(), options("auto|none|1|1|60"));
}

TEST(Commands, SwapExchangesConcreteLanguagesAndRefusesAuto) {
  ParlivoRun run(temp_folder(L"swap"));
  run.click(kIdNewSessionButton);
  run.worker_ready();
  frames_sent();

  run.click(kIdSwapButton);
  EXPECT_EQ(run.text(kIdSpeechLanguageList), L"English");
  EXPECT_EQ(run.text(kIdTranslationLanguageList), L"Russian");
  EXPECT_EQ(frames_sent(), options("en|ru|1|0|60"));
  EXPECT_EQ(run.settings().value(L"src"), L"2");
  EXPECT_EQ(run.settings().value(L"tgt"), L"1");

  run.choose(kIdSpeechLanguageList, 0);
  frames_sent();
  const std::wstring saved_tgt = run.settings().value(L"tgt");
  run.click(kIdSwapButton);
  EXPECT_EQ(
      run.status(),
      L"Swap works when both languages are concrete (not \"Auto\" and not \"No translation\").");
  EXPECT_EQ(run.selection(kIdSpeechLanguageList), 0);
  EXPECT_EQ(run.selection(kIdTranslationLanguageList), 1);
  EXPECT_TRUE(frames_sent().empty());
  EXPECT_EQ(run.settings().value(L"tgt"), saved_tgt);
}

TEST(Commands, DraggingTheGainFollowsTheThumbAndSavesOnRelease) {
  ParlivoRun run(temp_folder(L"gain"));
  run.click(kIdNewSessionButton);
  run.click(kIdAgcCheck);  // a first save, so that the file holds "gain"
  ASSERT_EQ(run.settings().value(L"gain"), L"10");

  run.slide(kIdGainTrackbar, 7, TB_THUMBTRACK);
  EXPECT_EQ(run.label(Ctl::GainValue), L"+7 dB");
  run.slide(kIdGainTrackbar, -4, TB_THUMBTRACK);
  EXPECT_EQ(run.label(Ctl::GainValue), L"-4 dB");
  EXPECT_EQ(run.settings().value(L"gain"), L"10") << "not written while dragging";
  run.slide(kIdGainTrackbar, -4, TB_THUMBPOSITION);
  EXPECT_EQ(run.settings().value(L"gain"), L"10");
  run.slide(kIdGainTrackbar, -4, TB_ENDTRACK);
  EXPECT_EQ(run.settings().value(L"gain"), L"6");

  run.slide(kIdStrengthTrackbar, 80, TB_THUMBTRACK);
  EXPECT_EQ(run.label(Ctl::StrengthValue), L"strength 80%");
  run.slide(kIdStrengthTrackbar, 80, TB_ENDTRACK);
  EXPECT_EQ(run.settings().value(L"nsv"), L"80");
}

TEST(Commands, SensitivityNotificationsEachSendTheOptionsWhileTheWorkerIsReady) {
  ParlivoRun run(temp_folder(L"sensitivity"));
  run.click(kIdNewSessionButton);
  run.click(kIdSeveralVoicesRadio);
  frames_sent();
  run.slide(kIdSensitivityTrackbar, 70, TB_THUMBTRACK);
  EXPECT_TRUE(frames_sent().empty()) << "no options before the worker is ready";
  EXPECT_EQ(run.label(Ctl::SensitivityValue), L"70%");
  run.worker_ready();
  frames_sent();
  run.slide(kIdSensitivityTrackbar, 71, TB_THUMBTRACK);
  run.slide(kIdSensitivityTrackbar, 72, TB_THUMBTRACK);
  run.slide(kIdSensitivityTrackbar, 72, TB_ENDTRACK);
  EXPECT_EQ(
      frames_sent(),
      (std::vector<Frame>{{'L', "ru|en|1|1|71"}, {'L', "ru|en|1|1|72"}, {'L', "ru|en|1|1|72"}}));
  EXPECT_EQ(run.settings().value(L"sens2"), L"72");
}

TEST(Commands, ChoosingTheActiveModelDoesNothingAnotherOneSwitchesAndBackUndoesIt) {
  ParlivoRun run(temp_folder(L"models"));
  run.click(kIdNewSessionButton);
  run.click(kIdSeveralVoicesRadio);
  run.worker_says('M', u"resnet34");
  run.worker_says('C', u"0\tresnet34\tResNet34\t25\t1");
  run.worker_says('C', u"1\tcampp\tCAM++\t28\t0");
  run.worker_ready();
  frames_sent();
  const std::wstring before = run.settings().value(L"spkmodel");

  run.pick(kIdSpeakerModelList, 0);
  EXPECT_TRUE(frames_sent().empty());
  EXPECT_EQ(run.settings().value(L"spkmodel"), before) << "nothing saved";
  EXPECT_FALSE(worker_state.switching_model);

  run.pick(kIdSpeakerModelList, 1);
  EXPECT_EQ(frames_sent(), (std::vector<Frame>{{'M', "campp"}}));
  EXPECT_TRUE(worker_state.switching_model);
  EXPECT_EQ(run.status(), L"Switching the speaker model...");
  EXPECT_EQ(run.settings().value(L"spkmodel"), L"campp");
  run.pick(kIdSpeakerModelList, 1);
  EXPECT_TRUE(frames_sent().empty()) << "already on its way";

  // Back to the active model while campp is still loading: sent and stored as the choice.
  run.pick(kIdSpeakerModelList, 0);
  EXPECT_EQ(frames_sent(), (std::vector<Frame>{{'M', "resnet34"}}));
  EXPECT_EQ(run.settings().value(L"spkmodel"), L"resnet34");
  EXPECT_EQ(worker_state.chosen_speaker_model, u"resnet34");
  run.worker_says('M', u"campp");  // the load that was running ends first
  EXPECT_EQ(run.selection(kIdSpeakerModelList), 0) << "the list shows the user's choice";

  run.worker_says('Z', u"nllb13");
  run.worker_says('K', u"0\tnllb13\tNLLB-200 1.3B\t2700\t1");
  run.worker_says('K', u"1\tnllb33\tNLLB-200 3.3B\t6600\t0");
  frames_sent();
  run.pick(kIdTranslationModelList, 1);
  EXPECT_EQ(frames_sent(), (std::vector<Frame>{{'G', "nllb33"}}));
  EXPECT_EQ(run.status(), L"Switching the translation model...");
  EXPECT_EQ(run.settings().value(L"trmodel"), L"nllb33");
}

// Catalog lines of three translation models, nllb13 active.
void announce_translation_models(ParlivoRun& run) {
  run.worker_says('Z', u"nllb13");
  run.worker_says('K', u"0\tnllb13\tNLLB-200 1.3B\t2700\t1");
  run.worker_says('K', u"1\tnllb33\tNLLB-200 3.3B\t6600\t0");
  run.worker_says('K', u"2\tmadlad3b\tMADLAD-400 3B\t6000\t0");
}

TEST(Commands, ArrowKeysInAClosedListActOnlyOnTheCompletedChoice) {
  ParlivoRun run(temp_folder(L"arrows"));
  run.click(kIdNewSessionButton);
  announce_translation_models(run);
  run.worker_ready();
  if (!run.focus(kIdTranslationModelList)) GTEST_SKIP() << "no keyboard focus on this display";
  frames_sent();

  // Every step selects the next model; none of them is a choice yet.
  run.press(VK_DOWN);
  run.press(VK_DOWN);
  ASSERT_EQ(run.selection(kIdTranslationModelList), 2);
  run.press(VK_UP);
  EXPECT_TRUE(frames_sent().empty());
  EXPECT_FALSE(worker_state.switching_model);
  EXPECT_EQ(run.settings().value(L"trmodel"), L"<missing>");
  run.press(VK_TAB);  // leaving the list completes the choice
  EXPECT_NE(GetFocus(), run.item(kIdTranslationModelList));
  EXPECT_EQ(frames_sent(), (std::vector<Frame>{{'G', "nllb33"}}));
  EXPECT_EQ(run.settings().value(L"trmodel"), L"nllb33");

  // Enter completes it too; stepping away and back to where the list was is no choice.
  ASSERT_TRUE(run.focus(kIdTranslationModelList));
  run.press(VK_DOWN);
  run.press(VK_RETURN);
  EXPECT_EQ(frames_sent(), (std::vector<Frame>{{'G', "madlad3b"}}));
  run.press(VK_UP);
  run.press(VK_DOWN);
  run.press(VK_TAB);
  EXPECT_TRUE(frames_sent().empty());

  // The output device list saves (and would restart system audio) only when the user leaves it.
  if (SendMessageW(run.item(kIdOutputDeviceList), CB_GETCOUNT, 0, 0) < 2) return;
  ASSERT_TRUE(run.focus(kIdOutputDeviceList));
  const std::wstring saved = run.settings().value(L"sysdev");
  run.press(VK_DOWN);
  EXPECT_EQ(run.selection(kIdOutputDeviceList), 1);
  EXPECT_EQ(run.settings().value(L"sysdev"), saved);
  run.press(VK_TAB);
  EXPECT_NE(run.settings().value(L"sysdev"), saved);
}

TEST(Commands, EnterPressesTheFocusedButtonAndTheFocusComesBackAfterAnotherWindow) {
  ParlivoRun run(temp_folder(L"enter"));
  if (!run.bring_to_front()) GTEST_SKIP() << "no keyboard focus on this display";
  EXPECT_EQ(GetFocus(), run.item(kIdNewSessionButton)) << "Record cannot be pressed yet";
  run.worker_ready();
  frames_sent();

  run.press(VK_RETURN);
  EXPECT_TRUE(window_state.session_open);
  EXPECT_EQ(frames_sent(), (std::vector<Frame>{{'R', ""}, {'L', "ru|en|1|0|60"}}));
  EXPECT_EQ(GetFocus(), run.item(kIdRecordButton)) << "the session can be recorded now";
  run.press(VK_RETURN);
  EXPECT_TRUE(capture_running());

  HWND other =
      CreateWindowExW(0, L"STATIC", L"another program", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200,
                      100, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  SetForegroundWindow(other);
  run.run_keyboard_messages();
  EXPECT_NE(GetFocus(), run.item(kIdRecordButton));
  run.bring_to_front();
  EXPECT_EQ(GetFocus(), run.item(kIdRecordButton));
  DestroyWindow(other);
  run.press(VK_RETURN);
  EXPECT_FALSE(capture_running());
  EXPECT_EQ(run.status(), L"Paused. Press Record to continue this session, or start a new one.");
}

// A click or the list's menu opens an entry; Enter on the list leaves the one on screen.
TEST(Commands, EnterOnTheSessionsListOpensNothing) {
  ParlivoRun run(temp_folder(L"enter-sessions"));
  run.click(kIdNewSessionButton);
  run.worker_says('F', 0, "en", u"An earlier session.");
  run.worker_says('U', 0, "", u"");
  const std::u16string earlier = current_session_path();
  run.click(kIdNewSessionButton);
  run.worker_ready();
  run.worker_says('F', 0, "en", u"Today's line.");
  run.worker_says('U', 0, "", u"");
  ASSERT_TRUE(window_state.session_open);
  if (!run.focus(kIdSessionsList)) GTEST_SKIP() << "no keyboard focus on this display";
  HWND sessions = run.item(kIdSessionsList);
  const int earlier_index = find_history_entry(history_list, earlier);
  ASSERT_GE(earlier_index, 0);

  for (int selected : {-1, earlier_index}) {
    SCOPED_TRACE(selected);
    SendMessageW(sessions, LB_SETCURSEL, static_cast<WPARAM>(selected), 0);
    run.press(VK_RETURN);
    EXPECT_TRUE(window_state.session_open);
    ASSERT_EQ(worker_state.transcript_lines.size(), 1u);
    EXPECT_EQ(worker_state.transcript_lines[0].text, u"Today's line.");
    EXPECT_EQ(SendMessageW(sessions, LB_GETCURSEL, 0, 0), selected);
    EXPECT_EQ(GetFocus(), sessions);
  }
}

TEST(Commands, ClickingAnotherSessionWhileRecordingKeepsTheRecordingOneSelected) {
  ParlivoRun run(temp_folder(L"sessions"));
  run.click(kIdNewSessionButton);
  run.worker_says('F', 0, "en", u"An earlier session.");
  run.worker_says('U', 0, "", u"");
  run.click(kIdNewSessionButton);
  run.worker_ready();
  run.click(kIdRecordButton);
  ASSERT_TRUE(capture_running());
  HWND sessions = run.item(kIdSessionsList);
  ASSERT_EQ(SendMessageW(sessions, LB_GETCURSEL, 0, 0), 0);

  SendMessageW(sessions, LB_SETCURSEL, 1, 0);  // the user's click on the earlier session
  SendMessageW(run.window(), WM_COMMAND, MAKEWPARAM(kIdSessionsList, LBN_SELCHANGE),
               reinterpret_cast<LPARAM>(sessions));
  EXPECT_EQ(SendMessageW(sessions, LB_GETCURSEL, 0, 0), 0);
  EXPECT_TRUE(capture_running());
  EXPECT_TRUE(window_state.session_open);
  run.click(kIdRecordButton);
}

// The Save dialog, answered with `name` by a timer once it is open.
std::wstring g_save_answer;
bool g_save_dialog_seen = false;
void CALLBACK answer_save_dialog(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND dialog = FindWindowW(L"#32770", nullptr);
  HWND name = dialog != nullptr ? GetDlgItem(dialog, edt1) : nullptr;
  if (name == nullptr && dialog != nullptr) name = GetDlgItem(dialog, cmb13);
  if (name == nullptr) return;
  KillTimer(nullptr, timer);
  g_save_dialog_seen = true;
  SetWindowTextW(name, g_save_answer.c_str());
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
}

// Views the session at `recorded` from the Sessions list as a click does, then presses "Save..."
// and answers the Save dialog with `base`.
void view_and_save(ParlivoRun& run, const std::u16string& recorded, const std::wstring& base) {
  HWND sessions = run.item(kIdSessionsList);
  SendMessageW(sessions, LB_SETCURSEL,
               static_cast<WPARAM>(find_history_entry(history_list, recorded)), 0);
  SendMessageW(run.window(), WM_COMMAND, MAKEWPARAM(kIdSessionsList, LBN_SELCHANGE),
               reinterpret_cast<LPARAM>(sessions));
  ASSERT_FALSE(window_state.session_open);
  for (const wchar_t* language : {L"orig", L"ru", L"en", L"de", L"fr"}) {
    DeleteFileW((base + L"_" + language + L".txt").c_str());
  }
  g_save_answer = base;
  g_save_dialog_seen = false;
  const UINT_PTR timer = SetTimer(nullptr, 0, 100, answer_save_dialog);
  run.click(kIdSaveButton);
  KillTimer(nullptr, timer);
  ASSERT_TRUE(g_save_dialog_seen);
}

TEST(Commands, ASavedSessionIsExportedInTheLanguagesItWasRecordedIn) {
  const std::wstring folder = temp_folder(L"export");
  ParlivoRun run(folder);
  run.click(kIdNewSessionButton);
  run.worker_says('F', 0, "ru", u"\u041F\u0440\u0438\u0432\u0435\u0442");
  run.worker_says('U', 0, "en", u"Hello");
  run.worker_says('F', 1, "en", u"How are you?");
  run.worker_says('U', 1, "ru", u"\u041A\u0430\u043A \u0434\u0435\u043B\u0430?");
  const std::u16string recorded = current_session_path();
  run.click(kIdNewSessionButton);
  // Today the lists say German and French: neither document would hold a line of it.
  run.choose(kIdSpeechLanguageList, 3);
  run.choose(kIdTranslationLanguageList, 4);

  const std::wstring base = folder + L"\\talk";
  view_and_save(run, recorded, base);
  ASSERT_EQ(worker_state.transcript_lines.size(), 2u);
  EXPECT_EQ(file_bytes(base + L"_ru.txt"),
            "\xEF\xBB\xBF\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82\r\n"
            "\xD0\x9A\xD0\xB0\xD0\xBA \xD0\xB4\xD0\xB5\xD0\xBB\xD0\xB0?\r\n");
  EXPECT_EQ(file_bytes(base + L"_en.txt"), "\xEF\xBB\xBFHello\r\nHow are you?\r\n");
  EXPECT_EQ(file_bytes(base + L"_de.txt"), "");
  EXPECT_EQ(run.status(), L"Saved: " + base + L"_ru.txt  and  " + base + L"_en.txt");
}

// Russian lines with English translations, one German line into Russian, one English line: the
// lists' documents each hold a line, so the lists choose.
TEST(Commands, ASavedSessionIsExportedInTheListsLanguagesWhenEachOfTheirDocumentsHasALine) {
  const std::wstring folder = temp_folder(L"export-lists");
  ParlivoRun run(folder);
  run.click(kIdNewSessionButton);
  run.worker_says('F', 0, "ru", u"\u0414\u0430");
  run.worker_says('U', 0, "en", u"Yes");
  run.worker_says('F', 1, "de", u"Guten Tag");
  run.worker_says('U', 1, "ru", u"\u0414\u043E\u0431\u0440\u044B\u0439 \u0434\u0435\u043D\u044C");
  run.worker_says('F', 0, "ru", u"\u041D\u0435\u0442");
  run.worker_says('U', 0, "en", u"No");
  run.worker_says('F', 1, "en", u"Fine");
  run.worker_says('U', 1, "ru", u"");
  const std::u16string recorded = current_session_path();
  run.click(kIdNewSessionButton);
  run.choose(kIdSpeechLanguageList, 1);       // Russian
  run.choose(kIdTranslationLanguageList, 2);  // English

  const std::wstring base = folder + L"\\talk";
  view_and_save(run, recorded, base);
  ASSERT_EQ(worker_state.transcript_lines.size(), 4u);
  EXPECT_EQ(file_bytes(base + L"_ru.txt"),
            "\xEF\xBB\xBF\xD0\x94\xD0\xB0\r\n"
            "\xD0\x94\xD0\xBE\xD0\xB1\xD1\x80\xD1\x8B\xD0\xB9 \xD0\xB4\xD0\xB5\xD0\xBD\xD1\x8C\r\n"
            "\xD0\x9D\xD0\xB5\xD1\x82\r\n");
  EXPECT_EQ(file_bytes(base + L"_en.txt"), "\xEF\xBB\xBFYes\r\nNo\r\nFine\r\n");
  EXPECT_EQ(file_bytes(base + L"_orig.txt"), "");
  EXPECT_EQ(run.status(), L"Saved: " + base + L"_ru.txt  and  " + base + L"_en.txt");

  // Auto and No translation: the one document as spoken.
  run.choose(kIdSpeechLanguageList, 0);
  run.choose(kIdTranslationLanguageList, 0);
  view_and_save(run, recorded, base);
  EXPECT_EQ(file_bytes(base + L"_orig.txt"),
            "\xEF\xBB\xBF\xD0\x94\xD0\xB0\r\nGuten Tag\r\n\xD0\x9D\xD0\xB5\xD1\x82\r\nFine\r\n");
  EXPECT_EQ(file_bytes(base + L"_en.txt"), "");
  EXPECT_EQ(run.status(), L"Saved: " + base + L"_orig.txt");
}

TEST(Commands, LevelReportsMoveTheBarsAndTheSpeechStateWhileRecording) {
  ParlivoRun run(temp_folder(L"levels"));
  run.click(kIdNewSessionButton);
  run.worker_ready();
  SendMessageW(run.window(), WM_AUDIO_LEVEL, 40, 1);
  EXPECT_EQ(SendMessageW(run.item(kIdMicrophoneLevel), PBM_GETPOS, 0, 0), 0) << "not recording";
  EXPECT_EQ(run.status(),
            L"Ready (CPU), NLLB translation enabled. Press \"+ New session\", then Record.");

  run.click(kIdRecordButton);
  ASSERT_TRUE(capture_running());
  loopback_running.set(true);  // stands for a loopback thread, which Wine cannot run
  SendMessageW(run.window(), WM_AUDIO_LEVEL, 57, 0 * 2 + 1);
  EXPECT_EQ(SendMessageW(run.item(kIdMicrophoneLevel), PBM_GETPOS, 0, 0), 57);
  SendMessageW(run.window(), WM_AUDIO_LEVEL, 23, 1 * 2 + 1);
  EXPECT_EQ(SendMessageW(run.item(kIdSystemAudioLevel), PBM_GETPOS, 0, 0), 23);
  EXPECT_EQ(run.status(), L"Hearing both sides...");
  SendMessageW(run.window(), WM_AUDIO_LEVEL, 5, 0 * 2 + 0);
  EXPECT_EQ(run.status(), L"Hearing the other side...");

  // A failure of the system audio, reported with a string the window must free.
  SendMessageW(run.window(), WM_LOOPBACK_FAILED, loopback_run.load(),
               static_cast<LPARAM>(make_loopback_failure_reason(u"device gone")));
  EXPECT_EQ(run.status(),
            L"System audio capture failed: device gone. Microphone capture continues.");
  EXPECT_TRUE(capture_running());
  EXPECT_EQ(SendMessageW(run.item(kIdSystemAudioLevel), PBM_GETPOS, 0, 0), 0);
  SendMessageW(run.window(), WM_AUDIO_LEVEL, 5, 0 * 2 + 1);
  EXPECT_EQ(run.status(), L"Hearing you...")
      << "the next state change replaces it; the other side stopped speaking with its capture";

  run.click(kIdRecordButton);
  EXPECT_EQ(SendMessageW(run.item(kIdMicrophoneLevel), PBM_GETPOS, 0, 0), 0);
  SendMessageW(run.window(), WM_AUDIO_LEVEL, 80, 0);  // still in the queue when capture stopped
  EXPECT_EQ(SendMessageW(run.item(kIdMicrophoneLevel), PBM_GETPOS, 0, 0), 0);
  EXPECT_EQ(run.status(), L"Paused. Press Record to continue this session, or start a new one.");
}

TEST(Commands, ClearEmptiesPanelsAndTranscriptButKeepsTheSessionFile) {
  ParlivoRun run(temp_folder(L"clear"));
  run.click(kIdNewSessionButton);
  const std::u16string session = current_session_path();
  TranscriptLine line;
  line.text = u"Hello.";
  worker_state.transcript_lines.push_back(line);
  SetWindowTextW(run.item(kIdRecognizedPanel), L"Hello.");
  frames_sent();
  run.click(kIdClearButton);
  EXPECT_TRUE(worker_state.transcript_lines.empty());
  EXPECT_EQ(GetWindowTextLengthW(run.item(kIdRecognizedPanel)), 0);
  EXPECT_TRUE(frames_sent().empty());
  EXPECT_EQ(current_session_path(), session);
  EXPECT_TRUE(session_file_open());
}

// --- settings at the next start ------------------------------------------------------------------

TEST(Commands, EveryChoiceComesBackAtTheNextStart) {
  const std::wstring folder = temp_folder(L"restart");
  DeleteFileW((folder + L"\\settings.ini").c_str());
  {
    ParlivoRun run(folder);
    run.click(kIdNewSessionButton);
    run.choose(kIdSpeechLanguageList, 4);       // French
    run.choose(kIdTranslationLanguageList, 6);  // Ukrainian
    run.slide(kIdGainTrackbar, 12, TB_ENDTRACK);
    run.slide(kIdStrengthTrackbar, 20, TB_ENDTRACK);
    run.click(kIdAgcCheck);
    run.click(kIdBoostCheck);
    run.click(kIdSystemAudioCheck);
    run.click(kIdReverseCheck);
    run.click(kIdEchoCheck);
    run.click(kIdSeveralVoicesRadio);
    run.slide(kIdSensitivityTrackbar, 35, TB_ENDTRACK);
    // A model id outside ASCII shows that the file keeps UTF-16 text.
    run.worker_says('C', u"0\tresnet34\tResNet34\t25\t1");
    run.worker_says('C', u"1\t\u043C\u043E\u0434\u0435\u043B\u044C\tCyrillic\t5\t0");
    run.pick(kIdSpeakerModelList, 1);
    run.click(kIdUseMicrophoneCheck);
  }
  EXPECT_EQ(read_settings(folder + L"\\settings.ini").value(L"spkmodel"),
            L"\u043C\u043E\u0434\u0435\u043B\u044C");
  ParlivoRun run(folder);
  EXPECT_EQ(run.text(kIdSpeechLanguageList), L"French");
  EXPECT_EQ(run.text(kIdTranslationLanguageList), L"Ukrainian");
  EXPECT_EQ(run.position(kIdGainTrackbar), 12);
  EXPECT_EQ(run.label(Ctl::GainValue), L"+12 dB");
  EXPECT_EQ(run.position(kIdStrengthTrackbar), 20);
  EXPECT_EQ(run.label(Ctl::StrengthValue), L"strength 20%");
  EXPECT_TRUE(run.checked(kIdNoiseSuppressionCheck));
  EXPECT_FALSE(run.checked(kIdAgcCheck));
  EXPECT_TRUE(run.checked(kIdBoostCheck));
  EXPECT_TRUE(run.checked(kIdSystemAudioCheck));
  EXPECT_FALSE(run.checked(kIdReverseCheck));
  EXPECT_FALSE(run.checked(kIdEchoCheck));
  EXPECT_TRUE(run.checked(kIdSeveralVoicesRadio));
  EXPECT_FALSE(run.checked(kIdOneInterlocutorRadio));
  EXPECT_EQ(run.position(kIdSensitivityTrackbar), 35);
  EXPECT_EQ(run.label(Ctl::SensitivityValue), L"35%");
  EXPECT_FALSE(run.checked(kIdUseMicrophoneCheck));
  EXPECT_FALSE(run.enabled(kIdMicrophoneList));
  EXPECT_EQ(worker_state.chosen_speaker_model, u"\u043C\u043E\u0434\u0435\u043B\u044C");
  // The live values follow the restored controls.
  EXPECT_EQ(micon.load(), 0);
  EXPECT_EQ(live_speaker_options.sens2.load(), 35);
  EXPECT_EQ(live_speaker_options.rev.load(), 0);
  EXPECT_EQ(live_speaker_options.diarize.load(), 1);
  run.worker_ready();
  EXPECT_EQ(frames_sent(), options("fr|uk|0|1|35"));
}

TEST(Commands, UnavailableTranslationIsStoredAndShownAtTheNextStart) {
  const std::wstring folder = temp_folder(L"untranslated");
  DeleteFileW((folder + L"\\settings.ini").c_str());
  {
    ParlivoRun run(folder);
    run.worker_says('N', u"Translation model unavailable: no memory");
    EXPECT_EQ(run.settings().value(L"tgt"), L"0");
  }
  ParlivoRun run(folder);
  EXPECT_EQ(run.text(kIdTranslationLanguageList), L"No translation");
}

TEST(Commands, AnOlderFileKeepsOnlyItsLanguages) {
  const std::wstring folder = temp_folder(L"older");
  write_bytes(folder + L"\\settings.ini",
              utf16_file(L"[app]\r\nv=1\r\nsrc=3\r\ntgt=0\r\ngain=30\r\nmic=Foo\r\n"
                         L"[paths]\r\npython=C:\\Python\\python.exe\r\n"));
  ParlivoRun run(folder);
  const SettingsOnDisk disk = run.settings();
  EXPECT_TRUE(disk.utf16);
  EXPECT_EQ(disk.sections, std::vector<std::wstring>{L"app"});
  EXPECT_EQ(disk.app, (std::vector<std::pair<std::wstring, std::wstring>>{
                          {L"v", L"2"}, {L"src", L"3"}, {L"tgt", L"0"}}));
  EXPECT_EQ(run.text(kIdSpeechLanguageList), L"German");
  EXPECT_EQ(run.text(kIdTranslationLanguageList), L"No translation");
  EXPECT_EQ(run.position(kIdGainTrackbar), 0) << "the old gain is dropped";
}

TEST(Commands, AnOlderFileThatCannotBeReplacedIsNotWrittenUntilItCanBe) {
  const std::wstring folder = temp_folder(L"locked");
  const std::wstring path = folder + L"\\settings.ini";
  const std::string older = utf16_file(L"[app]\r\nv=1\r\nsrc=3\r\ntgt=0\r\n");
  write_bytes(path, older);
  // Another program holds the file open (an indexer, a backup), so it cannot be created anew.
  HANDLE holder = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  ParlivoRun run(folder);
  run.choose(kIdSpeechLanguageList, 4);
  EXPECT_EQ(file_bytes(path), older) << "nothing written in the old format";

  CloseHandle(holder);
  run.choose(kIdSpeechLanguageList, 5);
  const SettingsOnDisk disk = run.settings();
  EXPECT_EQ(disk.value(L"v"), L"2");
  EXPECT_EQ(disk.value(L"src"), L"5");
  EXPECT_NE(disk.value(L"gain"), L"<missing>") << "the whole section, in the new format";
}

TEST(Commands, UnavailableSpeakerDetectionKeepsTheStoredChoiceOfSeveralVoices) {
  const std::wstring folder = temp_folder(L"voices");
  write_bytes(folder + L"\\settings.ini", utf16_file(L"[app]\r\nv=2\r\ndiar=1\r\n"));
  ParlivoRun run(folder);
  EXPECT_TRUE(run.checked(kIdSeveralVoicesRadio));
  run.worker_says('V', u"Speaker detection unavailable: no model");
  EXPECT_TRUE(run.checked(kIdOneInterlocutorRadio));
  EXPECT_FALSE(run.enabled(kIdSeveralVoicesRadio));
  EXPECT_EQ(run.settings().value(L"diar"), L"1");
  run.choose(kIdSpeechLanguageList, 3);
  EXPECT_EQ(run.settings().value(L"diar"), L"1") << "also at later saves";
}

TEST(Commands, ACurrentFileIsUsedAsItIsWithOutOfRangeValuesHeld) {
  const std::wstring folder = temp_folder(L"ranges");
  write_bytes(folder + L"\\settings.ini",
              utf16_file(L"[app]\r\nv=2\r\nsrc=9\r\ntgt=12\r\ngain=45\r\nnsv=abc\r\nns=x1\r\n"
                         L"sens2=400\r\nsysdev={no such device}\r\n"
                         L"[paths]\r\nroot=D:\\data\r\n"));
  {
    ParlivoRun run(folder);
    EXPECT_EQ(run.text(kIdSpeechLanguageList), L"Russian");
    EXPECT_EQ(run.text(kIdTranslationLanguageList), L"English");
    EXPECT_EQ(run.position(kIdGainTrackbar), 30);
    EXPECT_EQ(run.label(Ctl::GainValue), L"+30 dB");
    EXPECT_EQ(run.position(kIdStrengthTrackbar), 0) << "a value without digits reads as 0";
    EXPECT_FALSE(run.checked(kIdNoiseSuppressionCheck));
    EXPECT_EQ(run.position(kIdSensitivityTrackbar), 100);
    EXPECT_EQ(run.selection(kIdOutputDeviceList), 0) << "an unknown device leaves the default";
    const SettingsOnDisk disk = run.settings();
    EXPECT_EQ(disk.sections, (std::vector<std::wstring>{L"app", L"paths"})) << "used as it is";
    run.click(kIdNewSessionButton);
    run.click(kIdAgcCheck);
  }
  const SettingsOnDisk disk = read_settings(folder + L"\\settings.ini");
  EXPECT_EQ(disk.value(L"gain"), L"40");
  EXPECT_EQ(disk.value(L"src"), L"1");
  EXPECT_EQ(disk.value(L"sysdev"), L"");
  EXPECT_EQ(disk.value(L"sens2"), L"100");
  EXPECT_EQ(disk.sections, (std::vector<std::wstring>{L"app", L"paths"}))
      << "the hand-written paths stay";
}

TEST(Commands, StoredMicrophoneIsFoundWhateverItsLetterCase) {
  const std::wstring folder = temp_folder(L"microphone");
  std::wstring device;
  {
    ParlivoRun run(folder);
    HWND list = run.item(kIdMicrophoneList);
    if (SendMessageW(list, CB_GETCOUNT, 0, 0) < 2) GTEST_SKIP() << "no wave-input device";
    wchar_t name[256] = {};
    SendMessageW(list, CB_GETLBTEXT, 1, reinterpret_cast<LPARAM>(name));
    device = name;
  }
  std::wstring shouted = device;
  for (wchar_t& c : shouted) c = static_cast<wchar_t>(towupper(c));
  write_bytes(folder + L"\\settings.ini", utf16_file(L"[app]\r\nv=2\r\nmic=" + shouted + L"\r\n"));
  ParlivoRun run(folder);
  EXPECT_EQ(run.selection(kIdMicrophoneList), 1);
  run.click(kIdNewSessionButton);
  run.choose(kIdMicrophoneList, 0);
  EXPECT_EQ(run.settings().value(L"mic"), L"System default");
}

TEST(Commands, UnknownCommandsGoToTheDefaultProcedure) {
  ParlivoRun run(temp_folder(L"unknown"));
  const std::wstring before = run.status();
  EXPECT_EQ(SendMessageW(run.window(), WM_COMMAND, MAKEWPARAM(4321, 0), 0), 0);
  EXPECT_EQ(SendMessageW(run.window(), WM_COMMAND, MAKEWPARAM(kIdStatusLine, 0), 0), 0);
  EXPECT_EQ(run.status(), before);
  // A list opening its drop-down is not a choice.
  frames_sent();
  SendMessageW(run.window(), WM_COMMAND, MAKEWPARAM(kIdSpeechLanguageList, CBN_DROPDOWN),
               reinterpret_cast<LPARAM>(run.item(kIdSpeechLanguageList)));
  EXPECT_TRUE(frames_sent().empty());
}

}  // namespace
}  // namespace colloquor
