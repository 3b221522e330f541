// Conditioning of one block of audio in 10 ms sub-blocks: user gain, automatic gain control,
// high-pass filter, adaptive noise gate and limiting, with a smooth gain ramp inside each
// sub-block. The arithmetic is single precision except where a sum needs double; the precision
// of each step is part of the contract (the results are compared bit for bit).
#pragma once

#include <cstdint>

#include "audio/live_options.h"

namespace colloquor {

inline constexpr std::int32_t kMicrophoneChannel = 0;
inline constexpr std::int32_t kSystemChannel = 1;

inline constexpr std::uint32_t kSubBlockLength = 160;
inline constexpr float kHighPassCoefficient = 0.97f;
inline constexpr float kFloorKeepWeight = 0.8f;
inline constexpr float kFloorNewWeight = 0.2f;
inline constexpr float kFloorRiseFactor = 1.0003f;
inline constexpr float kFloorMin = 5.0f;
inline constexpr float kFloorMax = 800.0f;
inline constexpr float kInitialNoiseFloor = 40.0f;
inline constexpr float kGateClosedKnee = 1.6f;
inline constexpr float kGateOpenKnee = 2.8f;
inline constexpr float kGateDepthScale = 0.97f;
inline constexpr float kGateOpeningRate = 0.6f;
inline constexpr float kGateClosingRate = 0.08f;
inline constexpr float kAgcTarget = 2500.0f;
inline constexpr float kAgcMin = 0.3f;
inline constexpr float kAgcMax = 31.0f;
inline constexpr float kAgcRate = 0.01f;
inline constexpr float kAgcReleaseRate = 0.05f;
inline constexpr std::int32_t kBoostDb = 12;
inline constexpr float kOutputLimit = 32000.0f;

// What one block is conditioned with, derived once from the live options and the channel.
struct BlockOptions {
  bool filter_on = false;  // high-pass filter and noise gate
  bool agc_on = false;
  float user_gain = 1.0f;
  float depth = 0.0f;  // largest attenuation of the gate is 1 - depth
  float rest = 1.0f;   // 1 - depth
};

BlockOptions block_options(std::int32_t channel, const AudioOptions& options);

// Values carried from sub-block to sub-block (and from block to block through ChannelState).
struct Conditioner {
  float hp_prev_in = 0.0f;
  float hp_prev_out = 0.0f;
  float noise_floor = kInitialNoiseFloor;
  float gate_gain = 1.0f;
  float agc_gain = 1.0f;
  float applied_gain = 1.0f;  // total gain at the end of the previous sub-block
};

// Updates the noise floor, the automatic gain factor and the gate for one sub-block whose level
// (after the filter) is b, and returns the total gain the sub-block's ramp must reach.
float advance_gains(Conditioner& c, const BlockOptions& options, float b);

// One output sample: the value limited to +-32000 and truncated toward zero.
inline std::int16_t limit_sample(float value) {
  const float limited =
      value < -kOutputLimit ? -kOutputLimit : (value > kOutputLimit ? kOutputLimit : value);
  return static_cast<std::int16_t>(static_cast<std::int32_t>(limited));
}

// The gain ramp of one sub-block: gains[i] = (i + 1) * (total - prev) / n + prev for i < n, so
// that the gain glides from prev and reaches total at the last sample.
void fill_gain_ramp(float* gains, std::uint32_t n, float prev, float total);

// Writes out[i] = limit(working[i] * g_i) with the ramp above, for n <= kSubBlockLength.
void apply_gain_ramp(const float* working, std::int16_t* out, std::uint32_t n, float prev,
                     float total);

// Conditions count samples in place, sub-block by sub-block.
void condition_block(Conditioner& c, const BlockOptions& options, std::int16_t* samples,
                     std::uint32_t count);

// Root mean square of count samples (sum of squares in double); 0 for an empty block.
double block_level(const std::int16_t* samples, std::uint32_t count);

}  // namespace colloquor
