// WAV reading: the accepted layouts, messages that name what was found, and damaged or random
// input that must come back as an error and never crash (run under ASan/UBSan).
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "tools/feed_wav/wav_reader.h"

namespace colloquor {
namespace {

using Bytes = std::string;

void put16(Bytes& b, std::uint32_t v) {
  b += static_cast<char>(v & 0xFF);
  b += static_cast<char>((v >> 8) & 0xFF);
}
void put32(Bytes& b, std::uint32_t v) {
  put16(b, v & 0xFFFF);
  put16(b, v >> 16);
}
Bytes chunk(const char* id, const Bytes& body) {
  Bytes b(id, 4);
  put32(b, static_cast<std::uint32_t>(body.size()));
  b += body;
  if (body.size() % 2) b += '\0';
  return b;
}
Bytes fmt_body(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits) {
  Bytes b;
  put16(b, tag);
  put16(b, channels);
  put32(b, rate);
  put32(b, rate * channels * bits / 8);
  put16(b, static_cast<std::uint16_t>(channels * bits / 8));
  put16(b, bits);
  return b;
}
Bytes extensible_body(std::uint16_t subformat, std::uint16_t valid_bits = 16) {
  Bytes b = fmt_body(0xFFFE, 1, 16000, 16);
  put16(b, 22);
  put16(b, valid_bits);
  put32(b, 4);  // front centre
  put16(b, subformat);
  const unsigned char tail[14] = {0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
  b.append(reinterpret_cast<const char*>(tail), 14);
  return b;
}
Bytes samples_body(const std::vector<std::int16_t>& s) {
  Bytes b;
  for (auto v : s) put16(b, static_cast<std::uint16_t>(v));
  return b;
}
Bytes riff(const Bytes& chunks) {
  Bytes b("RIFF");
  put32(b, static_cast<std::uint32_t>(4 + chunks.size()));
  return b + "WAVE" + chunks;
}
WavAudio parse(const Bytes& b) {
  return parse_wav(reinterpret_cast<const unsigned char*>(b.data()), b.size());
}

const std::vector<std::int16_t> kSamples = {0, 1, -1, 32767, -32768, 1234, -4321};

TEST(WavAccepted, PlainPcmWithSignedLittleEndianSamples) {
  const WavAudio w =
      parse(riff(chunk("fmt ", fmt_body(1, 1, 16000, 16)) + chunk("data", samples_body(kSamples))));
  ASSERT_TRUE(w.ok) << w.error;
  EXPECT_EQ(w.samples, kSamples);
}

TEST(WavAccepted, ExtensiblePcmAndExtraChunksAnywhere) {
  const Bytes list = chunk("LIST", Bytes("INFOISFT\x05\0\0\0sox\0\0", 17));  // odd: padded
  const WavAudio w = parse(riff(chunk("JUNK", Bytes(28, '\0')) + chunk("fmt ", extensible_body(1)) +
                                list + chunk("fact", Bytes("\4\0\0\0", 4)) +
                                chunk("data", samples_body(kSamples)) + list));
  ASSERT_TRUE(w.ok) << w.error;
  EXPECT_EQ(w.samples, kSamples);
}

TEST(WavAccepted, DataBeforeFormatAndUntrustedRiffSize) {
  Bytes b = riff(chunk("data", samples_body(kSamples)) + chunk("fmt ", fmt_body(1, 1, 16000, 16)));
  b[4] = b[5] = b[6] = b[7] = '\xff';  // a streaming writer's placeholder
  const WavAudio w = parse(b);
  ASSERT_TRUE(w.ok) << w.error;
  EXPECT_EQ(w.samples, kSamples);
}

TEST(WavAccepted, EmptyDataIsNoAudio) {
  const WavAudio w = parse(riff(chunk("fmt ", fmt_body(1, 1, 16000, 16)) + chunk("data", "")));
  ASSERT_TRUE(w.ok) << w.error;
  EXPECT_TRUE(w.samples.empty());
}

void expect_rejected(const Bytes& b, std::initializer_list<const char*> words) {
  const WavAudio w = parse(b);
  EXPECT_FALSE(w.ok);
  EXPECT_TRUE(w.samples.empty());
  for (const char* word : words) {
    EXPECT_NE(w.error.find(word), std::string::npos) << "\"" << w.error << "\" lacks " << word;
  }
}

TEST(WavRejected, OtherFormatsAreNamed) {
  const Bytes data = chunk("data", samples_body(kSamples));
  expect_rejected(riff(chunk("fmt ", fmt_body(1, 2, 44100, 16)) + data),
                  {"PCM", "44100 Hz", "2 channels", "16-bit", "needs 16000 Hz mono 16-bit PCM"});
  expect_rejected(riff(chunk("fmt ", fmt_body(1, 1, 22050, 16)) + data),
                  {"22050 Hz", "1 channel,"});
  expect_rejected(riff(chunk("fmt ", fmt_body(1, 1, 16000, 8)) + data), {"8-bit"});
  expect_rejected(riff(chunk("fmt ", fmt_body(1, 1, 16000, 24)) + data), {"24-bit"});
  expect_rejected(riff(chunk("fmt ", fmt_body(3, 1, 16000, 32)) + data), {"IEEE float", "32-bit"});
  expect_rejected(riff(chunk("fmt ", fmt_body(7, 1, 16000, 8)) + data), {"mu-law"});
  expect_rejected(riff(chunk("fmt ", fmt_body(0x1234, 1, 16000, 16)) + data), {"0x1234"});
  expect_rejected(riff(chunk("fmt ", extensible_body(3)) + data), {"extensible IEEE float"});
  expect_rejected(riff(chunk("fmt ", extensible_body(1, 12)) + data), {"12-bit"});
  Bytes odd_guid = extensible_body(1);
  odd_guid.back() = 'x';
  expect_rejected(riff(chunk("fmt ", odd_guid) + data), {"unknown subformat"});
}

TEST(WavRejected, DamagedStructureIsExplained) {
  const Bytes fmt = chunk("fmt ", fmt_body(1, 1, 16000, 16));
  expect_rejected("", {"only 0 bytes"});
  expect_rejected(Bytes("RIFF\0\0\0\0WAV", 11), {"only 11 bytes"});
  expect_rejected(Bytes("RIFF\4\0\0\0AVI ", 12), {"no RIFF/WAVE header"});
  expect_rejected(Bytes("RIFX\4\0\0\0WAVE", 12), {"RIFX"});
  expect_rejected(riff(chunk("data", samples_body(kSamples))), {"no fmt chunk"});
  expect_rejected(riff(fmt), {"no data chunk"});
  expect_rejected(riff(chunk("fmt ", Bytes("\1\0\1\0", 4))), {"fmt chunk too short"});
  Bytes short_ext = fmt_body(0xFFFE, 1, 16000, 16);
  put16(short_ext, 0);
  expect_rejected(riff(chunk("fmt ", short_ext) + chunk("data", "")),
                  {"extensible fmt chunk too short"});
  expect_rejected(riff(fmt + chunk("data", Bytes("\1\0\2", 3))),
                  {"not a whole number of 16-bit samples"});
  Bytes huge_list("LIST");
  put32(huge_list, 0xFFFFFFFFu);
  expect_rejected(riff(huge_list + "abcd" + fmt), {"truncated", "4294967295"});
}

TEST(WavAccepted, DataRunningPastTheEndGivesTheWholeSamplesPresent) {
  const Bytes fmt = chunk("fmt ", fmt_body(1, 1, 16000, 16));
  Bytes streamed = riff(fmt + chunk("data", samples_body(kSamples)));
  // A streaming writer's placeholder for the unknown data size, then one stray byte.
  streamed.replace(streamed.size() - 2 * kSamples.size() - 4, 4, "\xff\xff\xff\xff");
  for (const Bytes& b : {streamed, streamed + "\x7f"}) {
    const WavAudio w = parse(b);
    ASSERT_TRUE(w.ok) << w.error;
    EXPECT_EQ(w.samples, kSamples);
  }
}

TEST(WavRejected, EveryTruncationBeforeTheAudioIsAnErrorAndWithinItKeepsWhatIsThere) {
  const Bytes head = riff(chunk("fmt ", extensible_body(1)) + chunk("LIST", "INFOabcd"));
  const Bytes good = head + chunk("data", samples_body(kSamples));
  const std::size_t audio_start = head.size() + 8;
  ASSERT_TRUE(parse(good).ok);
  for (std::size_t n = 0; n < good.size(); ++n) {
    const WavAudio w = parse(good.substr(0, n));
    if (n < audio_start) {
      EXPECT_FALSE(w.ok) << n;
      EXPECT_FALSE(w.error.empty()) << n;
    } else {
      ASSERT_TRUE(w.ok) << n << ": " << w.error;
      const std::vector<std::int16_t> present(kSamples.begin(),
                                              kSamples.begin() + (n - audio_start) / 2);
      EXPECT_EQ(w.samples, present) << n;
    }
  }
  EXPECT_EQ(parse(good.substr(0, audio_start - 1)).error, "no data chunk");
}

TEST(WavRejected, RandomAndMutatedInputNeverCrashes) {
  std::mt19937 rng(2026);
  const Bytes good = riff(chunk("fmt ", extensible_body(1)) + chunk("LIST", "INFOabc") +
                          chunk("data", samples_body(kSamples)));
  int accepted = 0;
  for (int trial = 0; trial < 20000; ++trial) {
    Bytes b;
    if (trial % 2 == 0) {
      b = good;
      const int flips = 1 + static_cast<int>(rng() % 6);
      for (int f = 0; f < flips; ++f) b[rng() % b.size()] = static_cast<char>(rng());
      if (rng() % 4 == 0) b.resize(rng() % b.size());
    } else {
      b = trial % 4 == 1 ? Bytes("RIFF\0\0\0\0WAVE", 12) : Bytes();
      const std::size_t extra = rng() % 120;
      for (std::size_t i = 0; i < extra; ++i) b += static_cast<char>(rng());
      if (rng() % 3 == 0 && b.size() >= 20) b.replace(12, 4, rng() % 2 ? "fmt " : "data");
    }
    const WavAudio w = parse(b);
    if (w.ok) {
      ++accepted;
      EXPECT_LE(w.samples.size() * 2, b.size());
    } else {
      EXPECT_FALSE(w.error.empty());
    }
  }
  EXPECT_GT(accepted, 0);  // mutations of sample bytes or LIST text keep the file valid
}

TEST(WavFile, MissingFileAndAFileOnDisk) {
  const WavAudio missing = read_wav_file("/nonexistent/dir/x.wav");
  EXPECT_FALSE(missing.ok);
  EXPECT_EQ(missing.error.rfind("/nonexistent/dir/x.wav: cannot open", 0), 0u) << missing.error;

  const std::string path = ::testing::TempDir() + "feed_wav_reader_test.wav";
  const Bytes good =
      riff(chunk("fmt ", fmt_body(1, 1, 16000, 16)) + chunk("data", samples_body(kSamples)));
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(good.data(), 1, good.size(), f);
  std::fclose(f);
  const WavAudio w = read_wav_file(path);
  std::remove(path.c_str());
  ASSERT_TRUE(w.ok) << w.error;
  EXPECT_EQ(w.samples, kSamples);
}

}  // namespace
}  // namespace colloquor
