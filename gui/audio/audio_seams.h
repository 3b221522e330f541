// What block processing needs from the platform: a frame sink (the worker pipe), a level sink (the
// window's level meter) and a millisecond tick. The Win32 capture code installs send_frame,
// PostMessage(WM_AUDIO_LEVEL) and GetTickCount64 once per process; tests and the feed_wav tool
// install their own. Plain function pointers with one context keep the per-call cost to an
// indirect call and let a capture thread use them without locks.
#pragma once

#include <cstdint>

namespace colloquor {

struct AudioSeams {
  void* context = nullptr;
  // One frame for the worker: type letter, payload bytes, payload length.
  void (*send_frame)(void* context, char type, const void* payload, std::uint32_t length) = nullptr;
  // One level report: percent 0..100 and lparam = channel * 2 + speech flag.
  void (*post_level)(void* context, std::uint32_t percent, std::intptr_t lparam) = nullptr;
  // Milliseconds since an arbitrary start (the system's uptime on Windows).
  std::uint64_t (*tick_ms)(void* context) = nullptr;
};

// Installs the seams used by every later block. The caller keeps *seams alive while audio is
// processed; nullptr restores the defaults (frames and levels dropped, tick from a steady clock).
// Install before the capture threads start; they pick the pointer up block by block.
void install_audio_seams(const AudioSeams* seams);

// The seams currently in force (never null). Missing members of an installed set behave like the
// defaults.
const AudioSeams& audio_seams();

// Calls through the current seams, with the defaults for missing members.
void emit_frame(const AudioSeams& seams, char type, const void* payload, std::uint32_t length);
void emit_level(const AudioSeams& seams, std::uint32_t percent, std::intptr_t lparam);
std::uint64_t read_tick(const AudioSeams& seams);

// The default tick: a monotonic clock in milliseconds.
std::uint64_t steady_tick_ms();

}  // namespace colloquor
