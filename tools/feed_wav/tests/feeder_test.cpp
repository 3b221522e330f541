// feed_wav's engine: argument rules, the order of blocks and frames between the two channels,
// the tick from the audio's time or the clock, the end of a run, and a reader that goes away.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "audio/channel.h"
#include "tools/feed_wav/feeder.h"

namespace colloquor {
namespace {

struct Frame {
  char type;
  std::string payload;
  int channel() const { return payload.empty() ? -1 : static_cast<unsigned char>(payload[0]); }
  std::int16_t first_sample() const {
    return static_cast<std::int16_t>(static_cast<unsigned char>(payload.at(1)) |
                                     (static_cast<unsigned char>(payload.at(2)) << 8));
  }
};

// Splits a byte stream into frames; fails the test on a malformed stream.
std::vector<Frame> decode(const std::string& bytes) {
  std::vector<Frame> frames;
  std::size_t p = 0;
  while (p < bytes.size()) {
    EXPECT_LE(p + 5, bytes.size());
    if (p + 5 > bytes.size()) break;
    std::uint32_t n = 0;
    for (int i = 0; i < 4; ++i)
      n |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[p + 1 + i])) << (8 * i);
    EXPECT_LE(p + 5 + n, bytes.size());
    frames.push_back({bytes[p], bytes.substr(p + 5, n)});
    p += 5 + n;
  }
  return frames;
}

std::string types(const std::vector<Frame>& frames) {
  std::string s;
  for (const auto& f : frames) s += f.type;
  return s;
}

// Steps of 1600 samples: each entry is the level of one 100 ms block (square wave), with the
// block's step number + 100 in its first sample.
std::vector<std::int16_t> audio(const std::vector<std::int16_t>& levels) {
  std::vector<std::int16_t> s;
  for (std::size_t step = 0; step < levels.size(); ++step) {
    for (std::uint32_t i = 0; i < 1600; ++i) {
      s.push_back(static_cast<std::int16_t>(i % 2 ? -levels[step] : levels[step]));
    }
    s[step * 1600] = static_cast<std::int16_t>(100 + step);
  }
  return s;
}

std::vector<std::int16_t> pattern(int quiet_before, int loud, int quiet_after) {
  std::vector<std::int16_t> levels(quiet_before, 10);
  levels.insert(levels.end(), loud, 3000);
  levels.insert(levels.end(), quiet_after, 10);
  return levels;
}

class Feed : public ::testing::Test {
 protected:
  Feed() {
    options.live.ns = 0;  // transparent conditioning: levels are what the test feeds
    options.live.agc = 0;
    io.write = [this](std::string_view b) {
      ++writes;
      if (fail_after >= 0 && writes > fail_after) return false;
      out.append(b);
      return true;
    };
    io.now_ms = [this] { return clock; };
    io.sleep_until_ms = [this](std::uint64_t t) {
      sleeps_until.push_back(t);
      if (t > clock) clock = t;
    };
    io.sleep_seconds = [this](double s) { lingered.push_back(s); };
  }
  ~Feed() override { store_audio_options(AudioOptions{}); }

  FeedSummary run(const std::vector<std::int16_t>& ch0, const std::vector<std::int16_t>& ch1 = {}) {
    out.clear();
    return run_feed(options, ch0, ch1, io);
  }

  FeedOptions options;
  FeedIo io;
  std::string out;
  int writes = 0;
  int fail_after = -1;
  std::uint64_t clock = 5'000'000;
  std::vector<std::uint64_t> sleeps_until;
  std::vector<double> lingered;
};

TEST(FeedArguments, DefaultsAreThoseOfAFirstStart) {
  const ParsedArguments r = parse_feed_arguments({"a.wav"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_FALSE(r.help);
  EXPECT_EQ(r.options.files, std::vector<std::string>{"a.wav"});
  EXPECT_FALSE(r.options.realtime);
  EXPECT_EQ(r.options.linger_seconds, 0.0);
  EXPECT_FALSE(r.options.options_payload.has_value());
  const AudioOptions& v = r.options.live;
  EXPECT_EQ(v.gain, 0);
  EXPECT_EQ(v.boost, 0);
  EXPECT_EQ(v.agc, 1);
  EXPECT_EQ(v.ns, 1);
  EXPECT_EQ(v.nsv, 50);
  EXPECT_EQ(v.echo, 1);
  EXPECT_EQ(v.sys, 0);
  EXPECT_FALSE(r.options.sys_set);
}

TEST(FeedArguments, EveryOptionInBothSpellings) {
  const ParsedArguments r = parse_feed_arguments(
      {"--realtime", "--linger", "2.5", "--set", "gain=-10", "--set=nsv=100", "--set", "sys=0",
       "--options", "en|ru|1|0|60", "mic.wav", "--", "-them.wav"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_TRUE(r.options.realtime);
  EXPECT_EQ(r.options.linger_seconds, 2.5);
  EXPECT_EQ(r.options.live.gain, -10);
  EXPECT_EQ(r.options.live.nsv, 100);
  EXPECT_EQ(r.options.live.sys, 0);
  EXPECT_TRUE(r.options.sys_set);
  EXPECT_EQ(r.options.options_payload.value(), "en|ru|1|0|60");
  EXPECT_EQ(r.options.files, (std::vector<std::string>{"mic.wav", "-them.wav"}));
  EXPECT_EQ(
      parse_feed_arguments({"--linger=0", "--options=", "a.wav"}).options.options_payload.value(),
      "");
  EXPECT_TRUE(parse_feed_arguments({"--help"}).help);
  EXPECT_TRUE(parse_feed_arguments({"x.wav", "-h"}).help);
}

TEST(FeedArguments, MistakesAreReportedWithWhatWasWrong) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "a WAV file for channel 0 is needed"},
      {{"a.wav", "b.wav", "c.wav"}, "at most two WAV files"},
      {{"--fast", "a.wav"}, "unknown option --fast"},
      {{"--realtime=1", "a.wav"}, "unknown option --realtime=1"},
      {{"a.wav", "--linger"}, "--linger needs a value"},
      {{"--linger", "-1", "a.wav"}, "from 0 to 86400"},
      {{"--linger", "nan", "a.wav"}, "\"nan\" is not a number"},
      {{"--linger", "2s", "a.wav"}, "\"2s\" is not a number"},
      {{"--set", "gain=31", "a.wav"}, "from -10 to 30"},
      {{"--set", "gain=", "a.wav"}, "\"\" is not an integer"},
      {{"--set", "agc=2", "a.wav"}, "from 0 to 1"},
      {{"--set", "nsv=101", "a.wav"}, "from 0 to 100"},
      {{"--set", "volume=3", "a.wav"}, "unknown option \"volume\""},
      {{"--set", "gain", "a.wav"}, "NAME=VALUE"},
  };
  for (const auto& [args, message] : cases) {
    const ParsedArguments r = parse_feed_arguments(args);
    EXPECT_FALSE(r.ok) << message;
    EXPECT_NE(r.error.find(message), std::string::npos)
        << "\"" << r.error << "\" lacks " << message;
  }
  EXPECT_NE(feed_usage().find("[--set NAME=VALUE]..."), std::string::npos);
}

TEST_F(Feed, OneFileSpeechThenSilenceEndsWithQuit) {
  const FeedSummary s = run(audio(pattern(5, 10, 10)));
  // Onset at the second loud block with the pre-roll (3), 8 more loud, 7 quiet, then "E".
  EXPECT_EQ(types(decode(out)), std::string(18, 'A') + "EQ");
  EXPECT_EQ(s.blocks[0], 25u);
  EXPECT_EQ(s.blocks[1], 0u);
  EXPECT_EQ(s.utterances[0], 1u);
  EXPECT_EQ(s.frames, 20u);
  EXPECT_EQ(s.audio_frames, 18u);
  EXPECT_EQ(s.end_frames, 1u);
  EXPECT_EQ(s.quit_frames, 1u);
  EXPECT_FALSE(s.output_failed);
  EXPECT_EQ(live_options.sys.load(), 0);
  EXPECT_EQ(summary_line(s),
            "feed_wav: 25 blocks (channel 0: 25, channel 1: 0), 1 utterances (channel 0: 1, "
            "channel 1: 0), 20 frames (A 18, E 1, L 0, Q 1)");
  EXPECT_TRUE(lingered.empty());
}

TEST_F(Feed, OptionsFrameFirstAndLingerBeforeQuit) {
  options.options_payload = "en|ru|1|0|60";
  options.linger_seconds = 20.0;
  const FeedSummary s = run(audio(pattern(3, 0, 0)));
  const auto frames = decode(out);
  ASSERT_EQ(types(frames), "LQ");
  EXPECT_EQ(frames[0].payload, "en|ru|1|0|60");
  EXPECT_EQ(frames[1].payload, "");
  EXPECT_EQ(s.option_frames, 1u);
  EXPECT_EQ(lingered, std::vector<double>{20.0});
}

TEST_F(Feed, ChannelOneGoesFirstAtEveryStep) {
  options.live.echo = 0;
  run(audio(pattern(5, 4, 0)), audio(pattern(5, 4, 0)));
  std::string channels;
  for (const auto& f : decode(out))
    channels += f.type == 'A' ? static_cast<char>('0' + f.channel()) : f.type;
  // Onset of both at step 6: each one's pre-roll, system audio first; then step by step.
  EXPECT_EQ(channels, "1110001010EEQ");
}

TEST_F(Feed, EchoFilterSeesTheOtherSideOfTheSameMomentOnTheAudioClock) {
  // sys is on by default with a second file. The microphone talks from step 5; the other side is
  // loud at steps 10 and 11 only.
  std::vector<std::int16_t> them(40, 10);
  them[10] = them[11] = 3000;
  run(audio(pattern(5, 35, 0)), audio(them));
  EXPECT_EQ(live_options.sys.load(), 1);
  std::vector<Frame> mic;
  for (const auto& f : decode(out)) {
    if (f.channel() == 0) mic.push_back(f);
  }
  std::size_t cut = 0;
  while (cut < mic.size() && mic[cut].type != 'E') ++cut;
  ASSERT_LT(cut, mic.size());
  // Step 10's microphone block already sees step 10 of the other side: the last one sent is 9.
  EXPECT_EQ(mic[cut - 1].first_sample(), 109);
  // Heard last at step 11; steps up to 17 are within 650 ms, 18 and 19 unmute with the pre-roll.
  ASSERT_GT(mic.size(), cut + 1);
  EXPECT_EQ(mic[cut + 1].first_sample(), 117);
  EXPECT_EQ(mic[cut + 3].first_sample(), 119);
  EXPECT_EQ(other_side_heard_at.load(), kAudioClockStartMs + 1200);  // end of step 11
}

TEST_F(Feed, SettingSysOffKeepsTheMicrophoneOpenDespiteTheOtherSide) {
  options.live.sys = 0;
  options.sys_set = true;
  std::vector<std::int16_t> them(20, 3000);
  const FeedSummary s = run(audio(pattern(5, 15, 0)), audio(them));
  std::size_t mic_audio = 0;
  for (const auto& f : decode(out)) mic_audio += f.type == 'A' && f.channel() == 0;
  EXPECT_EQ(mic_audio, 3u + 13u);
  EXPECT_EQ(s.utterances[0], 1u);
}

TEST_F(Feed, ShortLastBlockKeepsItsLengthAndOpenUtterancesEndInStopOrder) {
  options.live.echo = 0;
  std::vector<std::int16_t> mic = audio(pattern(5, 3, 0));
  mic.insert(mic.end(), 200, 3000);
  std::vector<std::int16_t> them = audio(pattern(5, 2, 0));
  const FeedSummary s = run(mic, them);
  const auto frames = decode(out);
  ASSERT_GE(frames.size(), 3u);
  const Frame& last_audio = frames[frames.size() - 4];
  EXPECT_EQ(last_audio.type, 'A');
  EXPECT_EQ(last_audio.channel(), 0);
  EXPECT_EQ(last_audio.payload.size(), 1u + 2u * 200u);
  EXPECT_EQ(frames[frames.size() - 3].type, 'E');
  EXPECT_EQ(frames[frames.size() - 3].channel(), 1);
  EXPECT_EQ(frames[frames.size() - 2].type, 'E');
  EXPECT_EQ(frames[frames.size() - 2].channel(), 0);
  EXPECT_EQ(frames.back().type, 'Q');
  EXPECT_EQ(s.blocks[0], 9u);
  EXPECT_EQ(s.blocks[1], 7u);
}

TEST_F(Feed, RealtimePacesByTheClockAndTakesTheTickFromIt) {
  options.realtime = true;
  std::vector<std::int16_t> them = audio(pattern(0, 2, 0));
  them.insert(them.end(), 200, 3000);
  run(audio(pattern(3, 0, 0)), them);
  EXPECT_EQ(sleeps_until, (std::vector<std::uint64_t>{5'000'100, 5'000'200, 5'000'300}));
  // The last loud block of the other side was processed when the clock said so.
  EXPECT_EQ(other_side_heard_at.load(), 5'000'300u);
}

TEST_F(Feed, AReaderThatGoesAwayStopsTheRunQuietly) {
  fail_after = 3;
  options.linger_seconds = 5;
  const FeedSummary s = run(audio(pattern(5, 30, 5)));
  EXPECT_TRUE(s.output_failed);
  EXPECT_EQ(s.frames, 3u);
  EXPECT_EQ(writes, 4);  // nothing more is tried after the failed write
  EXPECT_LT(s.blocks[0], 40u);
  EXPECT_TRUE(lingered.empty());
  EXPECT_NE(summary_line(s).find("standard output closed early"), std::string::npos);
}

}  // namespace
}  // namespace colloquor
