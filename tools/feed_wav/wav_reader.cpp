#include "tools/feed_wav/wav_reader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace colloquor {

namespace {

constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;
// Bytes 2..15 of the KSDATAFORMAT_SUBTYPE_* GUIDs; the first two bytes carry the format tag.
constexpr unsigned char kSubformatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                              0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

std::uint16_t u16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t u32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

WavAudio failure(std::string message) {
  WavAudio w;
  w.error = std::move(message);
  return w;
}

struct Format {
  bool present = false;
  bool extensible = false;
  bool known_subformat = true;
  std::uint16_t tag = 0;  // the effective tag (the subformat's for extensible files)
  std::uint16_t channels = 0;
  std::uint32_t rate = 0;
  std::uint16_t block_align = 0;
  std::uint16_t bits = 0;
};

std::string format_name(const Format& f) {
  std::string name;
  switch (f.tag) {
    case 1: name = "PCM"; break;
    case 2: name = "MS ADPCM"; break;
    case 3: name = "IEEE float"; break;
    case 6: name = "A-law"; break;
    case 7: name = "mu-law"; break;
    case 0x11: name = "IMA ADPCM"; break;
    case 0x55: name = "MP3"; break;
    default: {
      char buf[32];
      std::snprintf(buf, sizeof buf, "format 0x%04X", static_cast<unsigned>(f.tag));
      name = buf;
    }
  }
  if (f.extensible) {
    name = f.known_subformat ? "extensible " + name : "extensible with an unknown subformat";
  }
  return name;
}

std::string describe(const Format& f) {
  return format_name(f) + ", " + std::to_string(f.rate) + " Hz, " + std::to_string(f.channels) +
         (f.channels == 1 ? " channel, " : " channels, ") + std::to_string(f.bits) + "-bit";
}

// Reads a fmt chunk body; an empty string means it was understood.
std::string read_format(const unsigned char* body, std::uint32_t size, Format& f) {
  if (size < 16) return "fmt chunk too short (" + std::to_string(size) + " bytes)";
  f.present = true;
  f.tag = u16(body);
  f.channels = u16(body + 2);
  f.rate = u32(body + 4);
  f.block_align = u16(body + 12);
  f.bits = u16(body + 14);
  if (f.tag == kFormatExtensible) {
    f.extensible = true;
    if (size < 40 || u16(body + 16) < 22) {
      return "extensible fmt chunk too short (" + std::to_string(size) + " bytes)";
    }
    const std::uint16_t valid_bits = u16(body + 18);
    f.tag = u16(body + 24);
    f.known_subformat = std::memcmp(body + 26, kSubformatTail, sizeof kSubformatTail) == 0;
    if (valid_bits != 0 && valid_bits != f.bits) f.bits = valid_bits;
  }
  return {};
}

bool is_wanted(const Format& f) {
  return f.tag == kFormatPcm && f.known_subformat && f.channels == 1 && f.rate == kWavRate &&
         f.bits == 16 && f.block_align == 2;
}

}  // namespace

WavAudio parse_wav(const unsigned char* data, std::size_t size) {
  if (size < 12) return failure("not a WAV file: only " + std::to_string(size) + " bytes");
  if (std::memcmp(data, "RIFF", 4) != 0 || std::memcmp(data + 8, "WAVE", 4) != 0) {
    if (std::memcmp(data, "RIFX", 4) == 0) return failure("big-endian RIFX WAV is not supported");
    if (std::memcmp(data, "RF64", 4) == 0) return failure("RF64 WAV is not supported");
    return failure("not a WAV file (no RIFF/WAVE header)");
  }
  Format format;
  bool have_data = false;
  std::size_t data_offset = 0;
  std::uint32_t data_size = 0;
  // The RIFF size is not trusted (streaming writers leave it 0 or too large): the chunks are
  // walked over the bytes actually present.
  std::size_t pos = 12;
  while (pos + 8 <= size && !(have_data && format.present)) {
    const unsigned char* id = data + pos;
    const std::uint32_t chunk_size = u32(data + pos + 4);
    const std::size_t body = pos + 8;
    const std::size_t available = size - body;
    const bool is_data = std::memcmp(id, "data", 4) == 0;
    const bool is_fmt = std::memcmp(id, "fmt ", 4) == 0;
    if (chunk_size > available) {
      if (is_data && !have_data) {
        // Streaming writers cannot know the length in advance (they write 0xFFFFFFFF), and a
        // recording cut short keeps what it has: the audio is the bytes that are there, up to
        // the last whole sample.
        have_data = true;
        data_offset = body;
        data_size = static_cast<std::uint32_t>(available & ~static_cast<std::size_t>(1));
        break;
      }
      if (is_fmt || !format.present || !have_data) {
        return failure("truncated: a chunk declares " + std::to_string(chunk_size) +
                       " bytes but only " + std::to_string(available) + " follow");
      }
      break;
    }
    if (is_fmt && !format.present) {
      const std::string problem = read_format(data + body, chunk_size, format);
      if (!problem.empty()) return failure(problem);
    } else if (is_data && !have_data) {
      have_data = true;
      data_offset = body;
      data_size = chunk_size;
    }
    pos = body + chunk_size + (chunk_size & 1u);  // chunks are padded to an even length
  }
  if (!format.present) return failure("no fmt chunk (not a usable WAV file)");
  if (!is_wanted(format)) {
    return failure("found " + describe(format) + "; feed_wav needs 16000 Hz mono 16-bit PCM");
  }
  if (!have_data) return failure("no data chunk");
  if (data_size % 2 != 0) {
    return failure("the data chunk holds " + std::to_string(data_size) +
                   " bytes, not a whole number of 16-bit samples");
  }
  WavAudio w;
  w.ok = true;
  w.samples.resize(data_size / 2);
  const unsigned char* p = data + data_offset;
  for (std::size_t i = 0; i < w.samples.size(); ++i) {
    w.samples[i] = static_cast<std::int16_t>(u16(p + 2 * i));
  }
  return w;
}

WavAudio read_wav_file(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return failure(path + ": cannot open: " + std::strerror(errno));
  std::vector<unsigned char> bytes;
  unsigned char buf[65536];
  std::size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + got);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return failure(path + ": read error");
  WavAudio w = parse_wav(bytes.data(), bytes.size());
  if (!w.ok) w.error = path + ": " + w.error;
  return w;
}

}  // namespace colloquor
