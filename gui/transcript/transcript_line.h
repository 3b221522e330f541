// One finished line with its translation, and the key of the session it is saved into. The window's
// transcript, the session files, the history viewer and the export share these records.
#pragma once

#include <cstdint>
#include <string>

namespace colloquor {

struct TranscriptLine {
  std::int32_t channel = 0;
  std::int32_t speaker = 0;
  bool labelled = false;
  std::u16string text;
  std::u16string translation;        // empty until the final translation arrives
  std::string language;              // code reported with the finished line; may be empty
  std::string translation_language;  // code reported with the final translation
};

// A session that finished lines are saved into, as the session file module numbers them; the
// same key never comes back within a run.
using SessionKey = std::int32_t;
inline constexpr SessionKey kNoSession = 0;

}  // namespace colloquor
