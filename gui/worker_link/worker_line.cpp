#include "worker_link/worker_line.h"

namespace colloquor {

PostedRecords<WorkerLine>& posted_worker_lines() {
  // Never destroyed: a detached reader thread may still post while the process exits.
  static auto* records = new PostedRecords<WorkerLine>();
  return *records;
}

}  // namespace colloquor
