// The reader of the worker's standard output: one thread that turns every line into a WorkerLine
// posted to the main window as WM_WORKER_LINE, and posts one "X" record when the output ends.
#pragma once

#include <windows.h>

#include <memory>

#include "worker_link/worker_line.h"

namespace colloquor {

// Posts a heap record to the window, which takes it back with take_worker_line. While the window's
// queue is full the post is retried; when the window no longer exists the record is deleted here.
// Also used by the bootstrap for its "S" and "E" records.
bool post_worker_line(HWND window, WorkerLine* line);

// The record of a WM_WORKER_LINE, owned by the caller from now on; empty when the message did not
// come from this program's reader or bootstrap (or was already handled).
std::unique_ptr<WorkerLine> take_worker_line(LPARAM lparam);

// Starts the reader thread on the read end of the worker's output pipe, once per run. The handle
// stays open (the pipes live for the whole run). False when the thread could not be created.
bool start_reader(HWND window, HANDLE worker_output);

// Lets the reader thread go at program end without waiting for it.
void detach_reader_thread();

// The thread's body: reads until the pipe ends, then posts "X". Blocks; exposed for tests.
void run_reader(HWND window, HANDLE worker_output);

}  // namespace colloquor
