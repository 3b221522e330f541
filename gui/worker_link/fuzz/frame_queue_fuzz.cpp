// The frame queue under any sequence of pushes (audio of either channel, control frames, empty
// frames), pops, finished writes, drain checks and a close, with any backlog bound. Only the public
// interface is used. Frames come out whole and in order, control frames are never dropped while the
// queue is open, the byte count is exact, and audio is dropped only when the bound demands it.
#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "tests/support/fuzz_checks.h"
#include "worker_link/frame_queue.h"
#include "worker_link/protocol.h"

using namespace colloquor;

namespace {

// What the queue must hold: frames accepted and not yet popped, the one frame being written, and
// the count of dropped audio frames.
struct Expected {
  std::deque<std::string> queued;
  bool writing = false;
  std::size_t bytes = 0;  // queued and being written
  std::size_t writing_bytes = 0;
  std::size_t dropped = 0;
  bool closed = false;
};

std::string audio_frame(FuzzedDataProvider& input) {
  const int channel = input.ConsumeIntegralInRange<int>(0, 1);
  const std::vector<std::int16_t> samples(input.ConsumeIntegralInRange<std::size_t>(0, 64));
  const std::string payload = audio_payload(channel, samples.data(), samples.size());
  return encode_frame(kFrameAudio, payload.data(), static_cast<std::uint32_t>(payload.size()));
}

std::string control_frame(FuzzedDataProvider& input) {
  static constexpr char kTypes[] = {kFrameEnd, kFrameOptions, kFrameSpeakerModel,
                                    kFrameTranslationModel, kFrameReset, kFrameQuit};
  const char type = input.PickValueInArray(kTypes);
  const std::string payload = type == kFrameEnd ? std::string(1, input.ConsumeIntegralInRange<char>(0, 1))
                              : type == kFrameOptions ? options_payload(1, 0, true, false, 60)
                                                      : std::string();
  return encode_frame(type, payload.data(), static_cast<std::uint32_t>(payload.size()));
}

void push(FrameQueue& queue, Expected& expected, std::size_t limit, std::string frame) {
  const bool audio = !frame.empty() && frame[0] == kFrameAudio;
  const std::size_t before = queue.queued_bytes();
  const bool accepted = queue.push(frame);
  if (accepted) {
    FUZZ_CHECK(!expected.closed && !frame.empty());
    // The bound: audio is taken only while the backlog stays within it.
    if (audio) FUZZ_CHECK(before + frame.size() <= limit);
    expected.bytes += frame.size();
    expected.queued.push_back(std::move(frame));
  } else if (!expected.closed && audio) {
    // Dropped only when it would not fit.
    FUZZ_CHECK(before + frame.size() > limit);
    ++expected.dropped;
  } else {
    // Control frames go through while the queue is open; only empty ones are refused.
    FUZZ_CHECK(expected.closed || frame.empty());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::size_t limit = input.ConsumeBool() ? kAudioBacklogLimit
                                                : input.ConsumeIntegralInRange<std::size_t>(0, 800);
  FrameQueue queue(limit);
  Expected expected;

  while (input.remaining_bytes() > 0) {
    switch (input.ConsumeIntegralInRange<int>(0, 9)) {
      case 0: case 1: case 2: push(queue, expected, limit, audio_frame(input)); break;
      case 3: push(queue, expected, limit, control_frame(input)); break;
      case 4: push(queue, expected, limit, std::string()); break;
      case 5: case 6: {
        // The writer takes the next frame; it never waits on an empty open queue here.
        if (expected.writing || (expected.queued.empty() && !expected.closed)) break;
        std::string frame;
        const bool got = queue.pop(frame);
        FUZZ_CHECK(got == !expected.queued.empty());
        if (!got) break;
        FUZZ_CHECK(frame == expected.queued.front());
        expected.writing_bytes = frame.size();
        expected.queued.pop_front();
        expected.writing = true;
        break;
      }
      case 7:
        if (!expected.writing) break;
        queue.finish_write();
        expected.writing = false;
        expected.bytes -= expected.writing_bytes;
        break;
      case 8:
        FUZZ_CHECK(queue.wait_drained(std::chrono::milliseconds(0)) ==
                   (expected.queued.empty() && !expected.writing));
        break;
      case 9:
        if (input.ConsumeIntegralInRange<int>(0, 7) != 0) break;
        queue.close();
        expected.closed = true;
        break;
    }
    FUZZ_CHECK(queue.queued_bytes() == expected.bytes);
    FUZZ_CHECK(queue.dropped_audio_frames() == expected.dropped);
  }
  return 0;
}
