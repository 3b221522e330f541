// Session files in the "history" folder: one file per session, one row per finished line.
// (Declared here by the worker-line dispatch, which calls append_session_line; the session-file
// module owns this header and extends it.)
#pragma once

#include "app/worker_messages.h"

namespace colloquor {

// Writes and flushes one row for a finished line whose final translation (possibly empty) has
// arrived, when a session file is open; does nothing otherwise. Window thread.
void append_session_line(const TranscriptLine& line);

}  // namespace colloquor
