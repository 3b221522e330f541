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

// The sample frames hold short payloads only; these are the shapes they leave out.
TEST(FrameEncoding, EmptyAndLongPayloads) {
  EXPECT_EQ(encode_frame(kFrameReset, nullptr, 0), bytes({'R', 0, 0, 0, 0}));
  const std::string big(0x010203, 'x');
  const std::string frame = encode_frame('A', big.data(), static_cast<std::uint32_t>(big.size()));
  EXPECT_EQ(frame.substr(0, 5), bytes({'A', 0x03, 0x02, 0x01, 0}));
  EXPECT_EQ(frame.size(), big.size() + 5);
  EXPECT_EQ(audio_payload(1, nullptr, 0), bytes({1}));
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

TEST(TextPayload, NarrowsEachUnitToItsLowByte) {
  EXPECT_EQ(narrow_text(u"nllb13"), "nllb13");
  EXPECT_EQ(narrow_text(u""), "");
  // Non-ASCII never occurs in ids; narrowing still yields one byte per unit.
  EXPECT_EQ(narrow_text(u"\u0441a"), bytes({0x41, 'a'}));
}

}  // namespace
}  // namespace colloquor
