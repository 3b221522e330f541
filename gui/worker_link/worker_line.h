// One line of the worker's output as the window receives it, and the window messages that threads
// post to the main window. Kept free of <windows.h> so that portable code can name the messages.
#pragma once

#include <cstdint>
#include <string>

#include "worker_link/posted_records.h"
#include "worker_link/protocol.h"

namespace colloquor {

// Window message numbers (WM_APP is 0x8000 on every Windows version).
inline constexpr unsigned kWmApp = 0x8000;
// Second parameter: the address of a WorkerLine given away through posted_worker_lines().
inline constexpr unsigned WM_WORKER_LINE = kWmApp + 1;
// First parameter: level 0..100; second: channel * 2 + speech flag.
inline constexpr unsigned WM_AUDIO_LEVEL = kWmApp + 2;
// First parameter: the loopback run that failed; second: the reason, a UTF-16 string given away
// through the capture code's registry (take_loopback_failure_reason).
inline constexpr unsigned WM_LOOPBACK_FAILED = kWmApp + 3;

// A worker line, or a status / error / end record made by Parlivo. The poster gives it away
// through posted_worker_lines(); whoever receives WM_WORKER_LINE takes it back from there (and so
// owns and frees it), whatever its kind.
struct WorkerLine {
  char kind = 0;
  std::int32_t channel = 0;  // recognition lines: the channel field
  std::int32_t number = 0;   // recognition lines: the speaker; progress lines: the percent
  std::string language;      // recognition lines: UTF-8 bytes as received
  std::u16string text;       // the rest of the line; catalog lines keep their fields joined by TAB
};

// The WorkerLine records in flight to the window.
PostedRecords<WorkerLine>& posted_worker_lines();

}  // namespace colloquor
