// Turning the worker's output bytes into WorkerLine records: cutting the stream at LF, parsing the
// fields of each line, UTF-8 to UTF-16 conversion and decimal-prefix numbers. Portable.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "shared/text.h"
#include "worker_link/worker_line.h"

namespace colloquor {

// Size of one read from the worker's output pipe.
inline constexpr std::size_t kReadChunk = 4096;

// Bytes read so far that do not yet end in LF.
struct LineAssembler {
  std::string tail;
};

// Appends bytes and calls on_line for every complete line (without its LF), in order. Lines of
// fewer than 2 bytes are dropped. Only the unfinished tail stays buffered.
void feed_bytes(LineAssembler& assembler, std::string_view bytes,
                const std::function<void(std::string_view line)>& on_line);

// Parses one line of at least 2 bytes (shorter lines give a record with kind 0 and nothing else).
WorkerLine parse_worker_line(std::string_view line);

// Leading whitespace skipped, optional sign, then digits up to the first other character; no
// digits give 0. Values beyond 32 bits saturate at the nearest limit.
std::int32_t decimal_prefix(std::string_view text);
std::int32_t decimal_prefix(std::u16string_view text);

}  // namespace colloquor
