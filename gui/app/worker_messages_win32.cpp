#include "app/worker_messages_win32.h"

#include <array>
#include <memory>

#include "app/commands.h"
#include "app/commands_win32.h"
#include "app/settings.h"
#include "app/worker_messages_view_win32.h"
#include "audio/capture_control.h"
#include "transcript/session_file.h"
#include "worker_link/reader_win32.h"

namespace colloquor {

namespace {

// The main window's view: the controls, plus the operations owned by the window's commands, the
// settings, capture control and the session files.
class WindowView final : public ControlsView {
 public:
  explicit WindowView(HWND window)
      : ControlsView(window, worker_state, recognized_panel, translation_panel) {}

  SessionKey current_session() override { return current_session_key(); }
  void append_session_line(SessionKey session, const TranscriptLine& line) override {
    append_session_line_to(session, line);
  }
  void release_session(SessionKey session) override { release_session_file(session); }
  std::uint64_t now_ms() override { return GetTickCount64(); }
  std::uint64_t last_audio_ms(int channel) override { return last_audio_frame_tick(channel); }
  bool capture_running() override { return colloquor::capture_running(); }
  void stop_capture() override { stop_recording(); }
  void send_options() override { colloquor::send_options(); }
  void update_controls() override { colloquor::update_controls(); }
  void save_settings() override { colloquor::save_settings(); }
  void apply_capture_options_with_saving() override { colloquor::apply_capture_options(true); }
};

bool owed_to_session(SessionKey session) { return session_lines_owed(worker_state, session); }

std::array<std::uint64_t, 2> last_audio_ticks() {
  return {last_audio_frame_tick(0), last_audio_frame_tick(1)};
}

}  // namespace

void on_worker_line(HWND window, LPARAM lparam) {
  const std::unique_ptr<WorkerLine> owned = take_worker_line(lparam);
  if (!owned) return;
  WindowView view(window);
  handle_worker_line(worker_state, view, *owned);
}

void on_worker_timer(HWND window) {
  WindowView view(window);
  expire_late_answers(worker_state, view);
}

void fill_speaker_models(HWND window) {
  WindowView view(window);
  fill_speaker_models(worker_state, view);
}

void fill_translation_models(HWND window) {
  WindowView view(window);
  fill_translation_models(worker_state, view);
}

void clear_transcript(HWND) { clear_transcript(worker_state); }

void note_recording_stopped() {
  note_capture_stopped(worker_state, current_session_key(), last_audio_ticks(), GetTickCount64());
}

void note_new_session_sent() { note_new_session(worker_state, last_audio_ticks()); }

void wait_for_owed_translations(HWND window, std::uint64_t limit_ms) {
  const std::uint64_t until = GetTickCount64() + limit_ms;
  while (worker_state.worker_ready && translations_owed(worker_state)) {
    MSG message;
    if (PeekMessageW(&message, window, WM_WORKER_LINE, WM_WORKER_LINE, PM_REMOVE)) {
      on_worker_line(window, message.lParam);
      continue;
    }
    const std::uint64_t now = GetTickCount64();
    if (now >= until) return;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(until - now), QS_POSTMESSAGE);
  }
}

void save_pending_finals(HWND window) {
  WindowView view(window);
  save_pending_finals(worker_state, view);
}

void connect_session_files_to_worker_state() { set_session_owed_query(owed_to_session); }

}  // namespace colloquor
