// The session file on disk: open for the whole session and shared for reading, so that other
// programs can follow it while it grows; every row is written with one call and flushed at once.
#include <windows.h>

#include "app/program_dir_win32.h"
#include "transcript/session_file.h"

namespace colloquor {
namespace {

// Names tried when the stamp's own file already exists (a second session in the same second, or
// the clock set back): an existing session is never overwritten.
constexpr int kMaxNameAttempts = 100;

struct SessionFile {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::u16string path;
  std::int32_t line_count = 0;
  SessionHistoryHooks hooks;
};

SessionFile& session() {
  static SessionFile state;
  return state;
}

const wchar_t* wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

std::u16string from_wide(const std::wstring& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.data()), text.size());
}

void write_bytes(HANDLE file, const std::string& bytes) {
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

HANDLE create_new_file(const std::u16string& path) {
  return CreateFileW(wide(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

void set_session_history_hooks(const SessionHistoryHooks& hooks) { session().hooks = hooks; }

std::u16string history_folder() {
  return from_wide(program_dir()) + u"\\" + std::u16string(kHistoryFolderName);
}

bool create_session_file() { return create_session_file_in(history_folder(), from_wide(local_timestamp())); }

bool create_session_file_in(const std::u16string& folder, const std::u16string& stamp) {
  close_session_file();
  CreateDirectoryW(wide(folder), nullptr);  // an existing folder is fine; a failure shows below

  SessionFile& state = session();
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    const std::u16string path = folder + u"\\" + session_file_name(stamp, attempt);
    HANDLE file = create_new_file(path);
    if (file == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_EXISTS) continue;
      return false;
    }
    write_bytes(file, session_header_line(stamp));
    state.handle = file;
    state.path = path;
    state.line_count = 0;
    if (state.hooks.created != nullptr) state.hooks.created(path, stamp);
    return true;
  }
  return false;
}

void append_session_line(const TranscriptLine& line) {
  SessionFile& state = session();
  if (state.handle == INVALID_HANDLE_VALUE) return;
  write_bytes(state.handle, session_row_line(line));
  FlushFileBuffers(state.handle);
  ++state.line_count;
  if (state.hooks.line_saved != nullptr) state.hooks.line_saved(state.path);
}

void close_session_file() {
  SessionFile& state = session();
  if (state.handle != INVALID_HANDLE_VALUE) {
    CloseHandle(state.handle);
    state.handle = INVALID_HANDLE_VALUE;
    if (state.line_count == 0) {
      DeleteFileW(wide(state.path));
      if (state.hooks.removed != nullptr) state.hooks.removed(state.path);
    }
  }
  state.path.clear();
  state.line_count = 0;
}

bool session_file_open() { return session().handle != INVALID_HANDLE_VALUE; }

const std::u16string& current_session_path() { return session().path; }

std::int32_t current_session_line_count() { return session().line_count; }

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
