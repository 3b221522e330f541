// Speech detection on a channel: threshold bounds, level reports, onset with pre-roll, hang-over,
// the 240-block limit, the echo filter, flush_utterance and reset_channel. Conditioning is made
// transparent (unit gain, no filter, no gate) so every block's level is what the test feeds.
#include <gtest/gtest.h>

#include "audio_test_support.h"

namespace colloquor {
namespace {

using testing::feed;
using testing::SeamRecorder;
using testing::square_block;
using testing::transparent_options;

constexpr std::int16_t kLoud = 2000;
constexpr std::int16_t kQuiet = 10;

class Detector : public ::testing::Test {
 protected:
  void SetUp() override {
    store_audio_options(transparent_options());
    reset_channel(mic, kMicrophoneChannel);
    reset_channel(system, kSystemChannel);
  }
  // Feeds a block whose first sample is the marker, so frames can be matched to blocks.
  void quiet(ChannelState& s, std::int16_t marker) { feed(s, square_block(kQuiet, marker)); }
  void loud(ChannelState& s, std::int16_t marker) { feed(s, square_block(kLoud, marker)); }
  static std::int16_t marker_of(const testing::RecordedFrame& f) { return f.samples().at(0); }

  SeamRecorder rec;
  ChannelState mic;
  ChannelState system;
};

TEST(Threshold, BoundsAndHysteresis) {
  EXPECT_EQ(speech_threshold(10.0, false), 80.0);
  EXPECT_EQ(speech_threshold(10.0, true), 48.0);
  EXPECT_EQ(speech_threshold(300.0, false), 700.0);
  EXPECT_EQ(speech_threshold(300.0, true), 420.0);
  EXPECT_EQ(speech_threshold(100.0, false), 300.0);
  EXPECT_DOUBLE_EQ(speech_threshold(100.0, true), 180.0);
}

TEST(Threshold, PercentileOfTheSlidingHistory) {
  std::vector<double> history;
  std::uint64_t writes = 0;
  for (double v : {50.0, 9.0, 30.0, 7.0, 12.0, 40.0}) record_level(history, writes, v);
  EXPECT_EQ(history_percentile(history), 7.0);  // fewer than 7 values: the minimum
  history.clear();
  // 150 levels 1..150 in descending order: the 15th percentile is index 22 of the sorted list.
  for (int v = 150; v >= 1; --v) record_level(history, writes, v);
  EXPECT_EQ(writes, 0u);
  EXPECT_EQ(history_percentile(history), 23.0);
  // 30 more overwrite the 30 oldest (150..121) with 1000: the window now holds 1..120 and 30
  // times 1000, and index 22 is still 23.
  for (int i = 0; i < 30; ++i) record_level(history, writes, 1000.0);
  EXPECT_EQ(writes, 30u);
  EXPECT_EQ(history.size(), 150u);
  EXPECT_EQ(history_percentile(history), 23.0);
  // 150 more replace everything.
  for (int i = 0; i < 150; ++i) record_level(history, writes, 5.0 + i);
  EXPECT_EQ(history_percentile(history), 27.0);
}

TEST(LevelReport, PercentAndSecondParameter) {
  EXPECT_EQ(level_percent(0.0), 0u);
  EXPECT_EQ(level_percent(600.0), 50u);
  EXPECT_EQ(level_percent(611.9), 50u);
  EXPECT_EQ(level_percent(1200.0), 100u);
  EXPECT_EQ(level_percent(32000.0), 100u);
  EXPECT_EQ(level_lparam(0, false), 0);
  EXPECT_EQ(level_lparam(0, true), 1);
  EXPECT_EQ(level_lparam(1, false), 2);
  EXPECT_EQ(level_lparam(1, true), 3);
}

TEST_F(Detector, EveryBlockReportsItsLevelWithTheSpeechFlagFromBeforeTheBlock) {
  for (int i = 0; i < 3; ++i) feed(system, square_block(600));
  feed(system, square_block(3000));
  feed(system, square_block(3000));  // onset: still reported as not speaking
  feed(system, square_block(3000));  // speaking
  feed(system, square_block(3000, 0, 1200));
  ASSERT_EQ(rec.levels.size(), 7u);
  EXPECT_EQ(rec.levels[0].percent, 50u);
  EXPECT_EQ(rec.levels[0].lparam, 2);
  EXPECT_EQ(rec.levels[3].percent, 100u);
  EXPECT_EQ(rec.levels[4].lparam, 2);
  EXPECT_EQ(rec.levels[5].lparam, 3);
  EXPECT_EQ(rec.levels[6].lparam, 3);
  feed(mic, square_block(600));
  EXPECT_EQ(rec.levels.back().percent, 50u);
  EXPECT_EQ(rec.levels.back().lparam, 0);
}

TEST_F(Detector, FreshChannelNeedsALevelAbove700ForItsFirstLoudBlock) {
  feed(mic, square_block(700));
  EXPECT_EQ(mic.loud_run, 0);
  reset_channel(mic, kMicrophoneChannel);
  feed(mic, square_block(701));
  EXPECT_EQ(mic.loud_run, 1);
}

TEST_F(Detector, OnsetSendsThePreRollThenHangOverClosesOnTheSeventhQuietBlock) {
  for (std::int16_t m = 101; m <= 105; ++m) quiet(mic, m);
  loud(mic, 1001);
  EXPECT_TRUE(rec.frames.empty());
  EXPECT_FALSE(mic.in_speech);
  loud(mic, 1002);
  ASSERT_EQ(rec.frame_types(), "AAA");
  EXPECT_EQ(marker_of(rec.frames[0]), 105);
  EXPECT_EQ(marker_of(rec.frames[1]), 1001);
  EXPECT_EQ(marker_of(rec.frames[2]), 1002);
  EXPECT_EQ(rec.frames[0].payload.size(), 3201u);
  EXPECT_EQ(rec.frames[0].channel(), 0);
  EXPECT_TRUE(mic.in_speech);
  EXPECT_EQ(mic.pre_roll.size, 0u);

  for (std::int16_t m = 201; m <= 206; ++m) quiet(mic, m);
  EXPECT_EQ(rec.frame_types(), "AAAAAAAAA");
  EXPECT_TRUE(mic.in_speech);
  quiet(mic, 207);
  ASSERT_EQ(rec.frame_types(), "AAAAAAAAAAE");
  EXPECT_EQ(marker_of(rec.frames[9]), 207);
  EXPECT_EQ(rec.frames[10].payload, std::string(1, '\0'));
  EXPECT_FALSE(mic.in_speech);
  EXPECT_EQ(mic.loud_run, 0);
}

TEST_F(Detector, ALoudBlockInsideTheHangOverStartsTheCountAgain) {
  for (std::int16_t m = 1; m <= 5; ++m) quiet(mic, m);
  loud(mic, 10);
  loud(mic, 11);
  for (std::int16_t m = 20; m < 26; ++m) quiet(mic, m);
  loud(mic, 30);
  EXPECT_EQ(mic.quiet_run, 0);
  for (std::int16_t m = 40; m < 46; ++m) quiet(mic, m);
  EXPECT_TRUE(mic.in_speech);
  EXPECT_EQ(rec.frame_types().find('E'), std::string::npos);
  quiet(mic, 46);
  EXPECT_EQ(rec.frame_types().back(), 'E');
}

TEST_F(Detector, ANewOnsetRightAfterAnUtteranceResendsItsLastBlock) {
  for (std::int16_t m = 1; m <= 5; ++m) quiet(mic, m);
  loud(mic, 10);
  loud(mic, 11);
  for (std::int16_t m = 20; m <= 26; ++m) quiet(mic, m);
  ASSERT_EQ(rec.frame_types().back(), 'E');
  rec.clear();
  loud(mic, 30);
  loud(mic, 31);
  ASSERT_EQ(rec.frame_types(), "AAA");
  EXPECT_EQ(marker_of(rec.frames[0]), 26);
}

TEST_F(Detector, SpeechThatNeverPausesIsCutAfter240BlocksAndReopens) {
  for (std::int16_t m = 1; m <= 5; ++m) quiet(mic, m);
  loud(mic, 1000);
  loud(mic, 1001);  // onset block
  ASSERT_EQ(rec.frame_types(), "AAA");
  for (std::int16_t m = 1; m <= 239; ++m) loud(mic, static_cast<std::int16_t>(1001 + m));
  EXPECT_TRUE(mic.in_speech);
  EXPECT_EQ(mic.speech_blocks, 239);
  loud(mic, 1240);
  EXPECT_FALSE(mic.in_speech);
  ASSERT_EQ(rec.frames.size(), 3u + 240u + 1u);
  EXPECT_EQ(rec.frames[241].type, 'A');
  EXPECT_EQ(marker_of(rec.frames[242]), 1240);
  EXPECT_EQ(rec.frames[243].type, 'E');
  rec.clear();
  loud(mic, 1241);
  EXPECT_TRUE(rec.frames.empty());
  loud(mic, 1242);
  ASSERT_EQ(rec.frame_types(), "AAA");
  EXPECT_EQ(marker_of(rec.frames[0]), 1240);  // the block that ended the previous utterance
  EXPECT_EQ(marker_of(rec.frames[2]), 1242);
}

TEST_F(Detector, SystemAudioFramesCarryItsChannelByteAndMarkTheOtherSideHeard) {
  store_audio_options(AudioOptions{});
  quiet(system, 1);
  EXPECT_EQ(rec.tick_reads, 0);
  EXPECT_EQ(other_side_heard_at.load(), 0u);
  rec.tick = 7'000'000;
  feed(system, square_block(3000, 5));
  EXPECT_EQ(other_side_heard_at.load(), 7'000'000u);
  EXPECT_EQ(rec.tick_reads, 1);
  rec.tick = 7'000'100;
  feed(system, square_block(3000, 6));
  EXPECT_EQ(other_side_heard_at.load(), 7'000'100u);
  ASSERT_EQ(rec.frame_types(), "AAA");
  for (const auto& f : rec.frames) EXPECT_EQ(f.channel(), 1);
  for (int i = 0; i < 7; ++i) quiet(system, 7);
  ASSERT_EQ(rec.frame_types().back(), 'E');
  EXPECT_EQ(rec.frames.back().payload, std::string(1, '\1'));
}

class EchoFilter : public Detector {
 protected:
  void SetUp() override {
    Detector::SetUp();
    AudioOptions o = transparent_options();
    o.echo = 1;
    o.sys = 1;
    store_audio_options(o);
    for (std::int16_t m = 1; m <= 5; ++m) quiet(mic, m);
    rec.clear();
  }
  void other_side_talks_at(std::uint64_t tick) {
    rec.tick = tick;
    other_side_heard_at.store(tick);
  }
};

TEST_F(EchoFilter, OpenUtteranceIsCutOnceAndStaysSilentWhileTheOtherSideTalks) {
  loud(mic, 10);
  loud(mic, 11);
  ASSERT_EQ(rec.frame_types(), "AAA");
  rec.tick = 9'000'000;
  feed(system, square_block(3000));  // the other side is loud: heard at 9'000'000
  feed(system, square_block(3000));
  rec.clear();
  rec.tick = 9'000'649;
  loud(mic, 12);
  EXPECT_EQ(rec.frame_types(), "E");
  EXPECT_TRUE(mic.muted);
  loud(mic, 13);
  quiet(mic, 14);
  EXPECT_EQ(rec.frame_types(), "E");
}

TEST_F(EchoFilter, UnmutesOnTheSecondLoudEchoFreeBlockWithThePreRoll) {
  loud(mic, 10);
  loud(mic, 11);
  other_side_talks_at(20'000'000);
  loud(mic, 12);  // cut
  loud(mic, 13);
  rec.tick = 20'000'650;  // 650 ms later the echo window has passed
  rec.clear();
  loud(mic, 14);
  EXPECT_TRUE(rec.frames.empty());
  EXPECT_TRUE(mic.muted);
  loud(mic, 15);
  ASSERT_EQ(rec.frame_types(), "AAA");
  EXPECT_EQ(marker_of(rec.frames[0]), 13);
  EXPECT_EQ(marker_of(rec.frames[1]), 14);
  EXPECT_EQ(marker_of(rec.frames[2]), 15);
  EXPECT_FALSE(mic.muted);
  // The maximum length still counts from the first onset: blocks 12..15 after onset block 11.
  EXPECT_EQ(mic.speech_blocks, 4);
  loud(mic, 16);
  EXPECT_EQ(rec.frame_types(), "AAAA");
}

TEST_F(EchoFilter, AQuietBlockWhileMutedRestartsTheUnmuteCount) {
  loud(mic, 10);
  loud(mic, 11);
  other_side_talks_at(20'000'000);
  loud(mic, 12);
  rec.tick = 20'001'000;
  rec.clear();
  loud(mic, 13);
  quiet(mic, 14);
  loud(mic, 15);
  EXPECT_TRUE(rec.frames.empty());
  loud(mic, 16);
  EXPECT_EQ(rec.frame_types(), "AAA");
}

TEST_F(EchoFilter, OnsetDuringTheEchoWindowOpensMutedAndClosesWithoutFrames) {
  other_side_talks_at(30'000'000);
  loud(mic, 10);
  loud(mic, 11);
  EXPECT_TRUE(mic.in_speech);
  EXPECT_TRUE(mic.muted);
  EXPECT_EQ(mic.pre_roll.size, 0u);
  for (std::int16_t m = 20; m < 27; ++m) quiet(mic, m);
  EXPECT_FALSE(mic.in_speech);
  EXPECT_FALSE(mic.muted);
  EXPECT_TRUE(rec.frames.empty());
}

TEST_F(EchoFilter, WithoutSpeakersModeOrSystemAudioTheMicrophoneIsNeverCut) {
  for (int variant = 0; variant < 2; ++variant) {
    AudioOptions o = transparent_options();
    o.echo = variant == 0 ? 0 : 1;
    o.sys = variant == 0 ? 1 : 0;
    store_audio_options(o);
    reset_channel(mic, kMicrophoneChannel);
    for (std::int16_t m = 1; m <= 5; ++m) quiet(mic, m);
    rec.clear();
    rec.tick_reads = 0;
    other_side_talks_at(40'000'000);
    loud(mic, 10);
    loud(mic, 11);
    loud(mic, 12);
    EXPECT_EQ(rec.frame_types(), "AAAA") << variant;
    EXPECT_FALSE(mic.muted);
    EXPECT_EQ(rec.tick_reads, 0);  // the tick is only read when the filter can act
  }
}

TEST_F(EchoFilter, NeverHeardOtherSideDoesNotMuteEvenEarlyAfterStartUp) {
  rec.tick = 100;  // a tick close to zero must not look like "heard 100 ms ago"
  loud(mic, 10);
  loud(mic, 11);
  EXPECT_EQ(rec.frame_types(), "AAA");
  EXPECT_FALSE(mic.muted);
}

TEST_F(EchoFilter, OldOtherSideActivityDoesNotMute) {
  other_side_talks_at(50'000'000);
  rec.tick = 50'000'650;
  loud(mic, 10);
  loud(mic, 11);
  EXPECT_EQ(rec.frame_types(), "AAA");
}

TEST_F(Detector, FlushClosesAnOpenUtteranceOnce) {
  flush_utterance(mic);
  EXPECT_TRUE(rec.frames.empty());
  for (std::int16_t m = 1; m <= 5; ++m) quiet(mic, m);
  loud(mic, 10);
  loud(mic, 11);
  loud(mic, 12);
  rec.clear();
  flush_utterance(mic);
  EXPECT_EQ(rec.frame_types(), "E");
  EXPECT_EQ(rec.frames[0].payload, std::string(1, '\0'));
  EXPECT_FALSE(mic.in_speech);
  EXPECT_EQ(mic.speech_blocks, 1);  // counters stay until the next reset
  flush_utterance(mic);
  EXPECT_EQ(rec.frame_types(), "E");
}

TEST_F(Detector, FlushOfAMutedUtteranceSendsNothing) {
  AudioOptions o = transparent_options();
  o.sys = 1;
  store_audio_options(o);
  for (std::int16_t m = 1; m <= 5; ++m) quiet(mic, m);
  rec.tick = 60'000'000;
  other_side_heard_at.store(60'000'000);
  loud(mic, 10);
  loud(mic, 11);
  ASSERT_TRUE(mic.muted);
  flush_utterance(mic);
  EXPECT_TRUE(rec.frames.empty());
  EXPECT_FALSE(mic.in_speech);
  EXPECT_FALSE(mic.muted);
}

TEST_F(Detector, ResetRestoresTheInitialStateAndReleasesStorage) {
  store_audio_options(AudioOptions{});
  for (int i = 0; i < 160; ++i) loud(system, static_cast<std::int16_t>(i + 1));
  EXPECT_GT(system.history_writes, 0u);
  reset_channel(system, kSystemChannel);
  EXPECT_EQ(system.channel, kSystemChannel);
  EXPECT_EQ(system.conditioner.noise_floor, 40.0f);
  EXPECT_EQ(system.conditioner.gate_gain, 1.0f);
  EXPECT_EQ(system.conditioner.agc_gain, 1.0f);
  EXPECT_EQ(system.conditioner.applied_gain, 1.0f);
  EXPECT_EQ(system.conditioner.hp_prev_in, 0.0f);
  EXPECT_EQ(system.conditioner.hp_prev_out, 0.0f);
  EXPECT_EQ(system.level_history.capacity(), 0u);
  EXPECT_EQ(system.history_writes, 0u);
  EXPECT_EQ(system.pre_roll.size, 0u);
  for (const auto& block : system.pre_roll.blocks) EXPECT_EQ(block.capacity(), 0u);
  EXPECT_FALSE(system.in_speech);
  EXPECT_EQ(system.loud_run + system.quiet_run + system.speech_blocks + system.unmute_run, 0);
}

TEST_F(Detector, EmptyBlockChangesNothing) {
  std::int16_t none[1] = {0};
  process_block(mic, none, 0);
  process_block(mic, nullptr, 1600);
  EXPECT_TRUE(rec.levels.empty());
  EXPECT_TRUE(mic.level_history.empty());
  EXPECT_EQ(mic.pre_roll.size, 0u);
}

}  // namespace
}  // namespace colloquor
