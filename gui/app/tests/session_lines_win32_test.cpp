// Finished lines at the edges of a session, on the real window with real session files: the
// window closing or the worker ending while a line waits for its translation, Clear in between,
// and the last utterance of a stopped recording answered after another session was opened or a
// saved one is viewed. Also the status line at the edges of recording.
#include "app/tests/window_run.h"

#include <richedit.h>

namespace colloquor {
namespace {

std::vector<TranscriptLine> rows_of(const std::u16string& path) {
  return read_session_file(path).lines;
}

bool exists(const std::u16string& path) {
  return GetFileAttributesW(reinterpret_cast<const wchar_t*>(path.c_str())) !=
         INVALID_FILE_ATTRIBUTES;
}

std::wstring panel_text(const ParlivoRun& run, int id) {
  const int length = GetWindowTextLengthW(run.item(id));
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  GetWindowTextW(run.item(id), text.data(), length + 1);
  text.resize(static_cast<std::size_t>(length));
  return text;
}

// A recording in the open session whose last utterance went out to the worker just before Stop.
void record_an_utterance_and_stop(ParlivoRun& run) {
  run.click(kIdRecordButton);
  ASSERT_TRUE(capture_running()) << "the PulseAudio monitor is the default microphone";
  note_audio_frame(0, GetTickCount64());  // the microphone thread's "E" of that utterance
  run.click(kIdRecordButton);
  ASSERT_FALSE(capture_running());
}

// Lets the window's timer run until the stopped recordings' claims have ended.
void wait_for_quiet(ParlivoRun& run) {
  const ULONGLONG until = GetTickCount64() + kLateAnswerQuietMs + 500;
  run.pump_until([until] { return GetTickCount64() > until; });
}

TEST(SessionLines, ALineWaitingForItsTranslationIsSavedWhenTheWindowCloses) {
  std::u16string path;
  {
    ParlivoRun run(temp_folder(L"lines-close"));
    run.click(kIdNewSessionButton);
    run.worker_ready();
    path = current_session_path();
    run.recognized('F', 0, "en", u"The only line.");
  }
  const std::vector<TranscriptLine> rows = rows_of(path);
  ASSERT_EQ(rows.size(), 1u) << "the session was kept, with its line";
  EXPECT_EQ(rows[0].text, u"The only line.");
  EXPECT_TRUE(rows[0].translation.empty());
  DeleteFileW(reinterpret_cast<const wchar_t*>(path.c_str()));
}

TEST(SessionLines, TheWorkersEndSavesWaitingLinesAndKeepsItsReasonOnScreen) {
  ParlivoRun run(temp_folder(L"lines-end"));
  run.click(kIdNewSessionButton);
  run.worker_ready();
  const std::u16string path = current_session_path();
  run.recognized('F', 1, "de", u"Bis morgen.");
  run.worker_says('X', u"");
  ASSERT_EQ(rows_of(path).size(), 1u);
  EXPECT_EQ(rows_of(path)[0].text, u"Bis morgen.");

  run.click(kIdNewSessionButton);
  EXPECT_FALSE(run.enabled(kIdRecordButton));
  EXPECT_EQ(run.status(), L"The recognizer stopped (see worker.log next to the program).")
      << "not an invitation to press Record";
  EXPECT_TRUE(exists(path));
  DeleteFileW(reinterpret_cast<const wchar_t*>(path.c_str()));
}

TEST(SessionLines, ClearThenTheTranslationSavesTheLineTranslatedWithoutShowingIt) {
  ParlivoRun run(temp_folder(L"lines-clear"));
  run.click(kIdNewSessionButton);
  run.worker_ready();
  const std::u16string path = current_session_path();
  run.recognized('F', 0, "en", u"Hello there.");
  run.click(kIdClearButton);
  EXPECT_TRUE(rows_of(path).empty());
  run.recognized('U', 0, "ru", u"Привет.");
  const std::vector<TranscriptLine> rows = rows_of(path);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].translation, u"Привет.");
  EXPECT_EQ(panel_text(run, kIdTranslationPanel), L"");
  EXPECT_TRUE(worker_state.transcript_lines.empty());
}

TEST(SessionLines, TheLastUtteranceOfAStoppedRecordingStaysInItsSession) {
  ParlivoRun run(temp_folder(L"lines-late"));
  run.click(kIdNewSessionButton);
  run.worker_ready();
  const std::u16string first = current_session_path();
  record_an_utterance_and_stop(run);

  // "+ New session" before the worker has answered the last utterance.
  run.click(kIdNewSessionButton);
  const std::u16string second = current_session_path();
  ASSERT_NE(second, first);
  EXPECT_TRUE(exists(first)) << "an empty session still owed a line is not deleted";
  run.recognized('F', 0, "en", u"See you tomorrow.");
  run.recognized('U', 0, "ru", u"До завтра.");
  ASSERT_EQ(rows_of(first).size(), 1u);
  EXPECT_EQ(rows_of(first)[0].translation, u"До завтра.");
  EXPECT_TRUE(rows_of(second).empty());
  EXPECT_EQ(panel_text(run, kIdRecognizedPanel), L"") << "not shown in the new session";
  wait_for_quiet(run);
  EXPECT_EQ(open_session_file_count(), 1u) << "the first session's file is closed once answered";

  // The same with a saved session opened for viewing instead: the stopped session, empty so far,
  // is kept and receives its line; the panels go on showing the viewed session only.
  record_an_utterance_and_stop(run);
  SendMessageW(run.item(kIdSessionsList), LB_SETCURSEL, 1, 0);  // the first session, below
  SendMessageW(run.window(), WM_COMMAND, MAKEWPARAM(kIdSessionsList, LBN_SELCHANGE),
               reinterpret_cast<LPARAM>(run.item(kIdSessionsList)));
  EXPECT_FALSE(window_state.session_open);
  EXPECT_TRUE(exists(second));
  run.recognized('F', 0, "en", u"One more thing.");
  run.recognized('U', 0, "ru", u"И ещё.");
  ASSERT_EQ(rows_of(second).size(), 1u);
  EXPECT_EQ(rows_of(second)[0].text, u"One more thing.");
  EXPECT_EQ(panel_text(run, kIdRecognizedPanel).find(L"One more thing."), std::wstring::npos);
  EXPECT_NE(panel_text(run, kIdRecognizedPanel).find(L"See you tomorrow."), std::wstring::npos);
  wait_for_quiet(run);
  EXPECT_EQ(open_session_file_count(), 0u);
  EXPECT_TRUE(exists(second)) << "a session that received a line stays";
  DeleteFileW(reinterpret_cast<const wchar_t*>(first.c_str()));
  DeleteFileW(reinterpret_cast<const wchar_t*>(second.c_str()));
}

TEST(SessionLines, SwitchingTheSystemAudioOffForgetsTheOtherSidesSpeech) {
  ParlivoRun run(temp_folder(L"lines-speech"));
  run.click(kIdNewSessionButton);
  run.worker_ready();
  run.click(kIdSystemAudioCheck);
  run.click(kIdRecordButton);
  ASSERT_TRUE(capture_running());
  // Under Wine the loopback fails at once; its report is of the run that is wanted now.
  ASSERT_TRUE(run.pump_until([] { return !loopback_running(); }));
  const std::wstring failure = run.status();
  EXPECT_EQ(failure.rfind(L"System audio capture failed: ", 0), 0u) << failure;

  // A report of an older loopback run, and an address no one handed out, change nothing.
  loopback_running.set(true);
  SendMessageW(run.window(), WM_LOOPBACK_FAILED, loopback_run.load() - 1,
               make_loopback_failure_reason(u"old run"));
  std::u16string forged = u"forged";
  SendMessageW(run.window(), WM_LOOPBACK_FAILED, loopback_run.load(),
               reinterpret_cast<LPARAM>(&forged));
  EXPECT_TRUE(loopback_running());
  EXPECT_EQ(run.status(), failure);

  SendMessageW(run.window(), WM_AUDIO_LEVEL, 40, 1 * 2 + 1);
  EXPECT_EQ(run.status(), L"Hearing the other side...");
  run.click(kIdSystemAudioCheck);  // off while the other side was speaking
  EXPECT_EQ(run.status(), L"Listening... speak now.");
  SendMessageW(run.window(), WM_AUDIO_LEVEL, 40, 1 * 2 + 1);  // still queued from the loopback
  EXPECT_EQ(run.status(), L"Listening... speak now.");
  EXPECT_EQ(SendMessageW(run.item(kIdSystemAudioLevel), PBM_GETPOS, 0, 0), 0);
  run.click(kIdRecordButton);
}

}  // namespace
}  // namespace colloquor
