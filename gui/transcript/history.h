// The Sessions list: one entry per session file in the history folder, newest first, each shown as
// its date, time and line count, the session being recorded marked. The list model and the
// operations on it (load, refresh, view, delete, and the session file's notifications) are
// portable and reach the window, the list box, the files and the panels through HistoryView; the
// Win32 shell is history_win32.cpp. Window thread only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "transcript/transcript_line.h"
#include "transcript/session_file.h"

namespace colloquor {

struct HistoryEntry {
  std::u16string path;          // full path of the session file
  std::u16string label;         // the header's time stamp, or the file name without extension
  std::int32_t line_count = 0;  // row lines in the file
};

// The history list, in the order of the Sessions list box (entry i is item i).
struct HistoryList {
  std::vector<HistoryEntry> entries;
  // The saved session the panels show, while no session is current; empty otherwise.
  std::u16string viewed_path;
};

// The one history list of the program.
extern HistoryList history_list;

// Marks the item of the session being recorded.
inline constexpr std::u16string_view kRecordingMark = u"\u25CF ";
inline constexpr std::u16string_view kDeleteQuestion = u"Delete this record from the history?";
inline constexpr std::u16string_view kDeleteCaption = u"Sessions";
inline constexpr std::u16string_view kViewingStatus =
    u"Viewing a saved session. Press \"+ New session\" to record again.";

// "2024-05-01   14:03:22   (12)", preceded by the mark when `recording` (capture runs and the
// entry is the current session).
std::u16string history_label(const HistoryEntry& entry, bool recording);

// The file name of a path (after its last '\' or '/') without its last extension.
std::u16string file_stem(std::u16string_view path);

// The entry of a session file read by the reading rule: labelled by its header's stamp, or by its
// file name when no header gave one.
HistoryEntry history_entry_of(std::u16string path, const SessionContents& contents);

// Newest first: labels descending by UTF-16 code units, a longer label before its own prefix.
// Entries with equal labels keep their order.
void sort_history(std::vector<HistoryEntry>& entries);

// Index of the entry with exactly this path (case-sensitive), or -1.
int find_history_entry(const HistoryList& list, std::u16string_view path);

// What the history operations need from the window around them.
struct HistoryView {
  virtual ~HistoryView() = default;
  // Empties the Sessions list box, adds the items in order and selects `selection` (-1: none).
  virtual void fill_list(const std::vector<std::u16string>& items, int selection) = 0;
  // Replaces one item's text in place, keeping the list's selection as it was.
  virtual void replace_item(int index, const std::u16string& text) = 0;
  // The delete confirmation; true only for "Yes".
  virtual bool confirm_delete() = 0;
  virtual bool capture_running() = 0;
  virtual bool session_open() = 0;
  virtual void clear_session_open() = 0;
  virtual std::u16string current_session_path() = 0;
  virtual void close_session_file() = 0;
  // A file that cannot be read reads as empty.
  virtual SessionContents read_session_file(const std::u16string& path) = 0;
  // Deletes the file; a failure is ignored.
  virtual void delete_file(const std::u16string& path) = 0;
  // Empties both panels, transcript_lines and both pending_finals queues.
  virtual void clear_transcript() = 0;
  // Appends the saved lines to transcript_lines and shows them in the panels as finished lines:
  // every text in the recognized-speech panel, every non-empty translation in the translation
  // panel. The panels were just emptied.
  virtual void show_saved_lines(const std::vector<TranscriptLine>& lines) = 0;
  virtual void update_controls() = 0;
  virtual void set_status(std::u16string_view text) = 0;
};

// Builds the list from the given session files (in folder order), sorts it and fills the list box
// without a selection.
void load_history(HistoryList& list, HistoryView& view, const std::vector<std::u16string>& paths);

// Refills the list box from the list; selects `selection` when it is an index of the list.
void refresh_history_list(const HistoryList& list, HistoryView& view, int selection);

// Index of the current session's entry, or -1 when there is no current session or it is unlisted.
int current_session_entry(const HistoryList& list, HistoryView& view);

// Shows a saved session read-only in the panels (nothing while recording, for an index out of
// range, or for the current session while it is open).
void open_history_entry(HistoryList& list, HistoryView& view, int index);

// Deletes a saved session after confirmation; the current session is closed first.
void delete_history_entry(HistoryList& list, HistoryView& view, int index);

// The session file's notifications: a new session at the front, selected; one more line for the
// session at path, relabelled in place; an empty session closed and deleted (possibly some time
// after it stopped being current), the entry on screen staying selected.
void history_session_created(HistoryList& list, HistoryView& view, const std::u16string& path,
                             const std::u16string& stamp);
void history_line_saved(HistoryList& list, HistoryView& view, const std::u16string& path);
void history_session_removed(HistoryList& list, HistoryView& view, const std::u16string& path);

}  // namespace colloquor
