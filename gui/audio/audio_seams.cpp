#include "audio/audio_seams.h"

#include <atomic>
#include <chrono>

namespace colloquor {

namespace {

const AudioSeams kDefaultSeams{};
std::atomic<const AudioSeams*> installed_seams{&kDefaultSeams};

}  // namespace

void install_audio_seams(const AudioSeams* seams) {
  installed_seams.store(seams != nullptr ? seams : &kDefaultSeams, std::memory_order_release);
}

const AudioSeams& audio_seams() { return *installed_seams.load(std::memory_order_acquire); }

void emit_frame(const AudioSeams& seams, char type, const void* payload, std::uint32_t length) {
  if (seams.send_frame != nullptr) seams.send_frame(seams.context, type, payload, length);
}

void emit_level(const AudioSeams& seams, std::uint32_t percent, std::intptr_t lparam) {
  if (seams.post_level != nullptr) seams.post_level(seams.context, percent, lparam);
}

std::uint64_t read_tick(const AudioSeams& seams) {
  if (seams.tick_ms != nullptr) return seams.tick_ms(seams.context);
  return steady_tick_ms();
}

std::uint64_t steady_tick_ms() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace colloquor
