// The main window's handler of WM_WORKER_LINE, and the window's side of the finished lines that
// outlive a recording: pending translations, late answers after Stop, the end of the worker.
#pragma once

#include <windows.h>

#include "app/worker_messages.h"

namespace colloquor {

// Call from the window procedure on WM_WORKER_LINE with the message's second parameter. The record
// is taken back from the reader's registry and freed after handling, for every kind; an address
// that this program did not post is ignored.
void on_worker_line(HWND window, LPARAM lparam);

// The window's timer: ends the claims of stopped recordings that waited too long.
void on_worker_timer(HWND window);

// Refill the model lists from worker_state (for example after the chosen ids were loaded).
void fill_speaker_models(HWND window);
void fill_translation_models(HWND window);

// Clear's and New session's share: see clear_transcript in worker_messages.h.
void clear_transcript(HWND window);

// A recording of the current session has just stopped: channels that sent audio owe their next
// finished lines to this session, until the worker marks the next session.
void note_recording_stopped();

// "R" has just gone to the worker for a new session.
void note_new_session_sent();

// The window is closing: lets the worker's lines in for at most `limit_ms`, while finished lines
// still wait for their translation.
void wait_for_owed_translations(HWND window, std::uint64_t limit_ms);

// The window is closing: every finished line still waiting for its translation is saved as it is.
void save_pending_finals(HWND window);

// Connects the session files to the window's knowledge of owed lines (once, at window creation).
void connect_session_files_to_worker_state();

}  // namespace colloquor
