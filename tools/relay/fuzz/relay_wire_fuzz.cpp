// The relay's socket stream in both directions: any bytes, arriving in any pieces. The messages
// handed out do not depend on the pieces, encode back to exactly the bytes they came from, and a
// stream that announced an impossible length stays broken. The small text rules of the relay
// (port numbers, Windows paths, UTF-16 to UTF-8) hold for any text.
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/fuzz_checks.h"
#include "tools/relay/relay_wire.h"
#include "worker_link/line_parser.h"

using namespace colloquor;
using namespace colloquor::relay;

namespace {

struct Received {
  std::vector<Message> messages;
  std::string consumed;  // the messages encoded again
  bool broken = false;
};

template <typename Piece>
Received receive(std::string_view stream, Piece piece) {
  MessageReader reader;
  Received got;
  for (std::size_t at = 0, i = 0; at < stream.size(); ++i) {
    const std::size_t size = std::min(piece(i), stream.size() - at);
    feed(reader, stream.substr(at, size));
    at += size;
    while (std::optional<Message> message = next_message(reader)) {
      got.consumed += encode_message(message->tag, message->body);
      got.messages.push_back(std::move(*message));
    }
  }
  got.broken = reader.broken;
  return got;
}

bool same(const Received& a, const Received& b) {
  if (a.messages.size() != b.messages.size() || a.broken != b.broken) return false;
  for (std::size_t i = 0; i < a.messages.size(); ++i) {
    if (a.messages[i].tag != b.messages[i].tag || a.messages[i].body != b.messages[i].body)
      return false;
  }
  return true;
}

void check_port(std::string_view text) {
  const std::optional<std::uint16_t> port = parse_port(text);
  if (!port) return;
  FUZZ_CHECK(*port >= 1);
  // Only digits, with blanks around and a line end after, are a port.
  std::string digits;
  for (char c : text) {
    if (c >= '0' && c <= '9')
      digits += c;
    else
      FUZZ_CHECK(c == ' ' || c == '\r' || c == '\n');
  }
  FUZZ_CHECK(!digits.empty() && std::stoul(digits) == *port);
}

void check_text(std::string_view bytes) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    text += static_cast<char16_t>(static_cast<std::uint8_t>(bytes[i]) |
                                  static_cast<std::uint8_t>(bytes[i + 1]) << 8);
  }
  const std::string utf8 = to_utf8(text);
  FUZZ_CHECK(fuzz_support::valid_utf8(utf8));
  FUZZ_CHECK(utf8.size() <= 3 * text.size());
  if (fuzz_support::valid_utf16(text)) FUZZ_CHECK(utf8_to_utf16(utf8) == text);
  if (is_windows_path(text)) FUZZ_CHECK(text.size() >= 3 && (text[1] == u':' || text[0] == u'\\'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view stream(reinterpret_cast<const char*>(data), size);
  std::uint32_t seed = 2166136261u;
  for (std::uint8_t byte : stream) seed = (seed ^ byte) * 16777619u;

  const Received whole = receive(stream, [&](std::size_t) { return stream.size(); });
  const Received bytewise = receive(stream, [](std::size_t) { return std::size_t{1}; });
  const Received random = receive(stream, [&](std::size_t) {
    seed = seed * 1664525u + 1013904223u;
    return std::size_t{1} + (seed >> 16) % 61;
  });
  FUZZ_CHECK(same(whole, bytewise) && same(whole, random));
  FUZZ_CHECK(stream.substr(0, whole.consumed.size()) == whole.consumed);
  for (const Message& message : whole.messages)
    FUZZ_CHECK(message.body.size() <= kMaxMessageLength);
  if (!whole.broken) {
    // What is left is less than one whole message.
    const std::string_view rest = stream.substr(whole.consumed.size());
    if (rest.size() >= kMessageHeaderSize) {
      const auto* header = reinterpret_cast<const std::uint8_t*>(rest.data());
      const std::uint32_t length = header[1] | header[2] << 8 | header[3] << 16 |
                                   static_cast<std::uint32_t>(header[4]) << 24;
      FUZZ_CHECK(rest.size() - kMessageHeaderSize < length);
    }
  }

  check_port(stream.substr(0, 12));
  check_text(stream);
  return 0;
}
