// Finished lines at the edges of a session, on the real window with real session files: the
// window closing or the worker ending while a line waits for its translation, Clear in between,
// and the last utterance of a stopped recording answered after another session was opened or a
// saved one is viewed. Also the status line at the edges of recording.
#include "app/tests/window_run.h"

#include <richedit.h>

#include <memory>
#include <thread>

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

// What the worker sends on each channel once the audio sent before a new session is answered
// (and once after its ready status, for the run's first session).
void worker_marks_sessions(ParlivoRun& run) {
  for (int channel = 0; channel < 2; ++channel) {
    run.recognized('P', channel, "", u"");
    run.recognized('T', channel, "", u"");
  }
}

// A worker line posted from another thread after `delay_ms`, as the reader thread posts them.
void post_later(HWND window, DWORD delay_ms, char kind, int channel, std::u16string text) {
  auto line = std::make_unique<WorkerLine>();
  line->kind = kind;
  line->channel = channel;
  line->language = "ru";
  line->text = std::move(text);
  const LPARAM record = posted_worker_lines().give(std::move(line));
  std::thread([window, delay_ms, record] {
    Sleep(delay_ms);
    PostMessageW(window, WM_WORKER_LINE, 0, record);
  }).detach();
}

struct Closed {
  std::vector<TranscriptLine> rows;  // the session file's rows after the window closed
  ULONGLONG closing_ms = 0;          // how long closing the window took
};

// A session whose finished lines `texts` wait for their translations when the window closes;
// `late` translations arrive meanwhile, 400 ms apart.
Closed close_while_owed(const wchar_t* name, const std::vector<std::u16string>& texts,
                        const std::vector<std::u16string>& late) {
  std::u16string path;
  Closed closed;
  {
    ParlivoRun run(temp_folder(name));
    run.click(kIdNewSessionButton);
    run.worker_ready();
    path = current_session_path();
    for (const std::u16string& text : texts) run.recognized('F', 0, "en", text);
    for (std::size_t i = 0; i < late.size(); ++i) {
      post_later(run.window(), static_cast<DWORD>(400 * (i + 1)), 'U', 0, late[i]);
    }
    const ULONGLONG started = GetTickCount64();
    DestroyWindow(run.window());
    closed.closing_ms = GetTickCount64() - started;
  }
  closed.rows = rows_of(path);
  DeleteFileW(reinterpret_cast<const wchar_t*>(path.c_str()));
  return closed;
}

TEST(SessionLines, ClosingWaitsAMomentForTheTranslationsStillOwed) {
  const Closed closed =
      close_while_owed(L"lines-close-wait", {u"Almost done.", u"Done."}, {u"Почти.", u"Готово."});
  ASSERT_EQ(closed.rows.size(), 2u);
  EXPECT_EQ(closed.rows[0].translation, u"Почти.");
  EXPECT_EQ(closed.rows[1].translation, u"Готово.");
  EXPECT_LT(closed.closing_ms, 2900u) << "closing goes on once nothing is owed";
}

TEST(SessionLines, ALineWaitingForItsTranslationIsSavedWhenTheWindowCloses) {
  const Closed closed = close_while_owed(L"lines-close", {u"The only line."}, {});
  ASSERT_EQ(closed.rows.size(), 1u) << "the session was kept, with its line";
  EXPECT_EQ(closed.rows[0].text, u"The only line.");
  EXPECT_TRUE(closed.rows[0].translation.empty());
  EXPECT_GE(closed.closing_ms, 2900u) << "waited for the translation";
  EXPECT_LT(closed.closing_ms, 8000u) << "but not for long";
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
  EXPECT_EQ(open_session_file_count(), 2u) << "until the worker marks the new session";
  worker_marks_sessions(run);
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
  run.click(kIdNewSessionButton);
  worker_marks_sessions(run);
  EXPECT_EQ(open_session_file_count(), 1u) << "only the new session's";
  EXPECT_TRUE(exists(second)) << "a session that received a line stays";
  DeleteFileW(reinterpret_cast<const wchar_t*>(first.c_str()));
  DeleteFileW(reinterpret_cast<const wchar_t*>(second.c_str()));
  DeleteFileW(reinterpret_cast<const wchar_t*>(current_session_path().c_str()));
}

// Record, Stop while translations are owed, "+ New session", Record and speak at once; the worker
// answers the stopped recording's last utterance after the new session began, and every
// translation comes seconds after the last finished line.
TEST(SessionLines, LateTranslationsLeaveEveryLineInTheSessionOfItsAudio) {
  ParlivoRun run(temp_folder(L"lines-late-translations"));
  run.worker_ready();
  worker_marks_sessions(run);
  run.click(kIdNewSessionButton);
  const std::u16string first = current_session_path();
  run.click(kIdRecordButton);
  ASSERT_TRUE(capture_running());
  note_audio_frame(0, GetTickCount64());
  run.recognized('F', 0, "en", u"First line.");
  run.click(kIdRecordButton);  // Stop: "First line." and the last utterance owe translations

  run.click(kIdNewSessionButton);
  const std::u16string second = current_session_path();
  run.click(kIdRecordButton);
  ASSERT_TRUE(capture_running());
  Sleep(20);
  note_audio_frame(0, GetTickCount64());        // the new session's speech
  run.recognized('F', 0, "en", u"Last line.");  // the stopped recording's last utterance
  run.recognized('P', 0, "", u"");              // the worker's mark of the new session
  run.recognized('T', 0, "", u"");
  run.recognized('P', 0, "en", u"Hello");
  run.recognized('F', 0, "en", u"Hello again.");
  EXPECT_NE(panel_text(run, kIdRecognizedPanel).find(L"Hello again."), std::wstring::npos);
  EXPECT_EQ(panel_text(run, kIdRecognizedPanel).find(L"Last line."), std::wstring::npos);

  post_later(run.window(), 1500, 'U', 0, u"Первая строка.");
  post_later(run.window(), 1600, 'U', 0, u"Последняя строка.");
  post_later(run.window(), 1700, 'U', 0, u"Снова привет.");
  ASSERT_TRUE(run.pump_until([&] { return rows_of(second).size() == 1; }));
  run.click(kIdRecordButton);

  const std::vector<TranscriptLine> old_rows = rows_of(first);
  ASSERT_EQ(old_rows.size(), 2u);
  EXPECT_EQ(old_rows[0].translation, u"Первая строка.");
  EXPECT_EQ(old_rows[1].text, u"Last line.");
  EXPECT_EQ(old_rows[1].translation, u"Последняя строка.");
  const std::vector<TranscriptLine> new_rows = rows_of(second);
  EXPECT_EQ(new_rows[0].text, u"Hello again.");
  EXPECT_EQ(new_rows[0].translation, u"Снова привет.");
  EXPECT_NE(panel_text(run, kIdTranslationPanel).find(L"Снова привет."), std::wstring::npos);
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
