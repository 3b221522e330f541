#include "transcript/export_win32.h"

#include <commdlg.h>

#include <algorithm>
#include <cstring>

#include "shared/win32_text.h"

namespace colloquor {
namespace {

bool write_all(HANDLE file, const std::string& bytes) {
  if (bytes.size() > MAXDWORD) return false;
  DWORD written = 0;
  const BOOL ok =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  return ok && written == bytes.size();
}

// The selection of a language list as (has selection, item data).
struct ListChoice {
  bool selected = false;
  std::int64_t data = -1;
};

ListChoice list_choice(HWND list) {
  if (list == nullptr) return {};
  const LRESULT index = SendMessageW(list, CB_GETCURSEL, 0, 0);
  if (index == CB_ERR) return {};
  const LRESULT data = SendMessageW(list, CB_GETITEMDATA, static_cast<WPARAM>(index), 0);
  if (data == CB_ERR) return {};
  return ListChoice{true, static_cast<std::int64_t>(data)};
}

class WindowExportView final : public ExportView {
 public:
  explicit WindowExportView(const ExportWindow& window)
      : owner_(window.owner), status_line_(window.status_line) {}

  bool choose_path(const std::u16string& proposed, std::u16string& chosen) override {
    wchar_t name[kSaveNameCapacity] = {};
    const std::size_t length = std::min(proposed.size(), kSaveNameCapacity - 1);
    std::memcpy(name, proposed.data(), length * sizeof(wchar_t));
    const std::u16string title(kSaveDialogTitle);
    const std::u16string extension(kSaveDialogExtension);

    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = owner_;
    dialog.lpstrFilter = reinterpret_cast<const wchar_t*>(kSaveDialogFilter);
    dialog.lpstrFile = name;
    dialog.nMaxFile = static_cast<DWORD>(kSaveNameCapacity);
    dialog.lpstrTitle = wide(title);
    dialog.lpstrDefExt = wide(extension);
    dialog.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST;
    if (!GetSaveFileNameW(&dialog)) return false;
    chosen.assign(reinterpret_cast<const char16_t*>(name));
    return true;
  }

  std::u16string proposed_name() override {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return proposed_export_name(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute);
  }

  bool write_document(const std::u16string& path, std::u16string_view text) override {
    return write_utf8_file(path, text);
  }

  void set_status(std::u16string_view text) override {
    std::u16string storage;
    if (status_line_ != nullptr) SetWindowTextW(status_line_, wide(text, storage));
  }

 private:
  HWND owner_;
  HWND status_line_;
};

}  // namespace

bool write_utf8_file(const std::u16string& path, std::u16string_view text) {
  const std::string bytes = utf8_document(text);
  HANDLE file = CreateFileW(wide(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool written = write_all(file, bytes);
  CloseHandle(file);
  return written;
}

void save_transcripts(const ExportWindow& window, const std::vector<TranscriptLine>& lines) {
  const ListChoice speech = list_choice(window.speech_list);
  const ListChoice target = list_choice(window.translation_list);
  WindowExportView view(window);
  save_transcripts(lines, speech_list_code(speech.selected, speech.data),
                   translation_list_code(target.selected, target.data), view);
}

void save_transcripts_as_recorded(const ExportWindow& window,
                                  const std::vector<TranscriptLine>& lines) {
  const ListChoice speech = list_choice(window.speech_list);
  const ListChoice target = list_choice(window.translation_list);
  const ExportLanguages languages =
      viewed_session_languages(lines, speech_list_code(speech.selected, speech.data),
                               translation_list_code(target.selected, target.data));
  WindowExportView view(window);
  save_transcripts(lines, languages.speech, languages.translation, view);
}

bool copy_text_to_clipboard(HWND owner, std::u16string_view text) {
  if (!OpenClipboard(owner)) return false;
  EmptyClipboard();
  const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes);
  bool placed = false;
  if (block != nullptr) {
    if (void* target = GlobalLock(block)) {
      std::memcpy(target, text.data(), text.size() * sizeof(wchar_t));
      static_cast<wchar_t*>(target)[text.size()] = L'\0';
      GlobalUnlock(block);
      placed = SetClipboardData(CF_UNICODETEXT, block) != nullptr;
    }
    if (!placed) GlobalFree(block);  // the clipboard owns the block only once it was set
  }
  CloseClipboard();
  return placed;
}

void copy_panel_text(HWND owner, const TranscriptPanel& panel) {
  copy_text_to_clipboard(owner, panel_text(panel));
}

}  // namespace colloquor
