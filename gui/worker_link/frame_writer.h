// Parlivo's frame writer: every frame to the worker goes through send_frame. The worker input
// handle is empty until the bootstrap has started the worker; until then frames are dropped.
#pragma once

#include <cstdint>

#include "worker_link/frame_queue.h"

namespace colloquor {

// Writes one whole frame with a single write under the frame lock; drops it while no worker input
// exists. Reports nothing (a broken pipe shows as the end of the worker's output instead).
void send_frame(char type, const void* payload, std::uint32_t length);

// Sets the write end of the worker's standard input, once, from the bootstrap thread. The handle is
// passed as void* so that portable callers need no <windows.h>.
void set_worker_input(void* handle);

// True once a worker input handle has been set.
bool worker_input_ready();

// Audio dropped so far because the worker did not keep up (frame_queue.h).
DroppedAudio dropped_worker_audio();

}  // namespace colloquor
