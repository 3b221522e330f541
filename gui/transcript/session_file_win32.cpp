// The session files on disk: the current session's file is open for the whole session and shared
// for reading, so that other programs can follow it while it grows; a session that is no longer
// current stays open while the worker still owes it lines. Every row is written with one call and
// flushed at once.
#include <windows.h>

#include <algorithm>
#include <vector>

#include "shared/program_dir_win32.h"
#include "transcript/session_file.h"
#include "shared/win32_text.h"

namespace colloquor {
namespace {

// Names tried when the stamp's own file already exists (a second session in the same second, or
// the clock set back): an existing session is never overwritten.
constexpr int kMaxNameAttempts = 100;

struct SessionFile {
  SessionKey key = kNoSession;
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::u16string path;
  std::int32_t line_count = 0;
  UnsavedBytes unsaved;
};

struct SessionFiles {
  std::vector<SessionFile> open;
  SessionKey current = kNoSession;
  SessionKey last_key = kNoSession;
  std::u16string no_path;
  SessionHistoryHooks hooks;
  bool (*lines_owed)(SessionKey) = nullptr;
  void (*saving)(bool ok) = nullptr;
  bool saving_ok = true;
};

SessionFiles& files() {
  static SessionFiles state;
  return state;
}

SessionFile* find_open(SessionKey key) {
  if (key == kNoSession) return nullptr;
  for (SessionFile& file : files().open) {
    if (file.key == key) return &file;
  }
  return nullptr;
}

// Hands the file's unsaved bytes to the disk and flushes them; false while some are left.
bool save(SessionFile& file) {
  if (file.unsaved.bytes.empty()) return true;
  const bool done = write_unsaved(file.unsaved, [&file](std::string_view bytes) {
    DWORD written = 0;
    WriteFile(file.handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    return static_cast<std::size_t>(written);
  });
  FlushFileBuffers(file.handle);
  return done;
}

// Tells the observer when saving fails, and when every open file is saved whole again.
void report_saving(bool ok) {
  SessionFiles& state = files();
  if (!ok) {
    if (state.saving_ok && state.saving != nullptr) state.saving(false);
    state.saving_ok = false;
    return;
  }
  for (const SessionFile& file : state.open) {
    if (!file.unsaved.bytes.empty()) return;
  }
  if (!state.saving_ok && state.saving != nullptr) state.saving(true);
  state.saving_ok = true;
}

HANDLE create_new_file(const std::u16string& path) {
  return CreateFileW(wide(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Closes one open file and forgets it; an empty session's file and history entry go too.
void finish(SessionKey key, bool delete_when_empty) {
  SessionFiles& state = files();
  const auto found = std::find_if(state.open.begin(), state.open.end(),
                                  [key](const SessionFile& file) { return file.key == key; });
  if (found == state.open.end()) return;
  SessionFile file = std::move(*found);
  state.open.erase(found);
  save(file);  // a last attempt; what still does not fit stays in the panels only
  CloseHandle(file.handle);
  if (delete_when_empty && file.line_count == 0) {
    DeleteFileW(wide(file.path));
    if (state.hooks.removed != nullptr) state.hooks.removed(file.path);
  }
}

bool owed_lines(SessionKey key) {
  const SessionFiles& state = files();
  return state.lines_owed != nullptr && state.lines_owed(key);
}

}  // namespace

void set_session_history_hooks(const SessionHistoryHooks& hooks) { files().hooks = hooks; }

void set_session_owed_query(bool (*lines_owed)(SessionKey session)) {
  files().lines_owed = lines_owed;
}

void set_session_save_observer(void (*saving)(bool ok)) { files().saving = saving; }

void retry_unsaved_session_lines() {
  if (files().saving_ok) return;
  bool all = true;
  for (SessionFile& file : files().open) all = save(file) && all;
  report_saving(all);
}

std::u16string history_folder() {
  return from_wide(program_dir()) + u"\\" + std::u16string(kHistoryFolderName);
}

bool create_session_file() {
  return create_session_file_in(history_folder(), from_wide(local_timestamp()));
}

bool create_session_file_in(const std::u16string& folder, const std::u16string& stamp) {
  close_session_file();
  CreateDirectoryW(wide(folder), nullptr);  // an existing folder is fine; a failure shows below

  SessionFiles& state = files();
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    const std::u16string path = folder + u"\\" + session_file_name(stamp, attempt);
    HANDLE handle = create_new_file(path);
    if (handle == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_EXISTS) continue;
      return false;
    }
    state.current = ++state.last_key;
    state.open.push_back(SessionFile{state.current, handle, path, 0, {session_header_line(stamp)}});
    report_saving(save(state.open.back()));
    if (state.hooks.created != nullptr) state.hooks.created(path, stamp);
    return true;
  }
  return false;
}

void append_session_line(const TranscriptLine& line) {
  append_session_line_to(files().current, line);
}

void append_session_line_to(SessionKey key, const TranscriptLine& line) {
  SessionFile* file = find_open(key);
  if (file == nullptr) return;
  file->unsaved.bytes += session_row_line(line);
  report_saving(save(*file));
  ++file->line_count;
  const std::u16string path = file->path;  // the hook may change the list of open files
  if (files().hooks.line_saved != nullptr) files().hooks.line_saved(path);
}

void close_session_file() {
  SessionFiles& state = files();
  const SessionKey key = state.current;
  state.current = kNoSession;
  if (key != kNoSession && !owed_lines(key)) finish(key, true);
}

void release_session_file(SessionKey key) {
  if (key == files().current || owed_lines(key)) return;
  finish(key, true);
}

void close_all_session_files() {
  SessionFiles& state = files();
  state.current = kNoSession;
  while (!state.open.empty()) finish(state.open.front().key, true);
}

void forget_session_file(const std::u16string& path) {
  SessionFiles& state = files();
  for (const SessionFile& file : state.open) {
    if (file.path != path) continue;
    if (file.key == state.current) state.current = kNoSession;
    finish(file.key, false);
    return;
  }
}

bool session_file_open() { return find_open(files().current) != nullptr; }

SessionKey current_session_key() { return files().current; }

const std::u16string& current_session_path() {
  const SessionFile* file = find_open(files().current);
  return file != nullptr ? file->path : files().no_path;
}

std::int32_t current_session_line_count() {
  const SessionFile* file = find_open(files().current);
  return file != nullptr ? file->line_count : 0;
}

std::size_t open_session_file_count() { return files().open.size(); }

SessionContents read_session_file(const std::u16string& path) {
  // Shared for writing too: the current session's file is held open for writing by this program.
  HANDLE file = CreateFileW(wide(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string bytes;
  char chunk[64 * 1024];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
  CloseHandle(file);
  return read_session_text(bytes);
}

}  // namespace colloquor
