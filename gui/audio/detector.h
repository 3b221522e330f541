// Pieces of speech detection: the level report, the adaptive threshold over the recent level
// history, and the pre-roll of the last three conditioned blocks.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace colloquor {

inline constexpr double kLevelScale = 12.0;
inline constexpr double kMaxLevelPercent = 100.0;
inline constexpr std::size_t kHistoryLength = 150;
inline constexpr std::size_t kPercentile = 15;
inline constexpr double kThresholdFactor = 3.0;
inline constexpr double kThresholdMin = 80.0;
inline constexpr double kThresholdMax = 700.0;
inline constexpr double kHysteresis = 0.6;
inline constexpr std::int32_t kOnsetBlocks = 2;
inline constexpr std::int32_t kHangoverBlocks = 7;
inline constexpr std::int32_t kMaxUtteranceBlocks = 240;
inline constexpr std::int32_t kUnmuteBlocks = 2;
inline constexpr std::size_t kPreRollBlocks = 3;
inline constexpr std::int64_t kEchoWindowMs = 650;

// The meter value: level / 12, at most 100, truncated.
std::uint32_t level_percent(double level);
// The second parameter of a level report: channel * 2 + speech flag.
std::intptr_t level_lparam(std::int32_t channel, bool in_speech);

// Adds level to the sliding window of the last 150 block levels. Once the window is full,
// writes counts the overwrites, and entry writes % 150 is always the oldest.
void record_level(std::vector<double>& history, std::uint64_t& writes, double level);
// The 15th percentile: element floor(size * 15 / 100) of the ascending order; 0 when empty.
double history_percentile(const std::vector<double>& history);
// 3 x percentile held within 80..700; the lower off-threshold (x 0.6) while in speech.
double speech_threshold(double percentile, bool in_speech);

// The last (at most) three conditioned blocks, oldest first. The block buffers keep their
// storage when the pre-roll is emptied, so steady capture copies without allocating.
struct PreRoll {
  std::array<std::vector<std::int16_t>, kPreRollBlocks> blocks;
  std::size_t first = 0;  // slot of the oldest block
  std::size_t size = 0;
};

void preroll_push(PreRoll& pre_roll, const std::int16_t* samples, std::uint32_t count);
// Block i (0 = oldest) of the pre-roll; i < size.
const std::vector<std::int16_t>& preroll_block(const PreRoll& pre_roll, std::size_t i);
void preroll_clear(PreRoll& pre_roll);

}  // namespace colloquor
