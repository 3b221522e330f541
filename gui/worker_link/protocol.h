// The pipe protocol between Parlivo and the recognition worker: frame encoding (Parlivo to worker),
// the line kinds with their fields and the line rules (worker to Parlivo), the options payload and
// the language table. Portable: no Win32 here; the Win32 frame writer is frame_writer_win32.cpp.
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

// Line kinds (worker to Parlivo), and the kinds Parlivo makes itself for its own records.
inline constexpr char kLineStatus = 'S';              // a status text, or a bootstrap status
inline constexpr char kLineProgress = 'D';            // download or install progress
inline constexpr char kLineNoTranslation = 'N';       // the translation model could not be loaded
inline constexpr char kLineNoSpeakers = 'V';          // the speaker model could not be loaded
inline constexpr char kLineTranslationCatalog = 'K';  // one entry of the translation models
inline constexpr char kLineTranslationModel = 'Z';    // the active translation model
inline constexpr char kLineSpeakerCatalog = 'C';      // one entry of the speaker models
inline constexpr char kLineSpeakerModel = 'M';        // the active speaker model
inline constexpr char kLinePartial = 'P';             // unfinished recognized text
inline constexpr char kLinePartialTranslation = 'T';  // translation of the partial just sent
inline constexpr char kLineFinal = 'F';               // one finished line of recognized text
inline constexpr char kLineFinalTranslation = 'U';    // translation of the final just sent
inline constexpr char kLineStartFailed = 'E';         // bootstrap: the worker could not be started
inline constexpr char kLineOutputEnded = 'X';         // reader: the worker's output has ended

// The fields after a line's kind, and how a WorkerLine carries them.
enum class LineLayout : std::uint8_t {
  text,         // one text field
  progress,     // percent (the number), text
  recognition,  // channel, speaker (the number), language, text
  catalog,      // index, id, label, size, installed: kept joined by TAB in the text
};

struct LineKind {
  char letter;
  LineLayout layout;
};

inline constexpr std::array<LineKind, 14> kLineKinds = {{
    {kLineStatus, LineLayout::text},
    {kLineProgress, LineLayout::progress},
    {kLineNoTranslation, LineLayout::text},
    {kLineNoSpeakers, LineLayout::text},
    {kLineTranslationCatalog, LineLayout::catalog},
    {kLineTranslationModel, LineLayout::text},
    {kLineSpeakerCatalog, LineLayout::catalog},
    {kLineSpeakerModel, LineLayout::text},
    {kLinePartial, LineLayout::recognition},
    {kLinePartialTranslation, LineLayout::recognition},
    {kLineFinal, LineLayout::recognition},
    {kLineFinalTranslation, LineLayout::recognition},
    {kLineStartFailed, LineLayout::text},
    {kLineOutputEnded, LineLayout::text},
}};

// The layout of a kind; a kind not in the table keeps its whole rest as text.
constexpr LineLayout line_layout(char kind) {
  for (const LineKind& entry : kLineKinds) {
    if (entry.letter == kind) return entry.layout;
  }
  return LineLayout::text;
}

// How many fields follow the kind, the text included.
constexpr std::size_t field_count(LineLayout layout) {
  switch (layout) {
    case LineLayout::progress: return 2;
    case LineLayout::recognition: return 4;
    case LineLayout::catalog: return 5;
    case LineLayout::text: break;
  }
  return 1;
}

// Line rules (worker to Parlivo): TAB, CR and LF inside a field become spaces; fields are joined
// with TAB after the one-letter kind, and LF ends the line.
std::string clean_field(std::string_view field);
std::string join_line(char kind, const std::vector<std::string>& fields);

}  // namespace colloquor
