// Conditioning of blocks: the worked sub-block figures, the gain ramp, silence, the noise gate,
// automatic gain control, limiting, and what the system-audio channel ignores.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "audio/conditioning.h"
#include "audio_test_support.h"

namespace colloquor {
namespace {

using testing::feed;
using testing::SeamRecorder;
using testing::sine_block;
using testing::square_block;
using testing::transparent_options;

AudioOptions microphone_defaults() {
  AudioOptions o;  // gain 0, boost 0, ns 1, nsv 50, agc 1
  return o;
}

TEST(WorkedSubBlock, LevelOneHundredClosesTheGateSlightly) {
  const BlockOptions options = block_options(kMicrophoneChannel, microphone_defaults());
  EXPECT_TRUE(options.filter_on);
  EXPECT_TRUE(options.agc_on);
  EXPECT_EQ(options.user_gain, 1.0f);
  EXPECT_NEAR(options.depth, 0.485f, 1e-6f);
  Conditioner c;
  const float total = advance_gains(c, options, 100.0f);
  EXPECT_NEAR(c.noise_floor, 40.012f, 1e-4f);
  EXPECT_NEAR(kGateClosedKnee * c.noise_floor, 64.0192f, 1e-4f);
  EXPECT_NEAR(kGateOpenKnee * c.noise_floor, 112.0336f, 1e-4f);
  // openness 0.749375 gives a target of 0.878447; closing at rate 0.08 from 1.0:
  EXPECT_NEAR(c.gate_gain, 1.0f + (0.878447f - 1.0f) * 0.08f, 1e-6f);
  EXPECT_NEAR(c.gate_gain, 0.990276f, 1e-6f);
  EXPECT_EQ(c.agc_gain, 1.0f);  // 100 is not above the open knee
  EXPECT_NEAR(total, 0.990276f, 1e-6f);
}

TEST(WorkedSubBlock, LevelOneThousandKeepsTheGateOpenAndRaisesTheFactor) {
  const BlockOptions options = block_options(kMicrophoneChannel, microphone_defaults());
  Conditioner c;
  const float total = advance_gains(c, options, 1000.0f);
  EXPECT_NEAR(c.noise_floor, 40.012f, 1e-4f);
  EXPECT_EQ(c.gate_gain, 1.0f);
  EXPECT_NEAR(c.agc_gain, 1.015f, 1e-6f);  // desired 2.5, 1 % of the gap
  EXPECT_NEAR(total, 1.015f, 1e-6f);
}

TEST(WorkedSubBlock, RampEndsAtTheTotalAndGlidesFromThePreviousGain) {
  SeamRecorder rec;
  store_audio_options(microphone_defaults());
  ChannelState state;
  reset_channel(state, kMicrophoneChannel);
  // A constant input is removed by the high-pass filter after its first sample; what is left of
  // the first sample shows the ramp's first gain, prev + (total - prev) / 160.
  std::vector<std::int16_t> block(160, 10000);
  process_block(state, block.data(), 160);
  EXPECT_EQ(state.conditioner.applied_gain,
            state.conditioner.gate_gain * state.conditioner.agc_gain);
  const float g0 = 1.0f + (state.conditioner.applied_gain - 1.0f) / 160.0f;
  EXPECT_EQ(block[0], static_cast<std::int16_t>(9700.0f * g0));
  EXPECT_LT(state.conditioner.applied_gain,
            1.0f);  // a lone spike is not speech: the gate closed a little
}

// The per-sample formula, written out once per sample.
float reference_gain(std::uint32_t i, std::uint32_t n, float prev, float total) {
  return static_cast<float>(i + 1) * (total - prev) / static_cast<float>(n) + prev;
}

TEST(GainRamp, FourAtATimeEqualsThePerSampleFormulaBitForBit) {
  std::mt19937 rng(12345);
  std::uniform_real_distribution<float> gain(0.0f, 4000.0f);
  std::uniform_int_distribution<std::uint32_t> length(1, kSubBlockLength);
  float gains[kSubBlockLength];
  int compared = 0;
  for (int trial = 0; trial < 20000; ++trial) {
    const std::uint32_t n = trial < 160 ? static_cast<std::uint32_t>(trial + 1) : length(rng);
    float prev = gain(rng);
    float total = gain(rng);
    if (trial % 7 == 0) total = std::nextafter(prev, 10000.0f);  // tiny spans round hardest
    if (trial % 11 == 0) prev = 0.03f, total = 31.0f * 125.89254f;
    fill_gain_ramp(gains, n, prev, total);
    for (std::uint32_t i = 0; i < n; ++i) {
      const float expected = reference_gain(i, n, prev, total);
      ASSERT_EQ(std::memcmp(&gains[i], &expected, sizeof(float)), 0)
          << "i=" << i << " n=" << n << " prev=" << prev << " total=" << total;
      ++compared;
    }
    EXPECT_NEAR(gains[n - 1], total, 1e-6f * std::max(prev, total));  // up to rounding
  }
  EXPECT_GT(compared, 1'000'000);
}

TEST(GainRamp, OutputIsLimitedAndTruncatedTowardZero) {
  EXPECT_EQ(limit_sample(40000.0f), 32000);
  EXPECT_EQ(limit_sample(-40000.0f), -32000);
  EXPECT_EQ(limit_sample(1.9f), 1);
  EXPECT_EQ(limit_sample(-1.9f), -1);
  EXPECT_EQ(limit_sample(-0.5f), 0);
  const float working[5] = {100.0f, -100.0f, 30000.0f, -30000.0f, 2.5f};
  std::int16_t out[5];
  apply_gain_ramp(working, out, 5, 2.0f, 2.0f);
  EXPECT_EQ(out[0], 200);
  EXPECT_EQ(out[1], -200);
  EXPECT_EQ(out[2], 32000);
  EXPECT_EQ(out[3], -32000);
  EXPECT_EQ(out[4], 5);
}

TEST(DigitalSilence, StaysSilentAndTheFloorFallsToItsBound) {
  SeamRecorder rec;
  ChannelState state;
  reset_channel(state, kMicrophoneChannel);
  float expected_floor = 40.0f;
  for (int sub = 0; sub < 12; ++sub) {
    const auto out = feed(state, std::vector<std::int16_t>(160, 0));
    for (auto v : out) ASSERT_EQ(v, 0);
    expected_floor = std::max(5.0f, 0.8f * expected_floor);
    EXPECT_EQ(state.conditioner.noise_floor, expected_floor) << "sub-block " << sub;
  }
  EXPECT_EQ(state.conditioner.noise_floor, 5.0f);
  for (int block = 0; block < 30; ++block) feed(state, std::vector<std::int16_t>(1600, 0));
  EXPECT_TRUE(rec.frames.empty());
  ASSERT_EQ(rec.levels.size(), 42u);
  for (const auto& l : rec.levels) {
    EXPECT_EQ(l.percent, 0u);
    EXPECT_EQ(l.lparam, 0);
  }
  EXPECT_EQ(state.conditioner.noise_floor, 5.0f);
}

TEST(NoiseGate, BackgroundAtTheFloorIsAttenuatedToTheRestOfTheDepth) {
  for (const auto& [strength, rest] :
       {std::pair{100, 0.03f}, std::pair{50, 0.515f}, std::pair{0, 1.0f}}) {
    AudioOptions o = microphone_defaults();
    o.nsv = strength;
    const BlockOptions options = block_options(kMicrophoneChannel, o);
    Conditioner c;
    c.noise_floor = 200.0f;
    for (int i = 0; i < 400; ++i) advance_gains(c, options, c.noise_floor);
    EXPECT_NEAR(c.gate_gain, rest, 1e-5f) << "strength " << strength;
  }
  AudioOptions off = microphone_defaults();
  off.ns = 0;
  off.nsv = 100;
  const BlockOptions options = block_options(kMicrophoneChannel, off);
  Conditioner c;
  for (int i = 0; i < 400; ++i) advance_gains(c, options, c.noise_floor);
  EXPECT_EQ(c.gate_gain, 1.0f);
}

TEST(NoiseGate, SteadyNoiseThroughTheChannelComesOutAtThreePercent) {
  SeamRecorder rec;
  AudioOptions o = microphone_defaults();
  o.nsv = 100;
  o.agc = 0;
  store_audio_options(o);
  ChannelState state;
  reset_channel(state, kMicrophoneChannel);
  // +-400 alternating leaves the high-pass filter at about 394: steady noise, no speech. The
  // floor is put where long exposure to that noise would have brought it.
  state.conditioner.noise_floor = 400.0f;
  std::vector<std::int16_t> out;
  for (int block = 0; block < 50; ++block) out = feed(state, square_block(400));
  const double level = block_level(out.data(), static_cast<std::uint32_t>(out.size()));
  EXPECT_NEAR(level, 0.03 * 394.0, 1.0);
  EXPECT_NEAR(state.conditioner.gate_gain, 0.03f, 1e-4f);
}

TEST(AutomaticGain, FactorStaysWithinItsBounds) {
  const BlockOptions options = block_options(kMicrophoneChannel, microphone_defaults());
  Conditioner quiet_voice;
  quiet_voice.noise_floor = 5.0f;
  float last = quiet_voice.agc_gain;
  for (int i = 0; i < 3000; ++i) {
    advance_gains(quiet_voice, options, 20.0f);  // desired 125, held at 31
    EXPECT_GE(quiet_voice.agc_gain, last);
    last = quiet_voice.agc_gain;
  }
  EXPECT_LE(quiet_voice.agc_gain, 31.0f);
  EXPECT_GT(quiet_voice.agc_gain, 30.9f);

  Conditioner shout;
  for (int i = 0; i < 3000; ++i) advance_gains(shout, options, 30000.0f);  // desired 0.083 -> 0.3
  EXPECT_GE(shout.agc_gain, 0.3f);
  EXPECT_LT(shout.agc_gain, 0.3001f);
}

TEST(AutomaticGain, NoiseDoesNotSteerTheFactorAndSwitchingOffDriftsBackToOne) {
  Conditioner c;
  c.agc_gain = 3.0f;
  const BlockOptions on = block_options(kMicrophoneChannel, microphone_defaults());
  advance_gains(c, on, 50.0f);  // below 2.8 x floor: unchanged
  EXPECT_EQ(c.agc_gain, 3.0f);
  AudioOptions o = microphone_defaults();
  o.agc = 0;
  const BlockOptions off = block_options(kMicrophoneChannel, o);
  advance_gains(c, off, 5000.0f);
  EXPECT_EQ(c.agc_gain, 3.0f + (1.0f - 3.0f) * 0.05f);
  for (int i = 0; i < 1000; ++i) advance_gains(c, off, 5000.0f);
  EXPECT_NEAR(c.agc_gain, 1.0f, 1e-5f);
}

TEST(AutomaticGain, SteadyToneIsBroughtToTheTargetLevel) {
  SeamRecorder rec;
  AudioOptions o = microphone_defaults();
  o.ns = 0;
  store_audio_options(o);
  ChannelState state;
  reset_channel(state, kMicrophoneChannel);
  std::vector<std::int16_t> out;
  for (std::uint32_t block = 0; block < 150; ++block) {
    out = feed(state, sine_block(1000.0, 440.0, block * 1600));
  }
  const double level = block_level(out.data(), static_cast<std::uint32_t>(out.size()));
  EXPECT_NEAR(level, 2500.0, 25.0);
  EXPECT_NEAR(state.conditioner.agc_gain, 2500.0f / 707.1f, 0.03f);
}

TEST(UserGain, MicrophoneAppliesGainAndBoostInDecibels) {
  AudioOptions o = microphone_defaults();
  o.gain = 6;
  EXPECT_EQ(block_options(kMicrophoneChannel, o).user_gain, std::pow(10.0f, 6.0f / 20.0f));
  o.boost = 1;
  EXPECT_EQ(block_options(kMicrophoneChannel, o).user_gain, std::pow(10.0f, 18.0f / 20.0f));
  o.gain = -10;
  o.boost = 0;
  EXPECT_NEAR(block_options(kMicrophoneChannel, o).user_gain, 0.316228f, 1e-6f);
}

TEST(UserGain, ValuesOutsideTheControlsRangeAreHeldInside) {
  AudioOptions wild = microphone_defaults();
  wild.gain = 4000;
  wild.boost = 1;
  wild.nsv = 1000;
  AudioOptions top = microphone_defaults();
  top.gain = 30;
  top.boost = 1;
  top.nsv = 100;
  EXPECT_EQ(block_options(kMicrophoneChannel, wild).user_gain,
            block_options(kMicrophoneChannel, top).user_gain);
  EXPECT_EQ(block_options(kMicrophoneChannel, wild).depth,
            block_options(kMicrophoneChannel, top).depth);
  wild.gain = -4000;
  wild.nsv = -3;
  EXPECT_NEAR(block_options(kMicrophoneChannel, wild).user_gain, std::pow(10.0f, 2.0f / 20.0f),
              1e-6f);
  EXPECT_EQ(block_options(kMicrophoneChannel, wild).depth, 0.0f);
}

TEST(UserGain, LoudInputWithFullGainIsLimitedNotWrapped) {
  SeamRecorder rec;
  AudioOptions o = transparent_options();
  o.gain = 30;
  o.boost = 1;
  store_audio_options(o);
  ChannelState state;
  reset_channel(state, kMicrophoneChannel);
  feed(state, square_block(1000));  // ramps up from unity during the first sub-block
  const auto out = feed(state, square_block(1000));
  for (std::size_t i = 0; i < out.size(); ++i) {
    ASSERT_EQ(out[i], i % 2 == 0 ? 32000 : -32000) << i;
  }
}

TEST(SystemChannel, IgnoresGainBoostAndNoiseSuppression) {
  SeamRecorder rec;
  AudioOptions o;
  o.gain = 30;
  o.boost = 1;
  o.ns = 1;
  o.nsv = 100;
  o.agc = 0;
  store_audio_options(o);
  ChannelState state;
  reset_channel(state, kSystemChannel);
  for (std::uint32_t block = 0; block < 5; ++block) {
    const auto in = sine_block(3000.0, 300.0, block * 1600);
    EXPECT_EQ(feed(state, in), in) << "block " << block;
  }
  const BlockOptions options = block_options(kSystemChannel, o);
  EXPECT_FALSE(options.filter_on);
  EXPECT_EQ(options.user_gain, 1.0f);
}

TEST(SystemChannel, HonoursAutomaticGain) {
  SeamRecorder rec;
  AudioOptions o;
  o.agc = 1;
  store_audio_options(o);
  ChannelState state;
  reset_channel(state, kSystemChannel);
  std::vector<std::int16_t> out;
  for (std::uint32_t block = 0; block < 150; ++block) {
    out = feed(state, sine_block(8000.0, 300.0, block * 1600));
  }
  EXPECT_NEAR(block_level(out.data(), 1600), 2500.0, 25.0);
  EXPECT_TRUE(block_options(kSystemChannel, o).agc_on);
}

TEST(BlockLength, ShortAndOddBlocksAreConditionedInTheirOwnSubBlocks) {
  SeamRecorder rec;
  store_audio_options(transparent_options());
  ChannelState state;
  reset_channel(state, kMicrophoneChannel);
  for (std::uint32_t count : {1u, 159u, 161u, 1000u, 3333u}) {
    const auto in = square_block(500, 0, count);
    EXPECT_EQ(feed(state, in), in) << count;
  }
  ASSERT_EQ(rec.levels.size(), 5u);
  EXPECT_EQ(rec.levels[0].percent, 41u);  // 500 / 12
}

}  // namespace
}  // namespace colloquor
