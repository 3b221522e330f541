// The relay's wire format between relay.exe (Windows side) and launcher.py (Linux side), and the
// small rules the relay applies before it connects. Portable.
//
// Every message is one tag byte, an unsigned 32-bit little-endian length and that many bytes.
// Relay to launcher: the arguments, the working folder and the environment, then "go"; after that
// the bytes of its standard input and, once, "input closed". Launcher to relay: the worker's
// standard output and standard error bytes, and finally its exit code as decimal text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace colloquor::relay {

inline constexpr char kArgument = 'a';
inline constexpr char kWorkingFolder = 'd';
inline constexpr char kVariable = 'v';
inline constexpr char kGo = 'g';
inline constexpr char kInput = 'i';
inline constexpr char kInputClosed = 'c';
inline constexpr char kOutput = 'o';
inline constexpr char kErrorOutput = 'e';
inline constexpr char kExit = 'x';

inline constexpr std::size_t kMessageHeaderSize = 5;
// Nothing the relay or the launcher sends comes near this; a bigger length means a broken stream.
inline constexpr std::uint32_t kMaxMessageLength = 16u << 20;

// Where the relay finds the launcher's port.
inline constexpr char16_t kPortVariable[] = u"COLLOQUOR_RELAY_PORT";
inline constexpr char16_t kPortFileName[] = u"relay.port";

// The worker's variables that cross over; paths among them are translated.
inline constexpr const char16_t* kForwardedVariables[] = {u"DICTATION_ROOT", u"SPEAKER_MODEL",
                                                          u"TRANSLATION_MODEL", u"DICTATE_MODEL"};
inline constexpr char16_t kPathVariable[] = u"DICTATION_ROOT";

struct Message {
  char tag = 0;
  std::string body;
};

std::string encode_message(char tag, std::string_view body);

// Collects bytes from the socket and hands out whole messages.
struct MessageReader {
  std::string pending;
  bool broken = false;  // a length beyond kMaxMessageLength was announced
};
void feed(MessageReader& reader, std::string_view bytes);
std::optional<Message> next_message(MessageReader& reader);

// "C:\dir", "c:/dir" or "\\server\share": paths the Linux side cannot use as they are.
bool is_windows_path(std::u16string_view text);

// A TCP port 1..65535 from text such as "40123" or "40123\r\n"; nothing for anything else.
std::optional<std::uint16_t> parse_port(std::string_view text);

std::string to_utf8(std::u16string_view text);

}  // namespace colloquor::relay
