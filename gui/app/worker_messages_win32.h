// The main window's handler of WM_WORKER_LINE.
#pragma once

#include <windows.h>

#include "app/worker_messages.h"

namespace colloquor {

// Call from the window procedure on WM_WORKER_LINE with the record from the second parameter:
//   case WM_WORKER_LINE: on_worker_line(hwnd, reinterpret_cast<WorkerLine*>(lParam)); return 0;
// Takes ownership: the record is deleted here after handling, for every kind (a null record is
// ignored). Controls are found by id under `window`.
void on_worker_line(HWND window, WorkerLine* line);

// Refill the model lists from worker_state (for example after the chosen ids were loaded).
void fill_speaker_models(HWND window);
void fill_translation_models(HWND window);

// Clear's and New session's share: see clear_transcript in worker_messages.h.
void clear_transcript(HWND window);

}  // namespace colloquor
