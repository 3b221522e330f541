// The Sessions list on the real window: the list box, the history folder, the delete
// confirmation (the program's only message box) and the shell. Window thread only.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "transcript/history.h"

namespace colloquor {

// The window around the Sessions list, given once at window creation before load_history. Members
// left empty are treated as "no": no capture running, no session open, nothing to update.
struct HistoryWindow {
  HWND window = nullptr;  // owner of the delete confirmation
  HWND sessions_list = nullptr;
  HWND status_line = nullptr;
  bool* session_open = nullptr;
  // Raised while the program itself fills or selects in the list, so that the window does not
  // take the selection notifications for the user's choice.
  bool* selecting_by_program = nullptr;
  std::vector<TranscriptLine>* transcript_lines = nullptr;
  bool (*capture_running)() = nullptr;
  // Empties transcript_lines and both pending_finals queues by the window's own rule.
  void (*clear_transcript)() = nullptr;
  void (*update_controls)() = nullptr;
};

// Remembers the window and connects the history list to the session file's notifications.
void set_history_window(const HistoryWindow& window);

// Scans the history folder next to the program, sorts the entries and fills the list unselected.
void load_history();
// The same for any folder of session files.
void load_history_from(const std::u16string& folder);

// Refills the list box; selects the item when `selection` is an index of the list.
void refresh_history_list(int selection);
// Refills the list box with the current session's entry selected, or nothing selected when there
// is no current session (the window's update_controls uses this).
void select_current_session_in_history();

// Shows the saved session of list item `index` in the panels (the list's selection change and
// "Open" of its context menu).
void open_history_entry(int index);

// Deletes the session of list item `index` after the confirmation owned by `owner` ("Delete" of
// the context menu and the Delete key; -1 when nothing is selected does nothing).
void delete_history_entry(HWND owner, int index);

// Creates the folder `name` in the program's folder if needed and opens it in the shell.
void open_history_folder(const std::wstring& name);
// The same under any parent folder; true when the shell accepted it.
bool open_folder_in_shell(const std::u16string& parent, const std::wstring& name);

}  // namespace colloquor
