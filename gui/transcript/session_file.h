// Session files: one file per session in the "history" folder, a header line and one row line per
// finished line with its translation, flushed as each line arrives so that nothing is lost when the
// program or the machine stops. This header has the portable format (rows, field cleaning, the
// reading rule, file names) and the window-thread operations, whose Win32 shell is
// session_file_win32.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/text.h"
#include "transcript/transcript_line.h"

namespace colloquor {

// ---- Format (portable) ----------------------------------------------------------------------

inline constexpr std::string_view kSessionHeaderTag = "#V1";
inline constexpr std::u16string_view kSessionFileExtension = u".txt";
inline constexpr std::u16string_view kHistoryFolderName = u"history";

// "#V1", TAB, the time stamp, LF.
std::string session_header_line(std::u16string_view stamp);

// A text field as written: UTF-8, with every TAB, CR and LF replaced by a space. Unpaired
// surrogates become U+FFFD, so the file is always valid UTF-8.
std::string session_text_field(std::u16string_view text);

// A byte field (language codes) as written: the bytes as they are, except that TAB, CR and LF
// become spaces, so that no field can ever split or end a row.
std::string session_byte_field(std::string_view bytes);

// One row line: U, channel, speaker, labelled, language, translation language, text, translation,
// separated by TAB and ended by LF.
std::string session_row_line(const TranscriptLine& line);

// What a session file holds by the reading rule.
struct SessionContents {
  std::u16string stamp;  // second field of the last header line that has one; empty otherwise
  std::vector<TranscriptLine> lines;
};

// The reading rule: the whole file converted from UTF-8 (bad bytes become U+FFFD), split at LF with
// one trailing CR removed per line; "#V1..." lines are headers, lines of at least eight TAB
// separated fields whose first field is exactly "U" are rows, anything else is skipped.
SessionContents read_session_text(std::string_view bytes);

// The row line of one text line already split from a file, if it is one.
bool parse_session_row(std::u16string_view line, TranscriptLine& row);

// File name of a session begun at stamp: the stamp and ".txt". A positive attempt number gives
// the name to use when that one is taken: stamp, "_", attempt + 1, ".txt" ("..._2.txt").
std::u16string session_file_name(std::u16string_view stamp, int attempt = 0);

// Bytes of a session file not yet on disk. A write that fails (a full disk) or takes only part of
// them leaves the rest here, and the next attempt goes on where it stopped, so a row is never
// lost or written twice.
struct UnsavedBytes {
  std::string bytes;
};
// Writes as much as `write` takes (it returns the count it wrote; 0 when it failed). True when
// nothing is left.
bool write_unsaved(UnsavedBytes& unsaved,
                   const std::function<std::size_t(std::string_view)>& write);

// ---- Window-thread operations (Win32: session_file_win32.cpp) --------------------------------

// What the history list does when the session file changes. The history list installs these once;
// until then (and for members left empty) nothing happens beyond the file itself.
struct SessionHistoryHooks {
  // A session file was created: path and the stamp of its header, no lines yet.
  void (*created)(const std::u16string& path, const std::u16string& stamp) = nullptr;
  // One row line was written (or its write failed) for the session at path.
  void (*line_saved)(const std::u16string& path) = nullptr;
  // The session at path was closed without any line and its file deleted.
  void (*removed)(const std::u16string& path) = nullptr;
};
void set_session_history_hooks(const SessionHistoryHooks& hooks);

// The folder of the session files: the program's folder and "\history".
std::u16string history_folder();

// A session that stops being current while lines are still owed to it (its recording's last
// utterance is still being recognized, or a finished line waits for its translation) keeps its
// file open until the window releases it. The window tells which sessions are owed lines.
void set_session_owed_query(bool (*lines_owed)(SessionKey session));

// Told when saving starts failing (false) and when everything unsaved has reached the disk again
// (true). Rows that could not be written are kept and written by later appends or by
// retry_unsaved_session_lines.
void set_session_save_observer(void (*saving)(bool ok));
void retry_unsaved_session_lines();

// Closes the current session, creates the history folder next to the program and a new session
// file named after the local time, and writes its header. True when a file is open afterwards;
// the session is current exactly then.
bool create_session_file();

// The same in a given folder with a given stamp (the history folder and local_timestamp above).
bool create_session_file_in(const std::u16string& folder, const std::u16string& stamp);

// Writes one row line with one write and flushes it to disk, into the current session's file or
// into the file of the given session while that is still open.
void append_session_line(const TranscriptLine& line);
void append_session_line_to(SessionKey session, const TranscriptLine& line);

// The current session is no longer current. Its file is closed, and deleted when it received no
// row line; while lines are still owed to it, that happens only once it is released.
void close_session_file();
// A session that is not current is owed nothing any more: close it as above.
void release_session_file(SessionKey session);
// Closes every open session file by the same rule (the window is closing).
void close_all_session_files();
// Closes the file at `path` whether or not lines are owed to it, and never deletes it (the user is
// deleting that session).
void forget_session_file(const std::u16string& path);

bool session_file_open();
// The current session, or kNoSession.
SessionKey current_session_key();
// Full path of the current session file; empty when no session is current.
const std::u16string& current_session_path();
// Row lines appended to the current session so far.
std::int32_t current_session_line_count();
// Session files open now, the current one included.
std::size_t open_session_file_count();

// Reads a whole session file by the reading rule; a file that cannot be opened reads as empty.
SessionContents read_session_file(const std::u16string& path);

}  // namespace colloquor
