// Reading the WAV files that feed_wav plays into the audio front end: RIFF/WAVE with 16 kHz mono
// 16-bit PCM (plain or WAVE_FORMAT_EXTENSIBLE), any other chunks skipped. Everything else, and
// every damaged file, yields a message that says what was found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace colloquor {

struct WavAudio {
  bool ok = false;
  std::string error;  // set when !ok; names what was found
  std::vector<std::int16_t> samples;
};

inline constexpr std::uint32_t kWavRate = 16000;

WavAudio parse_wav(const unsigned char* data, std::size_t size);
// Reads and parses a whole file; errors start with the path.
WavAudio read_wav_file(const std::string& path);

}  // namespace colloquor
