// The live option values that steer audio conditioning and speech detection. The window stores
// them (atomic exchange) whenever a control changes; each capture thread loads them once at the
// start of every block, so a change takes effect from the next block without any lock.
#pragma once

#include <atomic>
#include <cstdint>

namespace colloquor {

struct LiveAudioOptions {
  std::atomic<std::int32_t> gain{0};   // microphone gain in dB, -10 to +30
  std::atomic<std::int32_t> boost{0};  // 1: +12 dB on the microphone
  std::atomic<std::int32_t> agc{1};    // automatic gain control
  std::atomic<std::int32_t> ns{1};     // noise suppression (high-pass filter and noise gate)
  std::atomic<std::int32_t> nsv{50};   // noise-suppression strength in percent
  std::atomic<std::int32_t> echo{
      1};                            // speakers mode: cut the microphone while the other side talks
  std::atomic<std::int32_t> sys{0};  // the other side (system audio) is captured
};

// The one process-wide set. Its initial values are those of a first start without settings.
extern LiveAudioOptions live_options;

// One block's view of the options, read once so that a block is conditioned consistently.
struct AudioOptions {
  std::int32_t gain = 0;
  std::int32_t boost = 0;
  std::int32_t agc = 1;
  std::int32_t ns = 1;
  std::int32_t nsv = 50;
  std::int32_t echo = 1;
  std::int32_t sys = 0;
};

AudioOptions load_audio_options(const LiveAudioOptions& live = live_options);
void store_audio_options(const AudioOptions& values, LiveAudioOptions& live = live_options);

// Ranges the window's controls keep to; values from elsewhere are held inside them so that the
// arithmetic of a block stays finite.
inline constexpr std::int32_t kMinGainDb = -10;
inline constexpr std::int32_t kMaxGainDb = 30;
inline constexpr std::int32_t kMaxStrength = 100;

}  // namespace colloquor
