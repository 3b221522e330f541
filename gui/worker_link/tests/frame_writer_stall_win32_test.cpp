// A worker that stops reading: the pipe fills, yet send_frame returns at once for every frame,
// audio is dropped past the backlog bound and "Q" gives up after its drain limit instead of
// hanging.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "worker_link/frame_writer.h"
#include "worker_link/protocol.h"

namespace colloquor {
namespace {

TEST(FrameWriter, AWorkerThatStopsReadingNeverBlocksTheSenders) {
  HANDLE read_end = nullptr, write_end = nullptr;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 4096));
  set_worker_input(write_end);

  std::vector<std::int16_t> samples(1600, 1000);
  const std::string payload = audio_payload(0, samples.data(), samples.size());
  const auto start = std::chrono::steady_clock::now();
  // Ten minutes of audio with nobody reading: far beyond the pipe and the backlog bound.
  for (int i = 0; i < 6000; ++i)
    send_frame('A', payload.data(), static_cast<std::uint32_t>(payload.size()));
  const std::string options = "en|ru|1|0|60";
  send_frame('L', options.data(), static_cast<std::uint32_t>(options.size()));
  send_frame('Q', nullptr, 0);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // Not a timing assertion on speed: the point is that the calls return at all. A blocking writer
  // would never get here; "Q" waits at most its drain limit (2 s).
  EXPECT_LT(seconds, 60.0);

  // Once the worker reads again, what was queued arrives whole and the control frames are kept.
  std::string stream;
  char chunk[65536];
  DWORD got = 0;
  DWORD avail = 0;
  for (int idle = 0; idle < 50;) {
    if (PeekNamedPipe(read_end, nullptr, 0, nullptr, &avail, nullptr) && avail > 0) {
      if (!ReadFile(read_end, chunk, sizeof chunk, &got, nullptr)) break;
      stream.append(chunk, got);
      idle = 0;
    } else {
      Sleep(20);
      ++idle;
    }
  }
  std::size_t pos = 0, audio = 0;
  std::string types;
  while (pos + kFrameHeaderSize <= stream.size()) {
    const auto* b = reinterpret_cast<const unsigned char*>(stream.data() + pos);
    const std::uint32_t len =
        b[1] | (b[2] << 8) | (b[3] << 16) | (static_cast<std::uint32_t>(b[4]) << 24);
    ASSERT_LE(pos + kFrameHeaderSize + len, stream.size()) << "torn frame";
    if (b[0] == 'A') {
      ASSERT_EQ(len, payload.size());
      ++audio;
    } else {
      types.push_back(static_cast<char>(b[0]));
    }
    pos += kFrameHeaderSize + len;
  }
  EXPECT_EQ(pos, stream.size());
  EXPECT_EQ(types, "LQ");
  EXPECT_GT(audio, 0u);
  EXPECT_LT(audio, 6000u) << "audio past the backlog bound must have been dropped";
}

}  // namespace
}  // namespace colloquor
