#include "worker_link/protocol.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace colloquor {
namespace {

std::string bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

TEST(FrameEncoding, HeaderIsTypeThenLittleEndianLength) {
  EXPECT_EQ(encode_frame('R', nullptr, 0), bytes({'R', 0, 0, 0, 0}));
  EXPECT_EQ(encode_frame('Q', "", 0), bytes({'Q', 0, 0, 0, 0}));
  const std::string payload = "en|ru|1|0|60";
  EXPECT_EQ(encode_frame('L', payload.data(), 12), bytes({'L', 12, 0, 0, 0}) + payload);
  const std::string big(0x010203, 'x');
  const std::string frame = encode_frame('A', big.data(), static_cast<std::uint32_t>(big.size()));
  EXPECT_EQ(frame.substr(0, 5), bytes({'A', 0x03, 0x02, 0x01, 0}));
  EXPECT_EQ(frame.size(), big.size() + 5);
}

TEST(FrameEncoding, AudioPayloadIsChannelByteThenLittleEndianSamples) {
  const std::int16_t samples[] = {0, 1, -1, 32767, -32768, 0x1234};
  const std::string payload = audio_payload(1, samples, 6);
  ASSERT_EQ(payload.size(), 13u);  // always odd: 1 + 2 x samples
  EXPECT_EQ(payload, bytes({1, 0, 0, 1, 0, 0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x80, 0x34, 0x12}));
  EXPECT_EQ(audio_payload(0, samples, 0), bytes({0}));
  const std::string frame = encode_frame('A', payload.data(), 13);
  EXPECT_EQ(frame.substr(0, 5), bytes({'A', 13, 0, 0, 0}));
}

TEST(LanguageTable, CodesNamesAndOrder) {
  const char* codes[] = {"ru", "en", "de", "fr", "es", "uk", "pl", "it"};
  const char16_t* names[] = {u"Russian", u"English",   u"German", u"French",
                             u"Spanish", u"Ukrainian", u"Polish", u"Italian"};
  ASSERT_EQ(kLanguages.size(), 8u);
  for (int i = 0; i < 8; ++i) {
    EXPECT_STREQ(kLanguages[i].code, codes[i]);
    EXPECT_EQ(std::u16string(kLanguages[i].name), names[i]);
    EXPECT_EQ(language_index(codes[i]), i);
  }
  EXPECT_EQ(language_index("auto"), -1);
  EXPECT_EQ(language_index("none"), -1);
  EXPECT_EQ(language_index("EN"), -1);
  EXPECT_EQ(language_index(""), -1);
}

TEST(OptionsPayload, FieldsInOrderWithPseudoCodesForNoSelection) {
  EXPECT_EQ(options_payload(1, 0, true, false, 60), "en|ru|1|0|60");
  EXPECT_EQ(options_payload(-1, -1, false, true, 0), "auto|none|0|1|0");
  EXPECT_EQ(options_payload(8, 99, false, false, 100), "auto|none|0|0|100");
  EXPECT_EQ(options_payload(7, 5, false, false, 7), "it|uk|0|0|7");
}

TEST(TextPayload, NarrowsEachUnitToItsLowByte) {
  EXPECT_EQ(narrow_text(u"nllb13"), "nllb13");
  EXPECT_EQ(narrow_text(u""), "");
  // Non-ASCII never occurs in ids; narrowing still yields one byte per unit.
  EXPECT_EQ(narrow_text(u"\u0441a"), bytes({0x41, 'a'}));
}

TEST(LineRules, SeparatorsInsideFieldsBecomeSpaces) {
  EXPECT_EQ(clean_field("a\tb\rc\nd"), "a b c d");
  EXPECT_EQ(join_line('S', {"ready (CPU)"}), "S\tready (CPU)\n");
  EXPECT_EQ(join_line('F', {"0", "1", "en", "two\tlines\r\nhere"}),
            "F\t0\t1\ten\ttwo lines  here\n");
  EXPECT_EQ(join_line('D', {"-1", ""}), "D\t-1\t\n");
  EXPECT_EQ(join_line('U', {"1", "0", "ru", "\xd0\x9f\xd1\x80\xd0\xb8"}),
            "U\t1\t0\tru\t\xd0\x9f\xd1\x80\xd0\xb8\n");  // UTF-8 passes through byte for byte
}

}  // namespace
}  // namespace colloquor
