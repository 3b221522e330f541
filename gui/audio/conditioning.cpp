#include "audio/conditioning.h"

#include <algorithm>
#include <cmath>

namespace colloquor {

BlockOptions block_options(std::int32_t channel, const AudioOptions& options) {
  BlockOptions b;
  b.agc_on = options.agc != 0;
  if (channel == kSystemChannel) {
    // The other side arrives already mixed and levelled by its own software: no filter, no gate,
    // and the user's microphone gain means nothing for it.
    b.filter_on = false;
    b.user_gain = 1.0f;
  } else {
    b.filter_on = options.ns != 0;
    const std::int32_t gain = std::clamp(options.gain, kMinGainDb, kMaxGainDb);
    const std::int32_t db = options.boost != 0 ? gain + kBoostDb : gain;
    b.user_gain = std::pow(10.0f, static_cast<float>(db) / 20.0f);
  }
  const std::int32_t strength = std::clamp(options.nsv, 0, kMaxStrength);
  b.depth = static_cast<float>(strength) / 100.0f * kGateDepthScale;
  b.rest = 1.0f - b.depth;
  return b;
}

float advance_gains(Conditioner& c, const BlockOptions& options, float b) {
  // The floor falls quickly towards quieter sub-blocks but rises only 0.03 % per sub-block, so
  // speech cannot drag it up while it still follows the noise down within a few sub-blocks.
  if (b < c.noise_floor) {
    c.noise_floor = kFloorKeepWeight * c.noise_floor + kFloorNewWeight * b;
  } else {
    c.noise_floor = c.noise_floor * kFloorRiseFactor;
  }
  c.noise_floor = std::clamp(c.noise_floor, kFloorMin, kFloorMax);

  const float open_level = kGateOpenKnee * c.noise_floor;
  float target = 1.0f;
  if (options.filter_on) {
    const float closed_level = kGateClosedKnee * c.noise_floor;
    float openness;
    if (b <= closed_level) {
      openness = 0.0f;
    } else if (b >= open_level) {
      openness = 1.0f;
    } else {
      openness = (b - closed_level) / (open_level - closed_level);
    }
    target = openness * options.depth + options.rest;
  }

  if (options.agc_on) {
    // Only sub-blocks clearly above the noise steer the factor; noise alone must not pump it up.
    if (b > open_level) {
      const float desired =
          std::clamp(kAgcTarget / std::max(1.0f, b * options.user_gain), kAgcMin, kAgcMax);
      c.agc_gain = c.agc_gain + (desired - c.agc_gain) * kAgcRate;
    }
  } else {
    c.agc_gain = c.agc_gain + (1.0f - c.agc_gain) * kAgcReleaseRate;
  }

  const float rate = target > c.gate_gain ? kGateOpeningRate : kGateClosingRate;
  c.gate_gain = c.gate_gain + (target - c.gate_gain) * rate;
  return (options.user_gain * c.agc_gain) * c.gate_gain;
}

void fill_gain_ramp(float* gains, std::uint32_t n, float prev, float total) {
  const float span = total - prev;
  const float length = static_cast<float>(n);
  const std::int32_t count = static_cast<std::int32_t>(n);
  std::int32_t i = 0;
  // Four lanes per step with exactly the per-sample expression: each lane rounds as the scalar
  // formula does, so vector instructions give the same bits.
  for (; i + 4 <= count; i += 4) {
    for (std::int32_t k = 0; k < 4; ++k) {
      gains[i + k] = static_cast<float>(i + k + 1) * span / length + prev;
    }
  }
  for (; i < count; ++i) gains[i] = static_cast<float>(i + 1) * span / length + prev;
}

void apply_gain_ramp(const float* working, std::int16_t* out, std::uint32_t n, float prev,
                     float total) {
  float gains[kSubBlockLength];
  n = std::min(n, kSubBlockLength);
  fill_gain_ramp(gains, n, prev, total);
  for (std::uint32_t i = 0; i < n; ++i) out[i] = limit_sample(working[i] * gains[i]);
}

namespace {

// Fills working[0..n) and returns the sum of their squares.
double filter_sub_block(Conditioner& c, bool filter_on, const std::int16_t* in, float* working,
                        std::uint32_t n) {
  double sum = 0.0;
  if (filter_on) {
    float prev_in = c.hp_prev_in;
    float prev_out = c.hp_prev_out;
    for (std::uint32_t i = 0; i < n; ++i) {
      const float x = static_cast<float>(in[i]);
      const float y = kHighPassCoefficient * ((prev_out + x) - prev_in);
      prev_in = x;
      prev_out = y;
      working[i] = y;
      sum += static_cast<double>(y) * static_cast<double>(y);
    }
    c.hp_prev_in = prev_in;
    c.hp_prev_out = prev_out;
  } else {
    // Squares of 16-bit samples and their sums stay integers far below 2^53, so a double sum in
    // any order is exact: an integer sum gives the same value without a serial chain of adds.
    std::int64_t squares = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
      const std::int32_t x = in[i];
      working[i] = static_cast<float>(x);
      squares += x * x;
    }
    sum = static_cast<double>(squares);
  }
  return sum;
}

}  // namespace

void condition_block(Conditioner& c, const BlockOptions& options, std::int16_t* samples,
                     std::uint32_t count) {
  float working[kSubBlockLength];
  for (std::uint32_t offset = 0; offset < count; offset += kSubBlockLength) {
    const std::uint32_t n = std::min(kSubBlockLength, count - offset);
    const double sum = filter_sub_block(c, options.filter_on, samples + offset, working, n);
    const float b = static_cast<float>(std::sqrt(sum / n));
    const float total = advance_gains(c, options, b);
    apply_gain_ramp(working, samples + offset, n, c.applied_gain, total);
    c.applied_gain = total;
  }
}

double block_level(const std::int16_t* samples, std::uint32_t count) {
  if (count == 0) return 0.0;
  // Exact integer sum (see filter_sub_block): the same value as a sum of squares in double.
  std::int64_t squares = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::int32_t v = samples[i];
    squares += v * v;
  }
  return std::sqrt(static_cast<double>(squares) / count);
}

}  // namespace colloquor
