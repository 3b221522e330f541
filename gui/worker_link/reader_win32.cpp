#include "worker_link/reader_win32.h"

#include <memory>

#include "worker_link/line_parser.h"

namespace colloquor {

namespace {

// Process-wide state of the reader: its target window and its thread.
HWND reader_window = nullptr;
HANDLE reader_thread = nullptr;
HANDLE reader_pipe = nullptr;

constexpr DWORD kRetryPostMs = 5;

DWORD WINAPI reader_thread_main(LPVOID) {
  run_reader(reader_window, reader_pipe);
  return 0;
}

}  // namespace

// A post also fails while the window's queue is full (10 000 messages): then the window is
// behind, not gone, so the reader waits for it rather than dropping a line. Waiting here lets the
// pipe fill, which in turn makes the worker wait.
bool post_worker_line(HWND window, WorkerLine* line) {
  std::unique_ptr<WorkerLine> owned(line);
  // A null window would post to this thread's own queue, where no one takes the record back.
  if (window == nullptr) return false;
  const std::intptr_t address = posted_worker_lines().give(std::move(owned));
  for (;;) {
    if (PostMessageW(window, WM_WORKER_LINE, 0, static_cast<LPARAM>(address))) return true;
    if (!IsWindow(window)) break;
    // The window's own thread cannot wait for its queue to drain.
    if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId()) break;
    Sleep(kRetryPostMs);
  }
  posted_worker_lines().take(address);  // never delivered: freed here
  return false;
}

std::unique_ptr<WorkerLine> take_worker_line(LPARAM lparam) {
  return posted_worker_lines().take(static_cast<std::intptr_t>(lparam));
}

void run_reader(HWND window, HANDLE worker_output) {
  LineAssembler assembler;
  char chunk[kReadChunk];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(worker_output, chunk, sizeof(chunk), &got, nullptr) || got == 0) break;
    feed_bytes(assembler, std::string_view(chunk, got), [window](std::string_view line) {
      post_worker_line(window, new WorkerLine(parse_worker_line(line)));
    });
  }
  auto* ended = new WorkerLine;
  ended->kind = kLineOutputEnded;
  post_worker_line(window, ended);
}

bool start_reader(HWND window, HANDLE worker_output) {
  if (reader_thread != nullptr) return false;
  reader_window = window;
  reader_pipe = worker_output;
  reader_thread = CreateThread(nullptr, 0, reader_thread_main, nullptr, 0, nullptr);
  return reader_thread != nullptr;
}

void detach_reader_thread() {
  if (reader_thread != nullptr) CloseHandle(reader_thread);
  reader_thread = nullptr;
}

}  // namespace colloquor
