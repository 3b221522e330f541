#include "worker_link/protocol.h"

#include <cstring>

namespace colloquor {

const std::array<Language, kLanguageCount> kLanguages = {{
    {"ru", u"Russian"},
    {"en", u"English"},
    {"de", u"German"},
    {"fr", u"French"},
    {"es", u"Spanish"},
    {"uk", u"Ukrainian"},
    {"pl", u"Polish"},
    {"it", u"Italian"},
}};

static void put_u32_le(std::string& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

std::string encode_frame(char type, const void* payload, std::uint32_t length) {
  std::string frame;
  frame.reserve(kFrameHeaderSize + length);
  frame.push_back(type);
  put_u32_le(frame, length);
  if (length > 0 && payload != nullptr) frame.append(static_cast<const char*>(payload), length);
  return frame;
}

std::string audio_payload(int channel, const std::int16_t* samples, std::size_t count) {
  std::string payload;
  payload.resize(1 + 2 * count);
  payload[0] = static_cast<char>(channel & 0xFF);
  for (std::size_t i = 0; i < count; ++i) {
    const auto v = static_cast<std::uint16_t>(samples[i]);
    payload[1 + 2 * i] = static_cast<char>(v & 0xFF);
    payload[2 + 2 * i] = static_cast<char>(v >> 8);
  }
  return payload;
}

int language_index(std::string_view code) {
  for (std::size_t i = 0; i < kLanguages.size(); ++i) {
    if (code == kLanguages[i].code) return static_cast<int>(i);
  }
  return -1;
}

static bool in_table(int index) { return index >= 0 && index < static_cast<int>(kLanguageCount); }

std::string speech_code(int index) { return in_table(index) ? kLanguages[index].code : "auto"; }

std::string translation_code(int index) {
  return in_table(index) ? kLanguages[index].code : "none";
}

std::string options_payload(int speech_index, int translation_index, bool reverse, bool diarize,
                            int sensitivity) {
  std::string text = speech_code(speech_index);
  text += '|';
  text += translation_code(translation_index);
  text += reverse ? "|1" : "|0";
  text += diarize ? "|1|" : "|0|";
  text += std::to_string(sensitivity);
  return text;
}

std::string narrow_text(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char16_t unit : text) out.push_back(static_cast<char>(unit & 0xFF));
  return out;
}

std::string clean_field(std::string_view field) {
  std::string out(field);
  for (char& c : out) {
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  }
  return out;
}

std::string join_line(char kind, const std::vector<std::string>& fields) {
  std::string line(1, kind);
  for (const auto& field : fields) {
    line += '\t';
    line += clean_field(field);
  }
  line += '\n';
  return line;
}

}  // namespace colloquor
