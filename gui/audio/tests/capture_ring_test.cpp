// The order in which the capture thread takes the microphone's buffers, and what happens when the
// driver refuses one back.
#include "audio/capture_ring.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace colloquor {
namespace {

// A driver whose buffers the test fills by hand.
struct FakeDriver {
  std::array<bool, kCaptureRingSize> filled{};
  std::vector<int> processed;
  bool refuse = false;
  int keep_going_budget = 1000;

  CaptureRing ring() {
    CaptureRing r;
    r.context = this;
    r.filled = [](void* c, int i) { return static_cast<FakeDriver*>(c)->filled[i]; };
    r.process = [](void* c, int i) { static_cast<FakeDriver*>(c)->processed.push_back(i); };
    r.requeue = [](void* c, int i) {
      auto* d = static_cast<FakeDriver*>(c);
      if (d->refuse) return false;  // the flag stays as the driver left it
      d->filled[i] = false;
      return true;
    };
    r.forget = [](void* c, int i) { static_cast<FakeDriver*>(c)->filled[i] = false; };
    return r;
  }
};

bool budget(void* context) { return static_cast<FakeDriver*>(context)->keep_going_budget-- > 0; }

TEST(CaptureRing, TakesFilledBuffersInRingOrderFromWhereItStopped) {
  FakeDriver driver;
  driver.filled[0] = driver.filled[1] = driver.filled[2] = true;
  int next = drain_capture_ring(driver.ring(), 0, budget, &driver);
  EXPECT_EQ(next, 3);
  EXPECT_EQ(driver.processed, (std::vector<int>{0, 1, 2}));

  // Wrapping around the end of the ring.
  driver.processed.clear();
  for (int i : {3, 4, 5, 6, 7, 0}) driver.filled[i] = true;
  next = drain_capture_ring(driver.ring(), next, budget, &driver);
  EXPECT_EQ(next, 1);
  EXPECT_EQ(driver.processed, (std::vector<int>{3, 4, 5, 6, 7, 0}));
}

TEST(CaptureRing, ABufferFilledOutOfOrderWaitsForItsPredecessor) {
  FakeDriver driver;
  driver.filled[1] = true;
  EXPECT_EQ(drain_capture_ring(driver.ring(), 0, budget, &driver), 0);
  EXPECT_TRUE(driver.processed.empty());
  driver.filled[0] = true;
  EXPECT_EQ(drain_capture_ring(driver.ring(), 0, budget, &driver), 2);
  EXPECT_EQ(driver.processed, (std::vector<int>{0, 1}));
}

TEST(CaptureRing, StopsAfterTheBufferDuringWhichCaptureWasStopped) {
  FakeDriver driver;
  driver.filled.fill(true);
  driver.keep_going_budget = 2;  // yes after the first two buffers, no after the third
  EXPECT_EQ(drain_capture_ring(driver.ring(), 5, budget, &driver), 0);
  EXPECT_EQ(driver.processed, (std::vector<int>{5, 6, 7}));
}

TEST(CaptureRing, RefusedBuffersAreNeverProcessedTwice) {
  FakeDriver driver;
  driver.filled.fill(true);
  driver.refuse = true;
  int next = drain_capture_ring(driver.ring(), 0, budget, &driver);
  EXPECT_EQ(driver.processed.size(), static_cast<std::size_t>(kCaptureRingSize));
  // The driver keeps refusing: later wake-ups find nothing to hand over again.
  for (int wake = 0; wake < 5; ++wake)
    next = drain_capture_ring(driver.ring(), next, budget, &driver);
  EXPECT_EQ(driver.processed.size(), static_cast<std::size_t>(kCaptureRingSize));
}

TEST(CaptureRing, OneCallTakesEachBufferAtMostOnce) {
  // A driver that refills every buffer at once (the requeue leaves it filled).
  FakeDriver driver;
  CaptureRing ring = driver.ring();
  ring.requeue = [](void*, int) { return true; };
  driver.filled.fill(true);
  EXPECT_EQ(drain_capture_ring(ring, 3, budget, &driver), 3);
  EXPECT_EQ(driver.processed, (std::vector<int>{3, 4, 5, 6, 7, 0, 1, 2}));
}

}  // namespace
}  // namespace colloquor
