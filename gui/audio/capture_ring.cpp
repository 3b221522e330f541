#include "audio/capture_ring.h"

namespace colloquor {

int drain_capture_ring(const CaptureRing& ring, int next, bool (*keep_going)(void* context),
                       void* keep_going_context) {
  int index = next;
  // Each buffer at most once per call: a driver that refuses every buffer cannot keep this loop
  // busy, and a refused buffer is never handed over twice.
  for (int taken = 0; taken < kCaptureRingSize; ++taken) {
    if (!ring.filled(ring.context, index)) break;
    ring.process(ring.context, index);
    if (!ring.requeue(ring.context, index)) ring.forget(ring.context, index);
    index = (index + 1) % kCaptureRingSize;
    if (keep_going != nullptr && !keep_going(keep_going_context)) break;
  }
  return index;
}

}  // namespace colloquor
