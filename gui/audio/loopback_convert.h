// Turning whatever an output device plays (its shared-mode mix format: any rate, any channel count,
// float or integer samples) into the 16 kHz mono 16-bit blocks of 1600 samples that block
// processing takes, and keeping that stream in step with the wall clock while the device plays
// nothing. Portable: the loopback thread feeds packets in and receives blocks out.
#pragma once

#include <cstdint>
#include <vector>

namespace colloquor {

inline constexpr std::uint32_t kCaptureRate = 16000;
inline constexpr std::uint32_t kLoopbackBlock = 1600;
// How far channel 1 may trail real time before silence is inserted (200 ms).
inline constexpr std::int64_t kLoopbackMaxLag = 3200;
// The most silence made up at once (2 s): enough to end any open utterance after the computer
// slept during a recording, without flooding the detector and the window with hours of blocks.
inline constexpr std::int64_t kLoopbackMaxCatchUp = 32000;

inline constexpr std::uint16_t kFormatTagPcm = 1;
inline constexpr std::uint16_t kFormatTagFloat = 3;
inline constexpr std::uint16_t kFormatTagExtensible = 0xFFFE;

// How one sample of the mix format is read.
enum class SampleCoding { float32, int16, int32, int24, unsupported };

struct MixFormat {
  std::uint32_t channels = 1;  // at least 1
  std::uint32_t rate = 48000;  // frames per second
  std::uint32_t bits = 32;     // bits per sample
  bool is_float = false;
  SampleCoding coding = SampleCoding::unsupported;
};

// The format as the endpoint reports it. subformat_word is the first 32-bit word of the
// extensible format's SubFormat GUID (ignored for other tags).
MixFormat describe_mix_format(std::uint16_t format_tag, std::uint16_t channels, std::uint32_t rate,
                              std::uint16_t bits, std::uint32_t subformat_word);

// Bytes of one frame (all channels) of the format; samples of unsupported widths are skipped by
// their declared size.
std::uint32_t frame_bytes(const MixFormat& format);

// Receives each full block; the samples may be changed in place (they are conditioned there).
struct BlockSink {
  void* context = nullptr;
  void (*deliver)(void* context, std::int16_t* samples, std::uint32_t count) = nullptr;
};

// The per-run state of the box-car decimator: each output sample is the average of the input
// frames since the previous one, with a fractional phase so that 44.1 kHz alternates two and three.
struct LoopbackConverter {
  MixFormat format;
  double phase = 0.0;
  double sum = 0.0;
  std::int64_t count = 0;
  std::vector<std::int16_t> block;  // reserved for one block; emptied after each hand-over
  std::uint64_t handed_over = 0;    // samples delivered in full blocks
  std::int64_t time_skipped = 0;    // real time, in samples, given up after long stalls
};

void start_conversion(LoopbackConverter& converter, const MixFormat& format);

// The mono value of one frame as the average of its channels, in [-1, 1] for full-scale input.
double frame_mono_value(const MixFormat& format, const std::uint8_t* frame);

// Converts one packet of frames (silent: the device flagged it silent; its frames count as zeros
// but still advance the phase).
void convert_packet(LoopbackConverter& converter, const std::uint8_t* data, std::uint32_t frames,
                    bool silent, const BlockSink& sink);

// Samples that real time calls for after elapsed_ticks of a counter running at frequency.
std::int64_t samples_due(std::int64_t elapsed_ticks, std::int64_t frequency);

// Appends silence until the stream trails `due` by exactly kLoopbackMaxLag (nothing when it trails
// by less). A gap longer than kLoopbackMaxCatchUp beyond that (a sleep, a stalled thread) gets
// kLoopbackMaxCatchUp of silence, and the rest is skipped: the clock restarts from there.
// keep_going is asked before each sample; filling stops once it says no.
void fill_gap(LoopbackConverter& converter, std::int64_t due, const BlockSink& sink,
              bool (*keep_going)(void* context), void* keep_going_context);

// What the loopback thread's capture client offers, one packet at a time.
struct PacketSource {
  void* context = nullptr;
  // Frames in the next packet; false when that cannot be read.
  bool (*next_size)(void* context, std::uint32_t* frames) = nullptr;
  // The next packet; false when it cannot be had (then nothing is to be released).
  bool (*get)(void* context, const std::uint8_t** data, std::uint32_t* frames,
              bool* silent) = nullptr;
  // Gives the packet back; false when the client refused it.
  bool (*release)(void* context, std::uint32_t frames) = nullptr;
};

// One poll of the loopback thread: converts every packet waiting (until the source has none, a
// read fails or keep_going says no), then reads how many samples real time calls for and fills
// the gap, unless keep_going says no by then. False, at once, when a packet could not be given
// back: the client then refuses every later packet, so the stream cannot go on.
bool loopback_poll(LoopbackConverter& converter, const PacketSource& source, const BlockSink& sink,
                   std::int64_t (*samples_due_now)(void* context), void* clock_context,
                   bool (*keep_going)(void* context), void* keep_going_context);

}  // namespace colloquor
