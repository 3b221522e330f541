#include "app/worker_messages_win32.h"

#include <memory>

#include "app/commands.h"
#include "app/settings.h"
#include "app/worker_messages_view_win32.h"
#include "transcript/session_file.h"
#include "audio/capture_control.h"

namespace colloquor {

namespace {

// The main window's view: the controls, plus the operations owned by the window's commands, the
// settings, capture control and the session file.
class WindowView final : public ControlsView {
 public:
  explicit WindowView(HWND window)
      : ControlsView(window, worker_state, recognized_panel, translation_panel) {}

  void append_session_line(const TranscriptLine& line) override { colloquor::append_session_line(line); }
  bool capture_running() override { return colloquor::capture_running(); }
  void stop_capture() override { colloquor::stop_capture(); }
  void send_options() override { colloquor::send_options(); }
  void update_controls() override { colloquor::update_controls(); }
  void save_settings() override { colloquor::save_settings(); }
  void apply_capture_options_with_saving() override { colloquor::apply_capture_options(true); }
};

}  // namespace

void on_worker_line(HWND window, WorkerLine* line) {
  const std::unique_ptr<WorkerLine> owned(line);
  if (!owned) return;
  WindowView view(window);
  handle_worker_line(worker_state, view, *owned);
}

void fill_speaker_models(HWND window) {
  WindowView view(window);
  fill_speaker_models(worker_state, view);
}

void fill_translation_models(HWND window) {
  WindowView view(window);
  fill_translation_models(worker_state, view);
}

void clear_transcript(HWND window) {
  WindowView view(window);
  clear_transcript(worker_state, view);
}

}  // namespace colloquor
