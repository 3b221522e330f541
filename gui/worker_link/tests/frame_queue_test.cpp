#include "worker_link/frame_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "worker_link/protocol.h"

namespace colloquor {
namespace {

std::string audio_frame(std::size_t samples, char fill = 0, char channel = 0) {
  std::string payload(1 + 2 * samples, fill);
  payload[0] = channel;
  return encode_frame('A', payload.data(), static_cast<std::uint32_t>(payload.size()));
}

std::string end_frame(char channel) { return encode_frame('E', &channel, 1); }

std::string control_frame(char type) { return encode_frame(type, nullptr, 0); }

TEST(FrameQueue, KeepsOrderAcrossKinds) {
  FrameQueue q;
  ASSERT_TRUE(q.push(audio_frame(4, 1)));
  ASSERT_TRUE(q.push(control_frame('E')));
  ASSERT_TRUE(q.push(control_frame('R')));
  std::string f;
  ASSERT_TRUE(q.pop(f));
  EXPECT_EQ(f[0], 'A');
  q.finish_write();
  ASSERT_TRUE(q.pop(f));
  EXPECT_EQ(f[0], 'E');
  q.finish_write();
  ASSERT_TRUE(q.pop(f));
  EXPECT_EQ(f[0], 'R');
  q.finish_write();
  EXPECT_TRUE(q.wait_drained(std::chrono::milliseconds(0)));
}

TEST(FrameQueue, AnOverflowingChannelLosesTheRestOfItsUtteranceButKeepsItsEnd) {
  const std::size_t block = audio_frame(1600).size();  // 3206 bytes
  FrameQueue q(block * 3);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(q.push(audio_frame(1600)));
  EXPECT_FALSE(q.push(audio_frame(1600)));  // over the bound: dropped
  EXPECT_TRUE(q.push(audio_frame(1600, 0, 1))) << "the other channel has its own bound";
  EXPECT_TRUE(q.push(control_frame('R')));  // control frames are never dropped

  std::string f;
  ASSERT_TRUE(q.pop(f));
  q.finish_write();  // room again, but the utterance already has a hole: no splicing
  EXPECT_FALSE(q.push(audio_frame(1600)));
  EXPECT_TRUE(q.dropped_audio().dropping);
  EXPECT_TRUE(q.push(end_frame(0)));
  EXPECT_FALSE(q.dropped_audio().dropping);
  EXPECT_TRUE(q.push(audio_frame(1600))) << "the next utterance starts whole";

  const DroppedAudio dropped = q.dropped_audio();
  EXPECT_EQ(dropped.frames, 2u);
  EXPECT_EQ(dropped.bytes, 2u * 3200);
  EXPECT_EQ(q.dropped_audio_frames(), 2u);
}

TEST(FrameQueue, FrameInFlightCountsAgainstItsChannelUntilWritten) {
  const std::size_t block = audio_frame(1600, 0, 1).size();
  FrameQueue q(block * 2);
  ASSERT_TRUE(q.push(audio_frame(1600, 0, 1)));
  ASSERT_TRUE(q.push(audio_frame(1600, 0, 1)));
  std::string f;
  ASSERT_TRUE(q.pop(f));  // the writer is now blocked inside its write
  EXPECT_FALSE(q.push(audio_frame(1600, 0, 1)));
  q.finish_write();
  EXPECT_EQ(q.queued_bytes(), block);
  ASSERT_TRUE(q.pop(f));
  q.finish_write();
  EXPECT_EQ(q.queued_bytes(), 0u);
  ASSERT_TRUE(q.push(end_frame(1)));
  EXPECT_TRUE(q.push(audio_frame(1600, 0, 1)));
}

TEST(FrameQueue, CloseWakesTheWriterAndRejectsNewFrames) {
  FrameQueue q;
  std::atomic<bool> writer_done{false};
  std::thread writer([&] {
    std::string f;
    while (q.pop(f)) q.finish_write();
    writer_done = true;
  });
  ASSERT_TRUE(q.push(control_frame('L')));
  ASSERT_TRUE(q.wait_drained(std::chrono::seconds(5)));
  q.close();
  writer.join();
  EXPECT_TRUE(writer_done);
  EXPECT_FALSE(q.push(control_frame('Q')));
}

TEST(FrameQueue, ManyProducersOneWriterLoseNothingUnderTheBound) {
  FrameQueue q(64 * 1024 * 1024);
  std::vector<std::string> written;
  std::thread writer([&] {
    std::string f;
    while (q.pop(f)) {
      written.push_back(f);
      q.finish_write();
    }
  });
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; ++t) {
    producers.emplace_back([&q, t] {
      for (int i = 0; i < 500; ++i) q.push(audio_frame(10, static_cast<char>(t + 1)));
    });
  }
  for (auto& p : producers) p.join();
  ASSERT_TRUE(q.wait_drained(std::chrono::seconds(10)));
  q.close();
  writer.join();
  ASSERT_EQ(written.size(), 2000u);
  EXPECT_EQ(q.dropped_audio_frames(), 0u);
  EXPECT_EQ(q.queued_bytes(), 0u);
}

}  // namespace
}  // namespace colloquor
