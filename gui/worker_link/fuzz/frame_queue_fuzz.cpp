// The frame queue under any sequence of pushes (audio of either channel, control frames, empty
// frames), pops, finished writes, drain checks and a close, with any backlog bound. Only the public
// interface is used. Frames come out whole and in order, control frames are never dropped while the
// queue is open, the byte count is exact, and a channel's audio is dropped exactly when its own
// bound demands it and then up to that utterance's "E".
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
  int writing_audio_channel = -1;
  std::size_t audio_bytes[2] = {0, 0};  // per channel, queued and being written
  bool dropping[2] = {false, false};
  std::size_t dropped = 0;
  bool closed = false;
};

// The channel of an "A" or "E" frame, or -1 for any other frame.
int channel_of(const std::string& frame, char type) {
  return frame.size() > kFrameHeaderSize && frame[0] == type ? frame[kFrameHeaderSize] & 1 : -1;
}

std::string audio_frame(FuzzedDataProvider& input) {
  const int channel = input.ConsumeIntegralInRange<int>(0, 1);
  const std::vector<std::int16_t> samples(input.ConsumeIntegralInRange<std::size_t>(0, 64));
  const std::string payload = audio_payload(channel, samples.data(), samples.size());
  return encode_frame(kFrameAudio, payload.data(), static_cast<std::uint32_t>(payload.size()));
}

std::string control_frame(FuzzedDataProvider& input) {
  static constexpr char kTypes[] = {kFrameEnd,          kFrameOptions,
                                    kFrameSpeakerModel, kFrameTranslationModel,
                                    kFrameReset,        kFrameQuit};
  const char type = input.PickValueInArray(kTypes);
  const std::string payload = type == kFrameEnd
                                  ? std::string(1, input.ConsumeIntegralInRange<char>(0, 1))
                              : type == kFrameOptions ? options_payload(1, 0, true, false, 60)
                                                      : std::string();
  return encode_frame(type, payload.data(), static_cast<std::uint32_t>(payload.size()));
}

void push(FrameQueue& queue, Expected& expected, std::size_t limit, std::string frame) {
  const int audio = channel_of(frame, kFrameAudio);
  const int end = channel_of(frame, kFrameEnd);
  const bool accepted = queue.push(frame);
  if (expected.closed || frame.empty()) {
    FUZZ_CHECK(!accepted);
    return;
  }
  if (audio >= 0) {
    const bool fits =
        !expected.dropping[audio] && expected.audio_bytes[audio] + frame.size() <= limit;
    FUZZ_CHECK(accepted == fits);
    if (!accepted) {
      expected.dropping[audio] = true;
      ++expected.dropped;
      return;
    }
    expected.audio_bytes[audio] += frame.size();
  } else {
    FUZZ_CHECK(accepted);  // control frames are never dropped
    if (end >= 0) expected.dropping[end] = false;
  }
  expected.bytes += frame.size();
  expected.queued.push_back(std::move(frame));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::size_t limit =
      input.ConsumeBool() ? kAudioBacklogLimit : input.ConsumeIntegralInRange<std::size_t>(0, 800);
  FrameQueue queue(limit);
  Expected expected;

  while (input.remaining_bytes() > 0) {
    switch (input.ConsumeIntegralInRange<int>(0, 9)) {
      case 0:
      case 1:
      case 2: push(queue, expected, limit, audio_frame(input)); break;
      case 3: push(queue, expected, limit, control_frame(input)); break;
      case 4: push(queue, expected, limit, std::string()); break;
      case 5:
      case 6: {
        // The writer takes the next frame; it never waits on an empty open queue here.
        if (expected.writing || (expected.queued.empty() && !expected.closed)) break;
        std::string frame;
        const bool got = queue.pop(frame);
        FUZZ_CHECK(got == !expected.queued.empty());
        if (!got) break;
        FUZZ_CHECK(frame == expected.queued.front());
        expected.writing_bytes = frame.size();
        expected.writing_audio_channel = channel_of(frame, kFrameAudio);
        expected.queued.pop_front();
        expected.writing = true;
        break;
      }
      case 7:
        if (!expected.writing) break;
        queue.finish_write();
        expected.writing = false;
        expected.bytes -= expected.writing_bytes;
        if (expected.writing_audio_channel >= 0) {
          expected.audio_bytes[expected.writing_audio_channel] -= expected.writing_bytes;
        }
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
    FUZZ_CHECK(queue.dropped_audio().dropping == (expected.dropping[0] || expected.dropping[1]));
  }
  return 0;
}
