// Cost of process_block on 100 ms blocks of speech-like audio, per channel. A capture thread has
// 100 ms per block; "budget" is the fraction of it that one call takes (the goal is < 10 us).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "audio/audio_seams.h"
#include "audio/channel.h"
#include "audio/live_options.h"

namespace colloquor {
namespace {

constexpr std::uint32_t kBlock = 1600;
constexpr int kSeconds = 30;

// Voiced syllables (a jittered 110-140 Hz pulse train through three formant resonators) about
// four per second, with pauses between phrases and low background noise throughout.
std::vector<std::int16_t> speech_like_audio() {
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(0.0, 30.0);
  std::uniform_real_distribution<double> jitter(-0.03, 0.03);
  const std::size_t total = static_cast<std::size_t>(kSeconds) * 16000;
  std::vector<std::int16_t> out(total);
  const double formants[3] = {700.0, 1200.0, 2600.0};
  double y1[3] = {0, 0, 0}, y2[3] = {0, 0, 0};
  double phase = 0.0;
  for (std::size_t i = 0; i < total; ++i) {
    const double t = static_cast<double>(i) / 16000.0;
    const double phrase = std::fmod(t, 4.0);  // 3 s of speech, then 1 s of pause
    const double syllable = 0.5 - 0.5 * std::cos(2.0 * 3.14159265 * 4.0 * t);
    const double envelope = phrase < 3.0 ? syllable : 0.0;
    const double f0 = 125.0 + 15.0 * std::sin(2.0 * 3.14159265 * 0.5 * t);
    phase += f0 * (1.0 + jitter(rng)) / 16000.0;
    double excitation = 0.0;
    if (phase >= 1.0) {
      phase -= 1.0;
      excitation = 1.0;
    }
    double voiced = 0.0;
    for (int k = 0; k < 3; ++k) {
      const double r = 0.97;
      const double w = 2.0 * 3.14159265 * formants[k] / 16000.0;
      const double y = excitation + 2.0 * r * std::cos(w) * y1[k] - r * r * y2[k];
      y2[k] = y1[k];
      y1[k] = y;
      voiced += y / (k + 1);
    }
    const double v = envelope * voiced * 900.0 + noise(rng);
    out[i] = static_cast<std::int16_t>(std::lround(std::clamp(v, -32000.0, 32000.0)));
  }
  return out;
}

double thread_cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Sink {
  std::uint64_t frames = 0;
  std::uint64_t bytes = 0;
};

void run(benchmark::State& state, std::int32_t channel, const AudioOptions& options) {
  static const std::vector<std::int16_t> audio = speech_like_audio();
  Sink sink;
  AudioSeams seams;
  seams.context = &sink;
  seams.send_frame = [](void* s, char, const void* payload, std::uint32_t length) {
    auto* sink = static_cast<Sink*>(s);
    ++sink->frames;
    sink->bytes += length;
    benchmark::DoNotOptimize(payload);
  };
  seams.post_level = [](void*, std::uint32_t percent, std::intptr_t) {
    benchmark::DoNotOptimize(percent);
  };
  seams.tick_ms = [](void*) -> std::uint64_t { return 86'400'000; };
  install_audio_seams(&seams);
  store_audio_options(options);

  ChannelState ch;
  reset_channel(ch, channel);
  std::vector<std::int16_t> block(kBlock);
  const std::size_t blocks = audio.size() / kBlock;
  std::size_t next = 0;
  const double started = thread_cpu_seconds();
  for (auto _ : state) {
    std::copy_n(audio.begin() + static_cast<std::ptrdiff_t>(next * kBlock), kBlock, block.begin());
    process_block(ch, block.data(), kBlock);
    benchmark::DoNotOptimize(block.data());
    next = (next + 1) % blocks;
  }
  const double elapsed = thread_cpu_seconds() - started;
  install_audio_seams(nullptr);
  // Processor time per block as a fraction of the block's 100 ms (printed with an SI prefix:
  // u = 1e-6). Processor time, because the machine may be busy with other work.
  state.counters["budget"] = elapsed / (static_cast<double>(state.iterations()) * 0.1);
  state.counters["frames_per_block"] =
      static_cast<double>(sink.frames) / static_cast<double>(state.iterations());
}

void BM_ProcessBlock_Microphone(benchmark::State& state) {
  AudioOptions o;  // first-start values: noise suppression 50 %, automatic gain on
  run(state, kMicrophoneChannel, o);
}

void BM_ProcessBlock_MicrophoneSpeakersMode(benchmark::State& state) {
  AudioOptions o;
  o.sys = 1;  // the echo filter reads the tick every block
  run(state, kMicrophoneChannel, o);
}

void BM_ProcessBlock_SystemAudio(benchmark::State& state) {
  AudioOptions o;
  run(state, kSystemChannel, o);
}

BENCHMARK(BM_ProcessBlock_Microphone)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_ProcessBlock_MicrophoneSpeakersMode)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_ProcessBlock_SystemAudio)->Unit(benchmark::kNanosecond);

}  // namespace
}  // namespace colloquor

BENCHMARK_MAIN();
