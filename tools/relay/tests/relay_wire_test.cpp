// The relay's message framing and the rules it applies before it connects.
#include "tools/relay/relay_wire.h"

#include <gtest/gtest.h>

#include <string>

namespace colloquor::relay {
namespace {

TEST(RelayWireTest, MessagesSurviveAnySplitAndComeOutInOrder) {
  std::string body(70000, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
  const std::string stream = encode_message(kInput, body) + encode_message(kInputClosed, {}) +
                             encode_message(kArgument, "-u");
  for (std::size_t step : {std::size_t(1), std::size_t(3), std::size_t(4096), stream.size()}) {
    MessageReader reader;
    std::vector<Message> messages;
    for (std::size_t at = 0; at < stream.size(); at += step) {
      feed(reader, std::string_view(stream).substr(at, step));
      while (std::optional<Message> m = next_message(reader)) messages.push_back(*m);
    }
    ASSERT_EQ(messages.size(), 3u) << step;
    EXPECT_EQ(messages[0].tag, kInput);
    EXPECT_EQ(messages[0].body, body);
    EXPECT_EQ(messages[1].tag, kInputClosed);
    EXPECT_TRUE(messages[1].body.empty());
    EXPECT_EQ(messages[2].body, "-u");
    EXPECT_TRUE(reader.pending.empty());
  }
}

TEST(RelayWireTest, HeaderCarriesLittleEndianLength) {
  EXPECT_EQ(encode_message(kExit, "0"), std::string("x\x01\x00\x00\x00"
                                                    "0",
                                                    6));
}

TEST(RelayWireTest, AbsurdLengthMarksTheStreamBrokenInsteadOfWaiting) {
  MessageReader reader;
  feed(reader, std::string("o\xff\xff\xff\xff", 5));
  EXPECT_FALSE(next_message(reader));
  EXPECT_TRUE(reader.broken);
  feed(reader, encode_message(kOutput, "late"));
  EXPECT_FALSE(next_message(reader));
}

TEST(RelayWireTest, WindowsPathsAreRecognised) {
  EXPECT_TRUE(is_windows_path(u"C:\\Colloquor\\worker.py"));
  EXPECT_TRUE(is_windows_path(u"z:/tmp"));
  EXPECT_TRUE(is_windows_path(u"\\\\server\\share\\x"));
  EXPECT_FALSE(is_windows_path(u"-u"));
  EXPECT_FALSE(is_windows_path(u"C:"));
  EXPECT_FALSE(is_windows_path(u"/tmp/data"));
  EXPECT_FALSE(is_windows_path(u"1:\\x"));
  EXPECT_FALSE(is_windows_path(u"tiny.en"));
}

TEST(RelayWireTest, PortTextIsStrict) {
  EXPECT_EQ(parse_port("40123"), 40123);
  EXPECT_EQ(parse_port(" 40123\r\n"), 40123);
  EXPECT_EQ(parse_port("65535"), 65535);
  EXPECT_FALSE(parse_port("0"));
  EXPECT_FALSE(parse_port("65536"));
  EXPECT_FALSE(parse_port("4012x"));
  EXPECT_FALSE(parse_port(""));
  EXPECT_FALSE(parse_port("-1"));
  EXPECT_FALSE(parse_port("1234567"));
}

TEST(RelayWireTest, Utf8OfPathsAndVariables) {
  EXPECT_EQ(to_utf8(u"C:\\Пользователи\\é"),
            "C:\\\xD0\x9F\xD0\xBE\xD0\xBB\xD1\x8C\xD0\xB7\xD0\xBE\xD0\xB2\xD0\xB0"
            "\xD1\x82\xD0\xB5\xD0\xBB\xD0\xB8\\\xC3\xA9");
  EXPECT_EQ(to_utf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(to_utf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace colloquor::relay
