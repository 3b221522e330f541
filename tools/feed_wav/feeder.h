// feed_wav's engine: plays one or two channels of 16 kHz audio through process_block in 100 ms
// steps, as the capture threads would, and writes the frames of the pipe protocol.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/live_options.h"

namespace colloquor {

inline constexpr std::uint32_t kFeedBlockSamples = 1600;  // 100 ms
// The tick at the start of the audio when the audio's own time is used: a machine that has been
// up for a while (11.6 days), so nothing depends on the tick being small.
inline constexpr std::uint64_t kAudioClockStartMs = 1'000'000'000;

struct FeedOptions {
  bool realtime = false;
  double linger_seconds = 0.0;
  AudioOptions live;                           // first-start values unless set
  bool sys_set = false;                        // --set sys=... was given
  std::optional<std::string> options_payload;  // text of an "L" frame to send first
  std::vector<std::string> files;              // CH0.wav [CH1.wav]
};

struct ParsedArguments {
  bool ok = false;
  bool help = false;
  std::string error;
  FeedOptions options;
};

// Parses the arguments after the program name.
ParsedArguments parse_feed_arguments(const std::vector<std::string>& args);
std::string feed_usage();

// What feed_wav needs from its surroundings; the defaults are standard output and a steady clock.
struct FeedIo {
  // Writes bytes; false when the output is gone (the reader has ended).
  std::function<bool(std::string_view bytes)> write;
  std::function<std::uint64_t()> now_ms;              // for --realtime
  std::function<void(std::uint64_t)> sleep_until_ms;  // for --realtime
  std::function<void(double)> sleep_seconds;          // for --linger
};

FeedIo standard_feed_io();

struct FeedSummary {
  std::uint64_t blocks[2] = {0, 0};
  std::uint64_t utterances[2] = {0, 0};
  std::uint64_t frames = 0;
  std::uint64_t audio_frames = 0;
  std::uint64_t end_frames = 0;
  std::uint64_t option_frames = 0;
  std::uint64_t quit_frames = 0;
  bool output_failed = false;
};

// Runs the channels (channel 1 may be empty: no second file) and writes every frame through io.
// options.live is stored into the process-wide live options for the run.
FeedSummary run_feed(const FeedOptions& options, const std::vector<std::int16_t>& channel0,
                     const std::vector<std::int16_t>& channel1, const FeedIo& io);

std::string summary_line(const FeedSummary& summary);

}  // namespace colloquor
