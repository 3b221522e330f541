#include "audio/loopback_convert.h"

#include <cstring>

namespace colloquor {
namespace {

constexpr float kInt16Scale = 1.0f / 32768.0f;       // 2^-15
constexpr float kInt32Scale = 1.0f / 2147483648.0f;  // 2^-31
constexpr float kOutputScale = 32767.0f;

SampleCoding coding_of(bool is_float, std::uint32_t bits) {
  if (is_float && bits == 32) return SampleCoding::float32;
  switch (bits) {
    case 16: return SampleCoding::int16;
    case 32: return SampleCoding::int32;
    case 24: return SampleCoding::int24;
    default: return SampleCoding::unsupported;
  }
}

float sample_value(SampleCoding coding, const std::uint8_t* sample) {
  switch (coding) {
    case SampleCoding::float32: {
      float value;
      std::memcpy(&value, sample, sizeof value);
      return value;
    }
    case SampleCoding::int16: {
      const std::int16_t value = static_cast<std::int16_t>(sample[0] | (sample[1] << 8));
      return static_cast<float>(value) * kInt16Scale;
    }
    case SampleCoding::int32: {
      const std::uint32_t bits = static_cast<std::uint32_t>(sample[0]) |
                                 (static_cast<std::uint32_t>(sample[1]) << 8) |
                                 (static_cast<std::uint32_t>(sample[2]) << 16) |
                                 (static_cast<std::uint32_t>(sample[3]) << 24);
      return static_cast<float>(static_cast<std::int32_t>(bits)) * kInt32Scale;
    }
    case SampleCoding::int24: {
      // The three bytes in the upper part of a 32-bit integer keep the sign and the scale.
      const std::uint32_t bits = (static_cast<std::uint32_t>(sample[0]) << 8) |
                                 (static_cast<std::uint32_t>(sample[1]) << 16) |
                                 (static_cast<std::uint32_t>(sample[2]) << 24);
      return static_cast<float>(static_cast<std::int32_t>(bits)) * kInt32Scale;
    }
    case SampleCoding::unsupported: break;
  }
  return 0.0f;
}

std::uint32_t sample_bytes(const MixFormat& format) {
  switch (format.coding) {
    case SampleCoding::float32:
    case SampleCoding::int32: return 4;
    case SampleCoding::int16: return 2;
    case SampleCoding::int24: return 3;
    case SampleCoding::unsupported: break;
  }
  return (format.bits + 7) / 8;
}

std::int16_t output_sample(double mean) {
  float value = static_cast<float>(mean) * kOutputScale;
  if (value > kOutputScale) value = kOutputScale;
  if (value < -kOutputScale) value = -kOutputScale;
  if (value != value) value = 0.0f;  // a NaN from a broken float stream is silence
  return static_cast<std::int16_t>(value);
}

void append_sample(LoopbackConverter& converter, std::int16_t sample, const BlockSink& sink) {
  converter.block.push_back(sample);
  if (converter.block.size() < kLoopbackBlock) return;
  if (sink.deliver != nullptr) sink.deliver(sink.context, converter.block.data(), kLoopbackBlock);
  converter.handed_over += kLoopbackBlock;
  converter.block.clear();
}

}  // namespace

MixFormat describe_mix_format(std::uint16_t format_tag, std::uint16_t channels, std::uint32_t rate,
                              std::uint16_t bits, std::uint32_t subformat_word) {
  MixFormat format;
  format.is_float = format_tag == kFormatTagFloat ||
                    (format_tag == kFormatTagExtensible && subformat_word == kFormatTagFloat);
  format.channels = channels == 0 ? 1 : channels;
  format.rate = rate;
  format.bits = bits;
  format.coding = coding_of(format.is_float, bits);
  return format;
}

std::uint32_t frame_bytes(const MixFormat& format) {
  return sample_bytes(format) * format.channels;
}

void start_conversion(LoopbackConverter& converter, const MixFormat& format) {
  converter.format = format;
  converter.phase = 0.0;
  converter.sum = 0.0;
  converter.count = 0;
  converter.block.clear();
  converter.block.reserve(kLoopbackBlock);
  converter.handed_over = 0;
  converter.time_skipped = 0;
}

double frame_mono_value(const MixFormat& format, const std::uint8_t* frame) {
  const std::uint32_t step = sample_bytes(format);
  float total = 0.0f;
  for (std::uint32_t c = 0; c < format.channels; ++c) {
    total += sample_value(format.coding, frame + c * step);
  }
  return static_cast<double>(total / static_cast<float>(format.channels));
}

void convert_packet(LoopbackConverter& converter, const std::uint8_t* data, std::uint32_t frames,
                    bool silent, const BlockSink& sink) {
  const std::uint32_t stride = frame_bytes(converter.format);
  const double rate = static_cast<double>(converter.format.rate);
  for (std::uint32_t f = 0; f < frames; ++f) {
    const double mono =
        (silent || data == nullptr) ? 0.0 : frame_mono_value(converter.format, data + f * stride);
    converter.sum += mono;
    converter.count += 1;
    converter.phase += kCaptureRate;
    if (converter.phase >= rate) {
      const std::int16_t sample =
          output_sample(converter.sum / static_cast<double>(converter.count));
      converter.phase -= rate;
      converter.sum = 0.0;
      converter.count = 0;
      append_sample(converter, sample, sink);
    }
  }
}

std::int64_t samples_due(std::int64_t elapsed_ticks, std::int64_t frequency) {
  if (frequency <= 0) return 0;
  return static_cast<std::int64_t>(static_cast<double>(elapsed_ticks) /
                                   static_cast<double>(frequency) * kCaptureRate);
}

void fill_gap(LoopbackConverter& converter, std::int64_t due, const BlockSink& sink,
              bool (*keep_going)(void* context), void* keep_going_context) {
  const std::int64_t produced = static_cast<std::int64_t>(converter.handed_over) +
                                static_cast<std::int64_t>(converter.block.size());
  std::int64_t lag = due - converter.time_skipped - produced;
  constexpr std::int64_t kMostFilled = kLoopbackMaxLag + kLoopbackMaxCatchUp;
  if (lag > kMostFilled) {
    converter.time_skipped += lag - kMostFilled;
    lag = kMostFilled;
  }
  while (lag > kLoopbackMaxLag) {
    if (keep_going != nullptr && !keep_going(keep_going_context)) return;
    append_sample(converter, 0, sink);
    --lag;
  }
}

bool loopback_poll(LoopbackConverter& converter, const PacketSource& source, const BlockSink& sink,
                   std::int64_t (*samples_due_now)(void* context), void* clock_context,
                   bool (*keep_going)(void* context), void* keep_going_context) {
  auto wanted = [&] { return keep_going == nullptr || keep_going(keep_going_context); };
  while (wanted()) {
    std::uint32_t waiting = 0;
    if (!source.next_size(source.context, &waiting) || waiting == 0) break;
    const std::uint8_t* data = nullptr;
    std::uint32_t frames = 0;
    bool silent = false;
    if (!source.get(source.context, &data, &frames, &silent)) break;
    convert_packet(converter, data, frames, silent, sink);
    if (!source.release(source.context, frames)) return false;
  }
  const std::int64_t due = samples_due_now(clock_context);
  if (wanted()) fill_gap(converter, due, sink, keep_going, keep_going_context);
  return true;
}

}  // namespace colloquor
