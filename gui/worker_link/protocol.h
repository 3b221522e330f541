// The pipe protocol between Parlivo and the recognition worker: frame encoding (Parlivo to worker),
// the line rules (worker to Parlivo), the options payload and the language table. Portable: no
// Win32 here; the Win32 frame writer is frame_writer_win32.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace colloquor {

// Frame types written by Parlivo.
inline constexpr char kFrameAudio = 'A';
inline constexpr char kFrameEnd = 'E';
inline constexpr char kFrameOptions = 'L';
inline constexpr char kFrameSpeakerModel = 'M';
inline constexpr char kFrameTranslationModel = 'G';
inline constexpr char kFrameReset = 'R';
inline constexpr char kFrameQuit = 'Q';

inline constexpr std::size_t kFrameHeaderSize = 5;  // type + 32-bit little-endian length

// One whole frame: type, payload length (unsigned 32-bit little-endian), payload.
std::string encode_frame(char type, const void* payload, std::uint32_t length);

// The payload of an "A" frame: the channel byte, then the samples as 16-bit little-endian values.
std::string audio_payload(int channel, const std::int16_t* samples, std::size_t count);

// The eight languages, in the order of the language lists (the index is each item's data).
struct Language {
  const char* code;
  const char16_t* name;
};
inline constexpr std::size_t kLanguageCount = 8;
extern const std::array<Language, kLanguageCount> kLanguages;

// Index of a language code in kLanguages, or -1 when it is not one of the eight.
int language_index(std::string_view code);
// Code of the language at index; "auto" / "none" for anything outside the table.
std::string speech_code(int index);
std::string translation_code(int index);

// The options text "src|tgt|reverse|diarize|sensitivity". Indexes outside 0..7 give "auto" for the
// speech language and "none" for the translation language.
std::string options_payload(int speech_index, int translation_index, bool reverse, bool diarize,
                            int sensitivity);

// Text payloads of "L", "M" and "G" frames: every UTF-16 unit narrowed to its low byte.
std::string narrow_text(std::u16string_view text);

// Line rules (worker to Parlivo): TAB, CR and LF inside a field become spaces; fields are joined
// with TAB after the one-letter kind, and LF ends the line.
std::string clean_field(std::string_view field);
std::string join_line(char kind, const std::vector<std::string>& fields);

}  // namespace colloquor
