#include "audio/detector.h"

#include <algorithm>

namespace colloquor {

std::uint32_t level_percent(double level) {
  const double percent = std::min(level / kLevelScale, kMaxLevelPercent);
  return percent > 0.0 ? static_cast<std::uint32_t>(percent) : 0u;
}

std::intptr_t level_lparam(std::int32_t channel, bool in_speech) {
  return static_cast<std::intptr_t>(channel) * 2 + (in_speech ? 1 : 0);
}

void record_level(std::vector<double>& history, std::uint64_t& writes, double level) {
  if (history.size() < kHistoryLength) {
    if (history.capacity() < kHistoryLength) history.reserve(kHistoryLength);
    history.push_back(level);
    return;
  }
  history[static_cast<std::size_t>(writes % kHistoryLength)] = level;
  ++writes;
}

double history_percentile(const std::vector<double>& history) {
  if (history.empty()) return 0.0;
  std::array<double, kHistoryLength> sorted;
  const std::size_t size = std::min(history.size(), kHistoryLength);
  std::copy_n(history.begin(), size, sorted.begin());
  const std::size_t index = size * kPercentile / 100;
  // Only the element at index matters; a partial order gives the same value as a full sort.
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(index),
                   sorted.begin() + static_cast<std::ptrdiff_t>(size));
  return sorted[index];
}

double speech_threshold(double percentile, bool in_speech) {
  double threshold = std::clamp(kThresholdFactor * percentile, kThresholdMin, kThresholdMax);
  if (in_speech) threshold = threshold * kHysteresis;
  return threshold;
}

void preroll_push(PreRoll& pre_roll, const std::int16_t* samples, std::uint32_t count) {
  std::size_t slot;
  if (pre_roll.size < kPreRollBlocks) {
    slot = (pre_roll.first + pre_roll.size) % kPreRollBlocks;
    ++pre_roll.size;
  } else {
    // Full: the oldest block's slot takes the new one.
    slot = pre_roll.first;
    pre_roll.first = (pre_roll.first + 1) % kPreRollBlocks;
  }
  pre_roll.blocks[slot].assign(samples, samples + count);
}

const std::vector<std::int16_t>& preroll_block(const PreRoll& pre_roll, std::size_t i) {
  return pre_roll.blocks[(pre_roll.first + i) % kPreRollBlocks];
}

void preroll_clear(PreRoll& pre_roll) {
  pre_roll.first = 0;
  pre_roll.size = 0;
}

}  // namespace colloquor
