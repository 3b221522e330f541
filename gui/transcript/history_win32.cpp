#include "transcript/history_win32.h"

#include <richedit.h>
#include <shellapi.h>

#include "shared/program_dir_win32.h"
#include "transcript/panel_win32.h"
#include "shared/win32_text.h"

namespace colloquor {
namespace {

HistoryWindow g_window;

// Raises selecting_by_program for its lifetime and restores the value it found.
class ProgramSelection {
 public:
  ProgramSelection() : flag_(g_window.selecting_by_program) {
    if (flag_ != nullptr) {
      previous_ = *flag_;
      *flag_ = true;
    }
  }
  ~ProgramSelection() {
    if (flag_ != nullptr) *flag_ = previous_;
  }
  ProgramSelection(const ProgramSelection&) = delete;
  ProgramSelection& operator=(const ProgramSelection&) = delete;

 private:
  bool* flag_;
  bool previous_ = false;
};

PanelLine panel_line(const TranscriptLine& line, const std::u16string& text) {
  return PanelLine{line.channel, line.speaker, line.labelled, text};
}

// Writes one run at the end of the control in its colour and weight, as the panel writes its runs.
void append_run(HWND control, const StyledRun& run) {
  if (run.text.empty()) return;
  constexpr LPARAM kPastTheEnd = 0x7FFFFFFF;
  SendMessageW(control, EM_SETSEL, static_cast<WPARAM>(kPastTheEnd), kPastTheEnd);
  CHARFORMAT2W format{};
  format.cbSize = sizeof(format);
  format.dwMask = CFM_COLOR | CFM_BOLD;
  format.dwEffects = run.bold ? CFE_BOLD : 0;
  format.crTextColor = static_cast<COLORREF>(run.colour);
  SendMessageW(control, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
  SendMessageW(control, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(run.text.c_str()));
}

// A saved session's finished lines written into a panel that was just emptied, exactly as
// append_final writes them one by one, but redrawn once at the end: line by line, a rich-edit
// control redraws and rescrolls after every line, which makes a long session take many seconds.
void write_saved_lines(TranscriptPanel& panel, const std::vector<PanelLine>& lines) {
  panel.finals.insert(panel.finals.end(), lines.begin(), lines.end());
  HWND control = panel_control(panel);
  if (control == nullptr || lines.empty()) return;
  SendMessageW(control, WM_SETREDRAW, FALSE, 0);
  for (const PanelLine& line : lines) {
    for (const StyledRun& run : line_runs(line, false)) append_run(control, run);
  }
  GETTEXTLENGTHEX length{GTL_DEFAULT, 1200};
  panel.partial_start = static_cast<std::int32_t>(
      SendMessageW(control, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&length), 0));
  SendMessageW(control, WM_SETREDRAW, TRUE, 0);
  SendMessageW(control, WM_VSCROLL, SB_BOTTOM, 0);
  InvalidateRect(control, nullptr, TRUE);
}

class WindowHistoryView final : public HistoryView {
 public:
  explicit WindowHistoryView(HWND owner) : owner_(owner) {}

  void fill_list(const std::vector<std::u16string>& items, int selection) override {
    HWND list = sessions_list();
    if (list == nullptr) return;
    ProgramSelection quiet;
    SendMessageW(list, LB_RESETCONTENT, 0, 0);
    for (const std::u16string& item : items) {
      SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide(item)));
    }
    if (selection >= 0) SendMessageW(list, LB_SETCURSEL, static_cast<WPARAM>(selection), 0);
  }

  void replace_item(int index, const std::u16string& text) override {
    HWND list = sessions_list();
    if (list == nullptr) return;
    ProgramSelection quiet;
    const LRESULT selected = SendMessageW(list, LB_GETCURSEL, 0, 0);
    const LRESULT top = SendMessageW(list, LB_GETTOPINDEX, 0, 0);
    SendMessageW(list, WM_SETREDRAW, FALSE, 0);
    SendMessageW(list, LB_DELETESTRING, static_cast<WPARAM>(index), 0);
    SendMessageW(list, LB_INSERTSTRING, static_cast<WPARAM>(index),
                 reinterpret_cast<LPARAM>(wide(text)));
    SendMessageW(list, LB_SETCURSEL, static_cast<WPARAM>(selected), 0);  // LB_ERR (-1): none
    if (top != LB_ERR) SendMessageW(list, LB_SETTOPINDEX, static_cast<WPARAM>(top), 0);
    SendMessageW(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
  }

  bool confirm_delete() override {
    const std::u16string text(kDeleteQuestion);
    const std::u16string caption(kDeleteCaption);
    return MessageBoxW(owner_, wide(text), wide(caption), MB_YESNO | MB_ICONQUESTION) == IDYES;
  }

  bool capture_running() override {
    return g_window.capture_running != nullptr && g_window.capture_running();
  }
  bool session_open() override {
    return g_window.session_open != nullptr && *g_window.session_open;
  }
  void clear_session_open() override {
    if (g_window.session_open != nullptr) *g_window.session_open = false;
  }
  std::u16string current_session_path() override { return colloquor::current_session_path(); }
  void close_session_file() override { colloquor::close_session_file(); }
  SessionContents read_session_file(const std::u16string& path) override {
    return colloquor::read_session_file(path);
  }
  void delete_file(const std::u16string& path) override {
    // A session still owed lines holds its file open; it is deleted now, the late lines with it.
    forget_session_file(path);
    DeleteFileW(wide(path));
  }

  void clear_transcript() override {
    clear_panel(recognized_panel);
    clear_panel(translation_panel);
    if (g_window.clear_transcript != nullptr) {
      g_window.clear_transcript();
    } else if (g_window.transcript_lines != nullptr) {
      g_window.transcript_lines->clear();
    }
  }

  void show_saved_lines(const std::vector<TranscriptLine>& lines) override {
    std::vector<PanelLine> texts;
    std::vector<PanelLine> translations;
    for (const TranscriptLine& line : lines) {
      texts.push_back(panel_line(line, line.text));
      if (!line.translation.empty()) translations.push_back(panel_line(line, line.translation));
    }
    if (g_window.transcript_lines != nullptr) {
      g_window.transcript_lines->insert(g_window.transcript_lines->end(), lines.begin(),
                                        lines.end());
    }
    write_saved_lines(recognized_panel, texts);
    write_saved_lines(translation_panel, translations);
  }

  void update_controls() override {
    if (g_window.update_controls != nullptr) g_window.update_controls();
  }

  void set_status(std::u16string_view text) override {
    std::u16string storage;
    if (g_window.status_line != nullptr) SetWindowTextW(g_window.status_line, wide(text, storage));
  }

 private:
  HWND sessions_list() const { return g_window.sessions_list; }

  HWND owner_;
};

WindowHistoryView window_view() { return WindowHistoryView(g_window.window); }

void on_session_created(const std::u16string& path, const std::u16string& stamp) {
  WindowHistoryView view = window_view();
  history_session_created(history_list, view, path, stamp);
}

void on_session_line_saved(const std::u16string& path) {
  WindowHistoryView view = window_view();
  history_line_saved(history_list, view, path);
}

void on_session_removed(const std::u16string& path) {
  WindowHistoryView view = window_view();
  history_session_removed(history_list, view, path);
}

// The session files of a folder in the order the file system lists them; folders whose names
// happen to end in ".txt" are not sessions.
std::vector<std::u16string> session_files_in(const std::u16string& folder) {
  std::vector<std::u16string> paths;
  const std::u16string pattern = folder + u"\\*" + std::u16string(kSessionFileExtension);
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW(wide(pattern), &found);
  if (search == INVALID_HANDLE_VALUE) return paths;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    paths.push_back(folder + u"\\" + from_wide(found.cFileName));
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return paths;
}

}  // namespace

void set_history_window(const HistoryWindow& window) {
  g_window = window;
  SessionHistoryHooks hooks;
  hooks.created = on_session_created;
  hooks.line_saved = on_session_line_saved;
  hooks.removed = on_session_removed;
  set_session_history_hooks(hooks);
}

void load_history() { load_history_from(history_folder()); }

void load_history_from(const std::u16string& folder) {
  WindowHistoryView view = window_view();
  load_history(history_list, view, session_files_in(folder));
}

void refresh_history_list(int selection) {
  WindowHistoryView view = window_view();
  refresh_history_list(history_list, view, selection);
}

void select_current_session_in_history() {
  WindowHistoryView view = window_view();
  refresh_history_list(history_list, view, current_session_entry(history_list, view));
}

void open_history_entry(int index) {
  WindowHistoryView view = window_view();
  open_history_entry(history_list, view, index);
}

void delete_history_entry(HWND owner, int index) {
  WindowHistoryView view(owner);
  delete_history_entry(history_list, view, index);
}

void open_history_folder(const std::wstring& name) {
  const std::wstring folder = program_dir();
  open_folder_in_shell(std::u16string(folder.begin(), folder.end()), name);
}

bool open_folder_in_shell(const std::u16string& parent, const std::wstring& name) {
  const std::u16string path = parent + u"\\" + std::u16string(name.begin(), name.end());
  CreateDirectoryW(wide(path), nullptr);  // an existing folder is fine
  const HINSTANCE result =
      ShellExecuteW(nullptr, L"open", wide(path), nullptr, nullptr, SW_SHOWNORMAL);
  return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace colloquor
