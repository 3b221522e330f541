#include "tools/feed_wav/feeder.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "audio/audio_seams.h"
#include "audio/channel.h"
#include "worker_link/protocol.h"

namespace colloquor {

namespace {

constexpr double kMaxLingerSeconds = 86400.0;
constexpr std::uint64_t kFeedRate = 16000;

struct OptionRange {
  const char* name;
  std::int32_t AudioOptions::*field;
  std::int32_t min;
  std::int32_t max;
};

constexpr OptionRange kSettable[] = {
    {"gain", &AudioOptions::gain, kMinGainDb, kMaxGainDb},
    {"boost", &AudioOptions::boost, 0, 1},
    {"agc", &AudioOptions::agc, 0, 1},
    {"ns", &AudioOptions::ns, 0, 1},
    {"nsv", &AudioOptions::nsv, 0, kMaxStrength},
    {"echo", &AudioOptions::echo, 0, 1},
    {"sys", &AudioOptions::sys, 0, 1},
};

bool parse_integer(const std::string& text, long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text.c_str(), &end, 10);
  return errno == 0 && end == text.c_str() + text.size();
}

// Applies one NAME=VALUE; an empty result means it was accepted.
std::string apply_setting(const std::string& assignment, FeedOptions& options) {
  const std::size_t eq = assignment.find('=');
  if (eq == std::string::npos) return "--set needs NAME=VALUE, got \"" + assignment + "\"";
  const std::string name = assignment.substr(0, eq);
  const std::string text = assignment.substr(eq + 1);
  for (const OptionRange& o : kSettable) {
    if (name != o.name) continue;
    long value = 0;
    if (!parse_integer(text, value) || value < o.min || value > o.max) {
      return "--set " + name + ": \"" + text + "\" is not an integer from " +
             std::to_string(o.min) + " to " + std::to_string(o.max);
    }
    options.live.*o.field = static_cast<std::int32_t>(value);
    if (name == "sys") options.sys_set = true;
    return {};
  }
  return "--set: unknown option \"" + name + "\" (one of gain, boost, agc, ns, nsv, echo, sys)";
}

std::string parse_linger(const std::string& text, double& seconds) {
  char* end = nullptr;
  errno = 0;
  const double v = text.empty() ? -1.0 : std::strtod(text.c_str(), &end);
  if (text.empty() || errno != 0 || end != text.c_str() + text.size() || !std::isfinite(v) ||
      v < 0.0 || v > kMaxLingerSeconds) {
    return "--linger: \"" + text + "\" is not a number of seconds from 0 to 86400";
  }
  seconds = v;
  return {};
}

ParsedArguments parse_error(std::string message) {
  ParsedArguments r;
  r.error = std::move(message);
  return r;
}

}  // namespace

std::string feed_usage() {
  return "usage: feed_wav [--realtime] [--linger SECONDS] [--set NAME=VALUE]... "
         "[--options PAYLOAD] CH0.wav [CH1.wav]\n"
         "  Plays 16 kHz mono 16-bit WAV files through the audio front end in 100 ms blocks and\n"
         "  writes the worker's frames to standard output: channel 0 (microphone) from CH0.wav,\n"
         "  channel 1 (system audio) from CH1.wav, then \"E\" for open utterances and \"Q\".\n"
         "  --realtime         pace the blocks by the clock and take the tick from it\n"
         "  --linger SECONDS   wait before \"Q\" so the worker can finish its last passes\n"
         "  --set NAME=VALUE   live option: gain (-10..30 dB), boost, agc, ns, echo, sys (0/1),\n"
         "                     nsv (0..100); defaults gain 0, boost 0, agc 1, ns 1, nsv 50,\n"
         "                     echo 1, sys 1 with CH1.wav and 0 without\n"
         "  --options PAYLOAD  send an \"L\" frame with this text first (src|tgt|rev|diar|sens)\n"
         "  A summary (blocks, utterances, frames) goes to standard error.\n";
}

ParsedArguments parse_feed_arguments(const std::vector<std::string>& args) {
  ParsedArguments r;
  bool only_files = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (only_files || arg.size() < 2 || arg[0] != '-') {
      r.options.files.push_back(arg);
      continue;
    }
    if (arg == "--") {
      only_files = true;
      continue;
    }
    std::string name = arg;
    std::string value;
    bool inline_value = false;
    const std::size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      inline_value = true;
    }
    if (name == "-h" || name == "--help") {
      r.ok = true;
      r.help = true;
      return r;
    }
    if (name == "--realtime" && !inline_value) {
      r.options.realtime = true;
      continue;
    }
    if (name != "--linger" && name != "--set" && name != "--options") {
      return parse_error("unknown option " + arg);
    }
    if (!inline_value) {
      if (i + 1 >= args.size()) return parse_error(name + " needs a value");
      value = args[++i];
    }
    std::string problem;
    if (name == "--linger") {
      problem = parse_linger(value, r.options.linger_seconds);
    } else if (name == "--set") {
      problem = apply_setting(value, r.options);
    } else {
      r.options.options_payload = value;
    }
    if (!problem.empty()) return parse_error(problem);
  }
  if (r.options.files.empty()) return parse_error("a WAV file for channel 0 is needed");
  if (r.options.files.size() > 2) {
    return parse_error("at most two WAV files (channel 0 and channel 1), got " +
                       std::to_string(r.options.files.size()));
  }
  r.ok = true;
  return r;
}

FeedIo standard_feed_io() {
  FeedIo io;
  io.write = [](std::string_view bytes) {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
      const ssize_t n = ::write(STDOUT_FILENO, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      p += n;
      left -= static_cast<std::size_t>(n);
    }
    return true;
  };
  io.now_ms = steady_tick_ms;
  io.sleep_until_ms = [](std::uint64_t ms) {
    std::this_thread::sleep_until(
        std::chrono::steady_clock::time_point(std::chrono::milliseconds(ms)));
  };
  io.sleep_seconds = [](double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  };
  return io;
}

namespace {

struct FeedRun {
  const FeedIo* io;
  FeedSummary* summary;
  std::uint64_t tick;
};

void write_frame(void* context, char type, const void* payload, std::uint32_t length) {
  auto* run = static_cast<FeedRun*>(context);
  FeedSummary& s = *run->summary;
  if (s.output_failed) return;
  if (!run->io->write(encode_frame(type, payload, length))) {
    s.output_failed = true;
    return;
  }
  ++s.frames;
  if (type == kFrameAudio) ++s.audio_frames;
  if (type == kFrameEnd) ++s.end_frames;
  if (type == kFrameOptions) ++s.option_frames;
  if (type == kFrameQuit) ++s.quit_frames;
}

std::uint64_t run_tick(void* context) { return static_cast<FeedRun*>(context)->tick; }

std::uint64_t audio_ms(std::size_t samples) {
  return static_cast<std::uint64_t>(samples) * 1000u / kFeedRate;
}

}  // namespace

FeedSummary run_feed(const FeedOptions& options, const std::vector<std::int16_t>& channel0,
                     const std::vector<std::int16_t>& channel1, const FeedIo& io) {
  FeedSummary summary;
  FeedRun run{&io, &summary, kAudioClockStartMs};
  AudioSeams seams;
  seams.context = &run;
  seams.send_frame = write_frame;
  seams.tick_ms = run_tick;  // levels have no window to go to: post_level stays empty
  install_audio_seams(&seams);

  AudioOptions live = options.live;
  // Audio on channel 1 means the other side is being captured, which is what "sys" says.
  if (!options.sys_set) live.sys = channel1.empty() ? 0 : 1;
  store_audio_options(live);
  other_side_heard_at.store(0);

  ChannelState states[2];
  reset_channel(states[0], kMicrophoneChannel);
  reset_channel(states[1], kSystemChannel);
  const std::vector<std::int16_t>* audio[2] = {&channel0, &channel1};

  if (options.options_payload) {
    write_frame(&run, kFrameOptions, options.options_payload->data(),
                static_cast<std::uint32_t>(options.options_payload->size()));
  }

  const std::uint64_t start_ms = options.realtime ? io.now_ms() : 0;
  const std::size_t total = std::max(channel0.size(), channel1.size());
  std::vector<std::int16_t> block;
  for (std::size_t offset = 0; offset < total && !summary.output_failed;
       offset += kFeedBlockSamples) {
    if (options.realtime) {
      // A capture buffer is delivered when it is full: at the end of the step's audio.
      io.sleep_until_ms(start_ms + audio_ms(std::min(offset + kFeedBlockSamples, total)));
    }
    // The other side first, so the echo filter sees what played at the same moment.
    for (int channel : {1, 0}) {
      const std::vector<std::int16_t>& samples = *audio[channel];
      if (offset >= samples.size()) continue;
      const std::size_t n = std::min<std::size_t>(kFeedBlockSamples, samples.size() - offset);
      block.assign(samples.begin() + static_cast<std::ptrdiff_t>(offset),
                   samples.begin() + static_cast<std::ptrdiff_t>(offset + n));
      run.tick = options.realtime ? io.now_ms() : kAudioClockStartMs + audio_ms(offset + n);
      ChannelState& state = states[channel];
      const bool was_speaking = state.in_speech;
      process_block(state, block.data(), static_cast<std::uint32_t>(n));
      if (!was_speaking && state.in_speech) ++summary.utterances[channel];
      ++summary.blocks[channel];
    }
  }

  // As stopping capture does: the system-audio thread ends first, then the microphone's.
  flush_utterance(states[1]);
  flush_utterance(states[0]);
  if (!summary.output_failed && options.linger_seconds > 0.0)
    io.sleep_seconds(options.linger_seconds);
  write_frame(&run, kFrameQuit, nullptr, 0);
  install_audio_seams(nullptr);
  return summary;
}

std::string summary_line(const FeedSummary& s) {
  auto n = [](std::uint64_t v) { return std::to_string(v); };
  std::string line =
      "feed_wav: " + n(s.blocks[0] + s.blocks[1]) + " blocks (channel 0: " + n(s.blocks[0]) +
      ", channel 1: " + n(s.blocks[1]) + "), " + n(s.utterances[0] + s.utterances[1]) +
      " utterances (channel 0: " + n(s.utterances[0]) + ", channel 1: " + n(s.utterances[1]) +
      "), " + n(s.frames) + " frames (A " + n(s.audio_frames) + ", E " + n(s.end_frames) + ", L " +
      n(s.option_frames) + ", Q " + n(s.quit_frames) + ")";
  if (s.output_failed) line += "; standard output closed early";
  return line;
}

}  // namespace colloquor
