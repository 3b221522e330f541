// Test seams for block processing: records every frame and level report, serves a settable tick
// and counts how often it is read. Installing one also resets the live options and the
// other-side tick, so every test starts from a first start's state.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "audio/audio_seams.h"
#include "audio/channel.h"
#include "audio/live_options.h"

namespace colloquor::testing {

struct RecordedFrame {
  char type;
  std::string payload;

  int channel() const { return payload.empty() ? -1 : static_cast<unsigned char>(payload[0]); }
  std::vector<std::int16_t> samples() const {
    std::vector<std::int16_t> out;
    for (std::size_t i = 1; i + 1 < payload.size(); i += 2) {
      const auto lo = static_cast<unsigned char>(payload[i]);
      const auto hi = static_cast<unsigned char>(payload[i + 1]);
      out.push_back(static_cast<std::int16_t>(static_cast<std::uint16_t>(lo | (hi << 8))));
    }
    return out;
  }
};

struct LevelReport {
  std::uint32_t percent;
  std::intptr_t lparam;
};

class SeamRecorder {
 public:
  SeamRecorder() {
    seams_.context = this;
    seams_.send_frame = [](void* self, char type, const void* payload, std::uint32_t length) {
      static_cast<SeamRecorder*>(self)->frames.push_back(
          {type, std::string(static_cast<const char*>(payload), length)});
    };
    seams_.post_level = [](void* self, std::uint32_t percent, std::intptr_t lparam) {
      static_cast<SeamRecorder*>(self)->levels.push_back({percent, lparam});
    };
    seams_.tick_ms = [](void* self) {
      auto* me = static_cast<SeamRecorder*>(self);
      ++me->tick_reads;
      return me->tick;
    };
    store_audio_options(AudioOptions{});
    other_side_heard_at.store(0);
    install_audio_seams(&seams_);
  }
  ~SeamRecorder() {
    install_audio_seams(nullptr);
    store_audio_options(AudioOptions{});
    other_side_heard_at.store(0);
  }
  SeamRecorder(const SeamRecorder&) = delete;
  SeamRecorder& operator=(const SeamRecorder&) = delete;

  std::string frame_types() const {
    std::string s;
    for (const auto& f : frames) s += f.type;
    return s;
  }
  void clear() {
    frames.clear();
    levels.clear();
  }

  std::vector<RecordedFrame> frames;
  std::vector<LevelReport> levels;
  std::uint64_t tick = 50'000'000;  // far from zero, as a machine's uptime
  int tick_reads = 0;

 private:
  AudioSeams seams_;
};

// Options under which conditioning leaves the microphone's samples exactly as they are (unit
// gain, no filter, no gate, no automatic gain), so detector tests can predict every level.
inline AudioOptions transparent_options() {
  AudioOptions o;
  o.gain = 0;
  o.boost = 0;
  o.agc = 0;
  o.ns = 0;
  o.nsv = 50;
  o.echo = 1;
  o.sys = 0;
  return o;
}

// A block alternating +amplitude / -amplitude (its level is exactly amplitude), with a marker in
// the first sample so a block can be recognised in the frames.
inline std::vector<std::int16_t> square_block(std::int16_t amplitude, std::int16_t marker = 0,
                                              std::uint32_t count = 1600) {
  std::vector<std::int16_t> b(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    b[i] = static_cast<std::int16_t>(i % 2 == 0 ? amplitude : -amplitude);
  }
  if (marker != 0 && count > 0) b[0] = marker;
  return b;
}

inline std::vector<std::int16_t> sine_block(double amplitude, double hz, std::uint32_t start,
                                            std::uint32_t count = 1600) {
  std::vector<std::int16_t> b(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    b[i] = static_cast<std::int16_t>(
        std::lround(amplitude * std::sin(2.0 * 3.14159265358979 * hz * (start + i) / 16000.0)));
  }
  return b;
}

// Runs one block through the channel (a copy, so callers can reuse the input).
inline std::vector<std::int16_t> feed(ChannelState& state, std::vector<std::int16_t> block) {
  process_block(state, block.data(), static_cast<std::uint32_t>(block.size()));
  return block;
}

}  // namespace colloquor::testing
