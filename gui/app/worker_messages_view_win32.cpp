#include "app/worker_messages_view_win32.h"

#include <commctrl.h>

#include <string>

#include "app/control_ids.h"
#include "transcript/panel_win32.h"
#include "shared/win32_text.h"

namespace colloquor {

void ControlsView::set_status(std::u16string_view text) {
  SetWindowTextW(item(kIdStatusLine), wide(std::u16string(text)));
}

void ControlsView::show_download_bar(bool visible) {
  ShowWindow(item(kIdDownloadProgress), visible ? SW_SHOWNA : SW_HIDE);
}

void ControlsView::set_download_position(int percent) {
  SendMessageW(item(kIdDownloadProgress), PBM_SETPOS, static_cast<WPARAM>(percent), 0);
}

void ControlsView::lock_translation_off() {
  SendMessageW(item(kIdTranslationLanguageList), CB_SETCURSEL, 0, 0);
  EnableWindow(item(kIdTranslationLanguageList), FALSE);
  EnableWindow(item(kIdSwapButton), FALSE);
}

void ControlsView::lock_single_voice() {
  CheckDlgButton(window_, kIdSeveralVoicesRadio, BST_UNCHECKED);
  CheckDlgButton(window_, kIdOneInterlocutorRadio, BST_CHECKED);
  EnableWindow(item(kIdSeveralVoicesRadio), FALSE);
}

void ControlsView::fill_model_list(ModelList list, const std::vector<std::u16string>& items,
                                   int selected) {
  HWND combo = item(list == ModelList::speaker ? kIdSpeakerModelList : kIdTranslationModelList);
  SendMessageW(combo, CB_RESETCONTENT, 0, 0);
  for (const std::u16string& text : items) {
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide(text)));
  }
  SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
}

void ControlsView::set_partial(PanelId id, int channel, const PanelLine& line) {
  colloquor::set_partial(panel(id), channel, line);
}

void ControlsView::append_final(PanelId id, const PanelLine& line) {
  colloquor::append_final(panel(id), line);
}

void ControlsView::drop_partial(PanelId id, int channel) {
  colloquor::drop_partial(panel(id), channel);
}

bool ControlsView::lines_labelled() {
  const bool system_audio = IsDlgButtonChecked(window_, kIdSystemAudioCheck) == BST_CHECKED;
  const bool several = IsDlgButtonChecked(window_, kIdSeveralVoicesRadio) == BST_CHECKED;
  return system_audio || (several && !state_.speakers_unavailable);
}

}  // namespace colloquor
