// send_frame over a real anonymous pipe: frames from several threads arrive whole and in per-thread
// order; frames sent before the worker input exists are dropped without a trace.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "worker_link/frame_writer.h"
#include "worker_link/protocol.h"

namespace colloquor {
namespace {

struct Frame {
  char type;
  std::string payload;
};

// Reads frames from the pipe until "Q" arrives or the pipe breaks.
std::vector<Frame> read_frames(HANDLE pipe) {
  std::string buffer;
  std::vector<Frame> frames;
  char chunk[4096];
  for (;;) {
    while (buffer.size() >= kFrameHeaderSize) {
      const auto* b = reinterpret_cast<const unsigned char*>(buffer.data());
      const std::uint32_t len =
          b[1] | (b[2] << 8) | (b[3] << 16) | (static_cast<std::uint32_t>(b[4]) << 24);
      if (buffer.size() < kFrameHeaderSize + len) break;
      frames.push_back({buffer[0], buffer.substr(kFrameHeaderSize, len)});
      buffer.erase(0, kFrameHeaderSize + len);
      if (frames.back().type == kFrameQuit) return frames;
    }
    DWORD got = 0;
    if (!ReadFile(pipe, chunk, sizeof chunk, &got, nullptr) || got == 0) return frames;
    buffer.append(chunk, got);
  }
}

TEST(FrameWriter, DropsFramesUntilTheWorkerInputIsSetThenWritesWholeFramesFromManyThreads) {
  HANDLE read_end = nullptr, write_end = nullptr;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 0));

  // No worker yet: these must vanish.
  EXPECT_FALSE(worker_input_ready());
  send_frame('R', nullptr, 0);
  const std::string early = "en|ru|1|0|60";
  send_frame('L', early.data(), static_cast<std::uint32_t>(early.size()));

  set_worker_input(write_end);
  ASSERT_TRUE(worker_input_ready());

  std::vector<Frame> received;
  std::thread reader([&] { received = read_frames(read_end); });

  // Two capture threads with audio blocks and a "window" thread with options, in parallel.
  // Both channels together stay under the audio backlog bound, so nothing may be dropped even if
  // the reader lags behind the burst.
  constexpr int kBlocks = 60;
  auto capture = [](int channel) {
    std::vector<std::int16_t> samples(1600);
    for (int i = 0; i < kBlocks; ++i) {
      for (std::size_t s = 0; s < samples.size(); ++s)
        samples[s] = static_cast<std::int16_t>(i * 7 + s);
      const std::string payload = audio_payload(channel, samples.data(), samples.size());
      send_frame('A', payload.data(), static_cast<std::uint32_t>(payload.size()));
    }
    const char ch = static_cast<char>(channel);
    send_frame('E', &ch, 1);
  };
  std::thread mic(capture, 0), sys(capture, 1);
  std::thread window([] {
    for (int i = 0; i < 50; ++i) {
      const std::string text = "auto|none|0|0|" + std::to_string(i);
      send_frame('L', text.data(), static_cast<std::uint32_t>(text.size()));
    }
  });
  mic.join();
  sys.join();
  window.join();
  send_frame('Q', nullptr, 0);
  reader.join();

  ASSERT_FALSE(received.empty());
  // The window thread may win the race for the first frame, so the early frames are looked for
  // by content: neither the "R" nor the early options may arrive.
  for (const auto& f : received) {
    EXPECT_NE(f.type, 'R') << "the frames sent before the worker existed must be dropped";
    EXPECT_NE(f.payload, early) << "the frames sent before the worker existed must be dropped";
  }
  std::map<int, int> next_block;
  int options = 0, ends = 0;
  for (const auto& f : received) {
    switch (f.type) {
      case 'A': {
        ASSERT_EQ(f.payload.size(), 3201u);
        const int ch = f.payload[0];
        const auto* p = reinterpret_cast<const unsigned char*>(f.payload.data());
        const int first = static_cast<std::int16_t>(p[1] | (p[2] << 8));
        EXPECT_EQ(first, next_block[ch] * 7) << "channel " << ch << " out of order or torn";
        const int last = static_cast<std::int16_t>(p[3199] | (p[3200] << 8));
        EXPECT_EQ(last, next_block[ch] * 7 + 1599);
        ++next_block[ch];
        break;
      }
      case 'L':
        EXPECT_EQ(f.payload, "auto|none|0|0|" + std::to_string(options));
        ++options;
        break;
      case 'E':
        ASSERT_EQ(f.payload.size(), 1u);
        ++ends;
        break;
      case 'Q': EXPECT_TRUE(f.payload.empty()); break;
      default: ADD_FAILURE() << "unexpected frame type " << f.type;
    }
  }
  EXPECT_EQ(next_block[0], kBlocks);
  EXPECT_EQ(next_block[1], kBlocks);
  EXPECT_EQ(options, 50);
  EXPECT_EQ(ends, 2);
  EXPECT_EQ(received.back().type, 'Q');
  CloseHandle(read_end);
}

}  // namespace
}  // namespace colloquor
