// The microphone's ring of capture buffers as the capture thread walks it: buffers are taken in
// ring order, starting after the last one taken, each processed and handed straight back to the
// driver. Portable; the Win32 microphone supplies the buffer operations.
#pragma once

namespace colloquor {

inline constexpr int kCaptureRingSize = 8;

struct CaptureRing {
  void* context = nullptr;
  // The driver has filled buffer i.
  bool (*filled)(void* context, int i) = nullptr;
  // Processes the samples of buffer i.
  void (*process)(void* context, int i) = nullptr;
  // Gives buffer i back to the driver; false when the driver refused it.
  bool (*requeue)(void* context, int i) = nullptr;
  // Marks buffer i as not filled, so that a buffer the driver refused is not taken again.
  void (*forget)(void* context, int i) = nullptr;
};

// Takes every filled buffer from `next` on, in ring order, until one is not filled or keep_going
// says no after a buffer. A buffer filled out of order waits for its predecessors. Returns the
// index to start from next time.
int drain_capture_ring(const CaptureRing& ring, int next, bool (*keep_going)(void* context),
                       void* keep_going_context);

}  // namespace colloquor
