#include "audio/live_options.h"

namespace colloquor {

LiveAudioOptions live_options;

AudioOptions load_audio_options(const LiveAudioOptions& live) {
  AudioOptions v;
  v.gain = live.gain.load(std::memory_order_relaxed);
  v.boost = live.boost.load(std::memory_order_relaxed);
  v.agc = live.agc.load(std::memory_order_relaxed);
  v.ns = live.ns.load(std::memory_order_relaxed);
  v.nsv = live.nsv.load(std::memory_order_relaxed);
  v.echo = live.echo.load(std::memory_order_relaxed);
  v.sys = live.sys.load(std::memory_order_relaxed);
  return v;
}

void store_audio_options(const AudioOptions& values, LiveAudioOptions& live) {
  live.gain.exchange(values.gain);
  live.boost.exchange(values.boost);
  live.agc.exchange(values.agc);
  live.ns.exchange(values.ns);
  live.nsv.exchange(values.nsv);
  live.echo.exchange(values.echo);
  live.sys.exchange(values.sys);
}

}  // namespace colloquor
