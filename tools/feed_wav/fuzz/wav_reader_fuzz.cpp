// WAV files as they come: damaged, truncated, other formats, chunks in any order. A file is either
// read whole or refused with a message; a file this target writes from the input, with chunks of
// any kind around its fmt and data chunks, reads back as exactly its samples, and a truncated copy
// never reads as other samples.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/fuzz_checks.h"
#include "tools/feed_wav/wav_reader.h"

using namespace colloquor;

namespace {

void put16(std::string& out, std::uint32_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>(v >> 8 & 0xFF);
}
void put32(std::string& out, std::uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

std::string chunk(const char* id, std::string_view body) {
  std::string out(id, 4);
  put32(out, static_cast<std::uint32_t>(body.size()));
  out.append(body);
  if (body.size() % 2) out += '\0';
  return out;
}

std::string fmt_body(bool extensible) {
  std::string body;
  put16(body, extensible ? 0xFFFE : 1);
  put16(body, 1);      // channels
  put32(body, 16000);  // rate
  put32(body, 32000);  // bytes per second
  put16(body, 2);      // block align
  put16(body, 16);     // bits
  if (!extensible) return body;
  put16(body, 22);
  put16(body, 16);  // valid bits
  put32(body, 4);   // channel mask
  static const unsigned char kPcmSubformat[16] = {1,    0, 0, 0,    0, 0,    0x10, 0,
                                                  0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
  body.append(reinterpret_cast<const char*>(kPcmSubformat), sizeof kPcmSubformat);
  return body;
}

WavAudio parse(std::string_view file) {
  return parse_wav(reinterpret_cast<const unsigned char*>(file.data()), file.size());
}

void check_outcome(const WavAudio& wav, std::size_t size) {
  if (wav.ok) {
    FUZZ_CHECK(wav.error.empty());
    FUZZ_CHECK(44 + wav.samples.size() * 2 <= size);
  } else {
    FUZZ_CHECK(!wav.error.empty() && wav.samples.empty());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  check_outcome(parse(input), size);

  // The input's bytes as the samples of a file laid out as the input's first bytes choose.
  const std::uint8_t layout = size > 0 ? data[0] : 0;
  const std::string_view audio =
      input.substr(size > 0 ? 1 : 0, (size > 0 ? size - 1 : 0) & ~std::size_t{1});
  std::vector<std::int16_t> samples;
  for (std::size_t i = 0; i < audio.size(); i += 2) {
    samples.push_back(static_cast<std::int16_t>(static_cast<std::uint8_t>(audio[i]) |
                                                static_cast<std::uint8_t>(audio[i + 1]) << 8));
  }
  const std::string extra = chunk(layout & 1 ? "LIST" : "fact", input.substr(0, layout % 7));
  const std::string fmt = chunk("fmt ", fmt_body(layout & 2));
  const std::string body = chunk("data", audio);
  std::string chunks = layout & 4 ? extra + fmt : fmt;
  chunks = layout & 8 ? body + chunks : chunks + body;
  if (layout & 16) chunks += extra;
  std::string file = "RIFF";
  put32(file, layout & 32 ? 0 : static_cast<std::uint32_t>(4 + chunks.size()));  // often left 0
  file += "WAVE" + chunks;

  const WavAudio whole = parse(file);
  FUZZ_CHECK(whole.ok && whole.samples == samples);
  const std::size_t cut = (static_cast<std::size_t>(layout) * 2654435761u) % (file.size() + 1);
  const WavAudio part = parse(std::string_view(file).substr(0, cut));
  check_outcome(part, cut);
  // A file cut short plays the whole samples it still holds: a prefix of the full audio.
  if (part.ok) {
    FUZZ_CHECK(part.samples.size() <= samples.size() &&
               std::equal(part.samples.begin(), part.samples.end(), samples.begin()));
  }
  return 0;
}
