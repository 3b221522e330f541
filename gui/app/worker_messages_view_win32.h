// The part of the window that worker lines change directly: status line, download bar, language
// and speaker controls, model lists and the two transcript panels, found by id under the window.
// The operations that belong to other parts of the window (options, settings, capture, session
// file) stay abstract here and are supplied by the main window's view.
#pragma once

#include <windows.h>

#include "app/worker_messages.h"

namespace colloquor {

class ControlsView : public WorkerView {
 public:
  ControlsView(HWND window, const WorkerState& state, TranscriptPanel& recognized,
               TranscriptPanel& translation)
      : window_(window), state_(state), recognized_(recognized), translation_(translation) {}

  void set_status(std::u16string_view text) override;
  void show_download_bar(bool visible) override;
  void set_download_position(int percent) override;
  void lock_translation_off() override;
  void lock_single_voice() override;
  void fill_model_list(ModelList list, const std::vector<std::u16string>& items,
                       int selected) override;
  void set_partial(PanelId panel, int channel, const PanelLine& line) override;
  void append_final(PanelId panel, const PanelLine& line) override;
  void drop_partial(PanelId panel, int channel) override;
  // Read from the check boxes, which the capture options mirror: system audio ticked, or
  // "Several (detect voices)" chosen while speaker detection is available.
  bool lines_labelled() override;

 protected:
  HWND item(int id) const { return GetDlgItem(window_, id); }
  TranscriptPanel& panel(PanelId id) {
    return id == PanelId::recognized ? recognized_ : translation_;
  }

  HWND window_;
  const WorkerState& state_;
  TranscriptPanel& recognized_;
  TranscriptPanel& translation_;
};

}  // namespace colloquor
