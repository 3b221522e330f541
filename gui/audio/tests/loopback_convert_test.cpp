// Conversion of an output device's mix format to 16 kHz mono blocks, and the silence that keeps
// the system-audio stream in step with real time.
#include "audio/loopback_convert.h"

#include "audio_test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace colloquor {
namespace {

struct Collected {
  std::vector<std::int16_t> samples;
  int blocks = 0;
};

BlockSink collect_into(Collected& out) {
  BlockSink sink;
  sink.context = &out;
  sink.deliver = [](void* context, std::int16_t* samples, std::uint32_t count) {
    auto* collected = static_cast<Collected*>(context);
    collected->samples.insert(collected->samples.end(), samples, samples + count);
    ++collected->blocks;
  };
  return sink;
}

// All samples produced so far: the delivered blocks and the unfinished one.
std::vector<std::int16_t> produced(const Collected& out, const LoopbackConverter& converter) {
  std::vector<std::int16_t> all = out.samples;
  all.insert(all.end(), converter.block.begin(), converter.block.end());
  return all;
}

template <typename T>
std::vector<std::uint8_t> bytes_of(const std::vector<T>& values) {
  std::vector<std::uint8_t> bytes(values.size() * sizeof(T));
  std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

MixFormat float_stereo(std::uint32_t rate) {
  return describe_mix_format(kFormatTagExtensible, 2, rate, 32, kFormatTagFloat);
}

TEST(MixFormatDescription, RecognisesFloatByTagOrSubformat) {
  EXPECT_EQ(describe_mix_format(kFormatTagFloat, 2, 48000, 32, 0).coding, SampleCoding::float32);
  EXPECT_EQ(float_stereo(48000).coding, SampleCoding::float32);
  // Extensible with the PCM subformat: 32-bit integers.
  EXPECT_EQ(describe_mix_format(kFormatTagExtensible, 2, 48000, 32, kFormatTagPcm).coding,
            SampleCoding::int32);
  EXPECT_EQ(describe_mix_format(kFormatTagPcm, 1, 44100, 16, 0).coding, SampleCoding::int16);
  EXPECT_EQ(describe_mix_format(kFormatTagPcm, 6, 48000, 24, 0).coding, SampleCoding::int24);
  EXPECT_EQ(describe_mix_format(kFormatTagPcm, 2, 48000, 8, 0).coding, SampleCoding::unsupported);
  EXPECT_EQ(describe_mix_format(kFormatTagFloat, 2, 48000, 64, 0).coding,
            SampleCoding::unsupported);
  EXPECT_EQ(describe_mix_format(kFormatTagFloat, 0, 48000, 32, 0).channels, 1u);
  EXPECT_EQ(frame_bytes(describe_mix_format(kFormatTagPcm, 6, 48000, 24, 0)), 18u);
  EXPECT_EQ(frame_bytes(describe_mix_format(kFormatTagFloat, 2, 48000, 64, 0)), 16u);
}

TEST(FrameMonoValue, AveragesChannelsOfEveryCoding) {
  const MixFormat f32 = float_stereo(48000);
  const std::vector<float> floats = {0.5f, -0.25f};
  EXPECT_DOUBLE_EQ(frame_mono_value(f32, bytes_of(floats).data()), 0.125);

  const MixFormat i16 = describe_mix_format(kFormatTagPcm, 2, 48000, 16, 0);
  const std::vector<std::int16_t> shorts = {-32768, 16384};
  EXPECT_DOUBLE_EQ(frame_mono_value(i16, bytes_of(shorts).data()), -0.25);

  const MixFormat i32 = describe_mix_format(kFormatTagExtensible, 1, 48000, 32, kFormatTagPcm);
  const std::vector<std::int32_t> ints = {std::numeric_limits<std::int32_t>::min()};
  EXPECT_DOUBLE_EQ(frame_mono_value(i32, bytes_of(ints).data()), -1.0);

  // 24-bit little-endian packed: 0x400000 is half scale, 0x800000 is -1.
  const MixFormat i24 = describe_mix_format(kFormatTagPcm, 2, 48000, 24, 0);
  const std::uint8_t packed[] = {0x00, 0x00, 0x40, 0x00, 0x00, 0x80};
  EXPECT_DOUBLE_EQ(frame_mono_value(i24, packed), (0.5 - 1.0) / 2.0);

  const MixFormat eight = describe_mix_format(kFormatTagPcm, 2, 48000, 8, 0);
  const std::uint8_t loud[] = {0xFF, 0xFF};
  EXPECT_DOUBLE_EQ(frame_mono_value(eight, loud), 0.0);
}

TEST(LoopbackConversion, FortyEightKilohertzStereoAveragesThreeFrames) {
  LoopbackConverter converter;
  start_conversion(converter, float_stereo(48000));
  Collected out;
  // Frames 1,2,3 -> mean of (0.1, 0.2, 0.3); the second channel is 0, halving each frame.
  const std::vector<float> frames = {0.1f, 0.0f, 0.2f, 0.0f,  0.3f,  0.0f,  1.0f,  1.0f,  1.0f,
                                     1.0f, 1.0f, 1.0f, -1.0f, -1.0f, -1.0f, -1.0f, -1.0f, -1.0f};
  convert_packet(converter, bytes_of(frames).data(), 9, false, collect_into(out));
  const std::vector<std::int16_t> samples = produced(out, converter);
  ASSERT_EQ(samples.size(), 3u);
  const double mean = (double(0.1f / 2.0f) + double(0.2f / 2.0f) + double(0.3f / 2.0f)) / 3.0;
  EXPECT_EQ(samples[0], static_cast<std::int16_t>(static_cast<float>(mean) * 32767.0f));
  EXPECT_EQ(samples[1], 32767);
  EXPECT_EQ(samples[2], -32767);
}

TEST(LoopbackConversion, FortyFourPointOneKilohertzGives160SamplesPer441Frames) {
  LoopbackConverter converter;
  start_conversion(converter, describe_mix_format(kFormatTagPcm, 1, 44100, 16, 0));
  Collected out;
  std::vector<std::int16_t> frames(441, 8192);
  convert_packet(converter, bytes_of(frames).data(), 441, false, collect_into(out));
  std::vector<std::int16_t> samples = produced(out, converter);
  ASSERT_EQ(samples.size(), 160u);
  for (std::int16_t s : samples) EXPECT_EQ(s, 8191);  // 0.25 * 32767, truncated
  EXPECT_NEAR(converter.phase, 0.0, 1e-6);

  // Packets of odd sizes carry the phase, sum and count over: the same total either way.
  LoopbackConverter split;
  start_conversion(split, describe_mix_format(kFormatTagPcm, 1, 44100, 16, 0));
  Collected split_out;
  std::size_t offset = 0;
  for (std::uint32_t size : {1u, 2u, 7u, 100u, 331u}) {
    convert_packet(split, bytes_of(frames).data() + offset * 2, size, false,
                   collect_into(split_out));
    offset += size;
  }
  EXPECT_EQ(produced(split_out, split), samples);
}

TEST(LoopbackConversion, SilentPacketsAdvanceThePhaseWithZeros) {
  LoopbackConverter converter;
  start_conversion(converter, float_stereo(48000));
  Collected out;
  const std::vector<float> frames(2 * 4, 1.0f);
  convert_packet(converter, bytes_of(frames).data(), 4, true, collect_into(out));
  std::vector<std::int16_t> samples = produced(out, converter);
  ASSERT_EQ(samples.size(), 1u);
  EXPECT_EQ(samples[0], 0);
  EXPECT_EQ(converter.count, 1);  // the fourth frame waits for the next sample
  // The frame left over averages with the next packet's loud frames.
  convert_packet(converter, bytes_of(frames).data(), 2, false, collect_into(out));
  samples = produced(out, converter);
  ASSERT_EQ(samples.size(), 2u);
  EXPECT_EQ(samples[1], static_cast<std::int16_t>(static_cast<float>(2.0 / 3.0) * 32767.0f));
}

TEST(LoopbackConversion, UnsupportedFormatsGiveSilence) {
  for (std::uint16_t bits : {8, 64}) {
    LoopbackConverter converter;
    const std::uint16_t tag = bits == 64 ? kFormatTagFloat : kFormatTagPcm;
    start_conversion(converter, describe_mix_format(tag, 2, 48000, bits, 0));
    Collected out;
    std::vector<std::uint8_t> frames(4800 * frame_bytes(converter.format), 0x7F);
    convert_packet(converter, frames.data(), 4800, false, collect_into(out));
    ASSERT_EQ(out.samples.size(), 1600u);
    for (std::int16_t s : out.samples) ASSERT_EQ(s, 0);
  }
}

TEST(LoopbackConversion, BrokenFloatsAreLimitedNotUndefined) {
  LoopbackConverter converter;
  start_conversion(converter, describe_mix_format(kFormatTagFloat, 1, 16000, 32, 0));
  Collected out;
  const std::vector<float> frames = {std::numeric_limits<float>::infinity(),
                                     -std::numeric_limits<float>::infinity(),
                                     std::numeric_limits<float>::quiet_NaN(), 40.0f};
  convert_packet(converter, bytes_of(frames).data(), 4, false, collect_into(out));
  const std::vector<std::int16_t> samples = produced(out, converter);
  ASSERT_EQ(samples.size(), 4u);
  EXPECT_EQ(samples[0], 32767);
  EXPECT_EQ(samples[1], -32767);
  EXPECT_EQ(samples[2], 0);
  EXPECT_EQ(samples[3], 32767);
}

TEST(LoopbackConversion, LowRatesGiveAtMostOneSamplePerFrame) {
  LoopbackConverter converter;
  start_conversion(converter, describe_mix_format(kFormatTagPcm, 1, 8000, 16, 0));
  Collected out;
  std::vector<std::int16_t> frames(800, 1000);
  convert_packet(converter, bytes_of(frames).data(), 800, false, collect_into(out));
  EXPECT_EQ(produced(out, converter).size(), 800u);
}

TEST(LoopbackConversion, HandsOverExactBlocksOf1600) {
  LoopbackConverter converter;
  start_conversion(converter, float_stereo(48000));
  Collected out;
  std::vector<float> frames(2 * 48000, 0.5f);  // one second
  convert_packet(converter, bytes_of(frames).data(), 48000, false, collect_into(out));
  EXPECT_EQ(out.blocks, 10);
  EXPECT_EQ(converter.handed_over, 16000u);
  EXPECT_TRUE(converter.block.empty());
}

TEST(LoopbackGapFilling, KeepsTheStream200MillisecondsBehindRealTime) {
  EXPECT_EQ(samples_due(10'000'000, 10'000'000), 16000);
  EXPECT_EQ(samples_due(15'000'000, 10'000'000), 24000);
  EXPECT_EQ(samples_due(123, 0), 0);

  LoopbackConverter converter;
  start_conversion(converter, float_stereo(48000));
  Collected out;
  // Nothing played for a second: about 12800 zeros (eight blocks), 3200 behind.
  fill_gap(converter, samples_due(10'000'000, 10'000'000), collect_into(out), nullptr, nullptr);
  EXPECT_EQ(out.blocks, 8);
  EXPECT_EQ(converter.handed_over, 12800u);
  EXPECT_TRUE(converter.block.empty());
  for (std::int16_t s : out.samples) ASSERT_EQ(s, 0);

  // Within the allowed lag nothing is added; beyond it exactly up to the lag.
  fill_gap(converter, 16000, collect_into(out), nullptr, nullptr);
  EXPECT_EQ(converter.handed_over + converter.block.size(), 12800u);
  fill_gap(converter, 16100, collect_into(out), nullptr, nullptr);
  EXPECT_EQ(converter.handed_over + converter.block.size(), 12900u);
  EXPECT_EQ(converter.block.size(), 100u);
}

TEST(LoopbackGapFilling, AfterASleepMakesUpTwoSecondsThenFollowsTheClockAgain) {
  LoopbackConverter converter;
  start_conversion(converter, float_stereo(48000));
  Collected out;
  fill_gap(converter, 16000, collect_into(out), nullptr, nullptr);
  ASSERT_EQ(out.blocks, 8);
  // Eight hours asleep: two seconds of silence, not 28800 of them.
  const std::int64_t woke = 16000 + 8LL * 3600 * 16000;
  fill_gap(converter, woke, collect_into(out), nullptr, nullptr);
  EXPECT_EQ(out.blocks, 8 + 20);
  EXPECT_TRUE(converter.block.empty());
  // From then on the stream keeps 200 ms behind the restarted clock, as before the sleep.
  fill_gap(converter, woke + 16000, collect_into(out), nullptr, nullptr);
  EXPECT_EQ(out.blocks, 8 + 20 + 10);
  fill_gap(converter, woke + 16000, collect_into(out), nullptr, nullptr);
  EXPECT_EQ(out.blocks, 8 + 20 + 10);
  for (std::int16_t s : out.samples) ASSERT_EQ(s, 0);
}

TEST(LoopbackGapFilling, StopsAsSoonAsTheThreadIsToldToEnd) {
  LoopbackConverter converter;
  start_conversion(converter, float_stereo(48000));
  Collected out;
  int allowed = 500;
  fill_gap(
      converter, 100000, collect_into(out),
      [](void* context) { return (*static_cast<int*>(context))-- > 0; }, &allowed);
  EXPECT_EQ(converter.block.size(), 500u);
  EXPECT_EQ(out.blocks, 0);
}

// A capture client that plays back a script: packets of 480 stereo float frames at a constant
// value, with failures where the script says.
struct ScriptedClient {
  std::vector<float> values;  // one packet per value; NaN marks a silent packet
  std::size_t next = 0;
  bool size_fails = false;
  bool get_fails_at_next = false;
  bool release_fails = false;
  int released = 0;
  std::int64_t due = 0;  // what the clock says when read
  int clock_reads = 0;
  int wanted_budget = 1000000;  // keep_going answers yes this many times
  std::vector<float> frames;
};

PacketSource scripted_source(ScriptedClient& client) {
  PacketSource source;
  source.context = &client;
  source.next_size = [](void* context, std::uint32_t* frames) {
    auto* c = static_cast<ScriptedClient*>(context);
    if (c->size_fails) return false;
    *frames = c->next < c->values.size() ? 480u : 0u;
    return true;
  };
  source.get = [](void* context, const std::uint8_t** data, std::uint32_t* frames, bool* silent) {
    auto* c = static_cast<ScriptedClient*>(context);
    if (c->get_fails_at_next) return false;
    const float value = c->values[c->next++];
    *silent = value != value;
    c->frames.assign(2 * 480, *silent ? 1.0f : value);
    *data = reinterpret_cast<const std::uint8_t*>(c->frames.data());
    *frames = 480;
    return true;
  };
  source.release = [](void* context, std::uint32_t frames) {
    EXPECT_EQ(frames, 480u);
    auto* c = static_cast<ScriptedClient*>(context);
    if (c->release_fails) return false;
    ++c->released;
    return true;
  };
  return source;
}

std::int64_t scripted_clock(void* context) {
  auto* c = static_cast<ScriptedClient*>(context);
  ++c->clock_reads;
  return c->due;
}

bool scripted_wanted(void* context) {
  return static_cast<ScriptedClient*>(context)->wanted_budget-- > 0;
}

bool poll(LoopbackConverter& converter, ScriptedClient& client, Collected& out) {
  return loopback_poll(converter, scripted_source(client), collect_into(out), scripted_clock,
                       &client, scripted_wanted, &client);
}

TEST(LoopbackPoll, DrainsEveryWaitingPacketThenPacesWithSilence) {
  LoopbackConverter converter;
  start_conversion(converter, float_stereo(48000));
  Collected out;
  ScriptedClient client;
  client.values = {0.5f, 0.5f, std::numeric_limits<float>::quiet_NaN(), 0.5f};  // 4 x 160 samples
  client.due = 640 + kLoopbackMaxLag + 1000;
  poll(converter, client, out);
  EXPECT_EQ(client.released, 4);
  EXPECT_EQ(client.clock_reads, 1);
  const std::vector<std::int16_t> samples = produced(out, converter);
  ASSERT_EQ(samples.size(), 640u + 1000u);
  EXPECT_EQ(samples[0], 16383);  // 0.5 * 32767
  EXPECT_EQ(samples[320], 0);    // the silent packet
  EXPECT_EQ(samples[480], 16383);
  EXPECT_EQ(samples[640], 0);  // padding

  // The next poll with nothing waiting only paces.
  client.due += 1600;
  poll(converter, client, out);
  EXPECT_EQ(produced(out, converter).size(), 640u + 1000u + 1600u);
  EXPECT_EQ(out.blocks, 2);
}

TEST(LoopbackPoll, AFailingReadEndsTheDrainButNotThePacing) {
  LoopbackConverter converter;
  start_conversion(converter, float_stereo(48000));
  Collected out;
  ScriptedClient client;
  client.values = {0.5f, 0.5f};
  client.size_fails = true;
  client.due = kLoopbackMaxLag + 160;
  poll(converter, client, out);
  EXPECT_EQ(client.released, 0);
  EXPECT_EQ(produced(out, converter).size(), 160u);

  client.size_fails = false;
  client.get_fails_at_next = true;
  poll(converter, client, out);
  EXPECT_EQ(client.released, 0);
  EXPECT_EQ(client.next, 0u);

  // An endpoint that comes back is read again at the next poll.
  client.get_fails_at_next = false;
  poll(converter, client, out);
  EXPECT_EQ(client.released, 2);
}

TEST(LoopbackPoll, APacketTheClientRefusesBackEndsTheStream) {
  LoopbackConverter converter;
  start_conversion(converter, float_stereo(48000));
  Collected out;
  ScriptedClient client;
  client.values = {0.5f, 0.5f};
  client.release_fails = true;
  client.due = 100000;
  EXPECT_FALSE(poll(converter, client, out));
  EXPECT_EQ(client.next, 1u);                        // no packet taken after the refused one
  EXPECT_EQ(produced(out, converter).size(), 160u);  // and no silence made up
  EXPECT_EQ(client.clock_reads, 0);

  client.release_fails = false;
  EXPECT_TRUE(poll(converter, client, out));
}

TEST(LoopbackPoll, StopsBetweenPacketsAndSkipsPacingOnceTheThreadMustEnd) {
  LoopbackConverter converter;
  start_conversion(converter, float_stereo(48000));
  Collected out;
  ScriptedClient client;
  client.values = {0.5f, 0.5f, 0.5f, 0.5f};
  client.due = 100000;
  client.wanted_budget = 2;  // two packets, then the flag is cleared
  poll(converter, client, out);
  EXPECT_EQ(client.released, 2);
  EXPECT_EQ(produced(out, converter).size(), 320u);  // no silence appended
}

// The converter feeding block processing of channel 1, as the loopback thread does.
BlockSink into_system_channel(ChannelState& state) {
  BlockSink sink;
  sink.context = &state;
  sink.deliver = [](void* context, std::int16_t* samples, std::uint32_t count) {
    process_block(*static_cast<ChannelState*>(context), samples, count);
  };
  return sink;
}

TEST(LoopbackIntoChannel, ASilentDeviceStillFeedsTheMeterWithoutSendingFrames) {
  testing::SeamRecorder seams;
  ChannelState state;
  reset_channel(state, 1);
  LoopbackConverter converter;
  start_conversion(converter, float_stereo(48000));
  fill_gap(converter, samples_due(10'000'000, 10'000'000), into_system_channel(state), nullptr,
           nullptr);
  ASSERT_EQ(seams.levels.size(), 8u);
  for (const testing::LevelReport& report : seams.levels) {
    EXPECT_EQ(report.percent, 0u);
    EXPECT_EQ(report.lparam, 2);  // channel 1, not speaking
  }
  EXPECT_TRUE(seams.frames.empty());
  EXPECT_EQ(other_side_heard_at.load(), 0u);
}

TEST(LoopbackIntoChannel, LoudPlaybackOpensAnUtteranceOnChannelOne) {
  testing::SeamRecorder seams;
  ChannelState state;
  reset_channel(state, 1);
  LoopbackConverter converter;
  start_conversion(converter, float_stereo(48000));
  const BlockSink sink = into_system_channel(state);
  fill_gap(converter, 16000 + kLoopbackMaxLag, sink, nullptr, nullptr);  // one quiet second
  // Half a second of a loud 300 Hz tone on both channels, in 10 ms packets.
  std::vector<float> packet(2 * 480);
  for (int p = 0; p < 50; ++p) {
    for (int f = 0; f < 480; ++f) {
      const float v =
          0.5f * static_cast<float>(std::sin(6.283185307179586 * 300.0 * (p * 480 + f) / 48000.0));
      packet[2 * f] = v;
      packet[2 * f + 1] = v;
    }
    convert_packet(converter, bytes_of(packet).data(), 480, false, sink);
  }
  // Onset at the second loud block: the pre-roll (quiet block and two loud ones) goes out.
  ASSERT_GE(seams.frames.size(), 3u);
  for (const testing::RecordedFrame& frame : seams.frames) {
    EXPECT_EQ(frame.type, 'A');
    EXPECT_EQ(frame.channel(), 1);
    EXPECT_EQ(frame.samples().size(), 1600u);
  }
  EXPECT_EQ(other_side_heard_at.load(), seams.tick);
}

}  // namespace
}  // namespace colloquor
