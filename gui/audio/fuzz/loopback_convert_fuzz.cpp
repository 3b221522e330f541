// What an output device may hand the loopback thread: any mix format (rate, channels, width,
// float or integer), packets of any size, silent packets, NaN and infinity in float streams, and
// polls at any moment. The number of samples out follows the rate exactly, every sample is in
// range, a plain 16 kHz mono stream passes through, and gap filling leaves the stream exactly
// 200 ms behind real time.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "audio/loopback_convert.h"
#include "tests/support/fuzz_checks.h"

using namespace colloquor;

namespace {

struct Received {
  std::vector<std::int16_t> samples;
};

void keep_block(void* context, std::int16_t* samples, std::uint32_t count) {
  FUZZ_CHECK(count == kLoopbackBlock);
  auto& received = *static_cast<Received*>(context);
  received.samples.insert(received.samples.end(), samples, samples + count);
}

struct Budget {
  int left;
};
bool spend(void* context) { return static_cast<Budget*>(context)->left-- > 0; }

std::uint64_t produced(const LoopbackConverter& converter) {
  return converter.handed_over + converter.block.size();
}

// The samples a plain 16 kHz mono stream must give: the value, scaled and cut toward zero.
std::int16_t expected_passthrough(const MixFormat& format, const std::uint8_t* frame) {
  float value;
  if (format.coding == SampleCoding::float32) {
    std::memcpy(&value, frame, sizeof value);
  } else {
    value = static_cast<float>(static_cast<std::int16_t>(frame[0] | frame[1] << 8)) / 32768.0f;
  }
  if (std::isnan(value)) return 0;
  return static_cast<std::int16_t>(std::fmax(-32767.0f, std::fmin(32767.0f, value * 32767.0f)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  static constexpr std::uint16_t kTags[] = {kFormatTagPcm, kFormatTagFloat, kFormatTagExtensible,
                                            2};
  const std::uint16_t tag = input.PickValueInArray(kTags);
  const std::uint16_t channels = input.ConsumeBool()
                                     ? input.ConsumeIntegral<std::uint16_t>()
                                     : input.ConsumeIntegralInRange<std::uint16_t>(0, 8);
  static constexpr std::uint32_t kRates[] = {16000, 44100, 48000, 8000, 96000, 192000, 11025, 0, 1};
  const std::uint32_t rate =
      input.ConsumeBool() ? input.PickValueInArray(kRates) : input.ConsumeIntegral<std::uint32_t>();
  static constexpr std::uint16_t kBits[] = {16, 24, 32, 8, 64, 0, 20};
  const std::uint16_t bits =
      input.ConsumeBool() ? input.PickValueInArray(kBits) : input.ConsumeIntegral<std::uint16_t>();
  const std::uint32_t subformat =
      input.ConsumeBool() ? kFormatTagFloat : input.ConsumeIntegral<std::uint32_t>();
  const MixFormat format = describe_mix_format(tag, channels, rate, bits, subformat);
  FUZZ_CHECK(format.channels >= 1);
  const std::uint32_t stride = frame_bytes(format);
  const bool passthrough =
      format.rate == kCaptureRate && format.channels == 1 &&
      (format.coding == SampleCoding::int16 || format.coding == SampleCoding::float32);

  LoopbackConverter converter;
  start_conversion(converter, format);
  Received received;
  const BlockSink sink{&received, keep_block};
  std::uint64_t frames_in = 0;         // frames converted so far
  std::uint64_t silence_in = 0;        // samples inserted by gap filling
  std::vector<std::int16_t> expected;  // passthrough streams only: every sample in order

  while (input.remaining_bytes() > 0) {
    if (input.ConsumeIntegralInRange<int>(0, 7) == 0) {
      // A poll finds the stream behind real time.
      const std::uint64_t before = produced(converter);
      const std::int64_t due = static_cast<std::int64_t>(before) +
                               input.ConsumeIntegralInRange<std::int64_t>(-2000, 6000);
      Budget budget{input.ConsumeIntegralInRange<int>(0, 4000)};
      fill_gap(converter, due, sink, spend, &budget);
      const std::int64_t lag = due - static_cast<std::int64_t>(before);
      const std::uint64_t added = produced(converter) - before;
      if (lag <= kLoopbackMaxLag)
        FUZZ_CHECK(added == 0);
      else if (budget.left >= 0)
        FUZZ_CHECK(due - static_cast<std::int64_t>(produced(converter)) == kLoopbackMaxLag);
      else
        FUZZ_CHECK(static_cast<std::int64_t>(added) < lag - kLoopbackMaxLag);
      silence_in += added;
      if (passthrough) expected.insert(expected.end(), added, 0);
      continue;
    }
    const bool silent = input.ConsumeIntegralInRange<int>(0, 5) == 0;
    std::uint32_t frames = input.ConsumeIntegralInRange<std::uint32_t>(0, 480);
    std::vector<std::uint8_t> packet;
    if (!silent && stride > 0) {
      packet = input.ConsumeBytes<std::uint8_t>(static_cast<std::size_t>(frames) * stride);
      frames = static_cast<std::uint32_t>(packet.size() / stride);
    } else if (!silent) {
      frames = 0;
    }
    const std::uint64_t outputs_before = produced(converter) - silence_in;
    convert_packet(converter, silent ? nullptr : packet.data(), frames, silent, sink);
    frames_in += frames;
    if (passthrough) {
      for (std::uint32_t f = 0; f < frames; ++f) {
        expected.push_back(silent ? 0 : expected_passthrough(format, packet.data() + f * stride));
      }
    }
    // Each output sample stands for rate / 16000 frames; below 16 kHz, one per frame.
    const std::uint64_t outputs = produced(converter) - silence_in;
    FUZZ_CHECK(outputs >= outputs_before);
    if (format.rate > kCaptureRate) {
      FUZZ_CHECK(outputs == frames_in * kCaptureRate / format.rate);
    } else {
      FUZZ_CHECK(outputs == frames_in);
    }
  }

  FUZZ_CHECK(converter.block.size() < kLoopbackBlock);
  FUZZ_CHECK(received.samples.size() == converter.handed_over);
  for (std::int16_t sample : received.samples) FUZZ_CHECK(sample >= -32767 && sample <= 32767);
  if (passthrough) {
    expected.resize(received.samples.size());
    FUZZ_CHECK(received.samples == expected);
  }
  return 0;
}
