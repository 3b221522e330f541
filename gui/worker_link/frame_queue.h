// The queue between the threads that send frames and the one thread that writes them to the
// worker's input pipe. A worker that stops reading fills the pipe; with the queue in between, the
// window and capture threads never wait on the pipe. Audio is dropped once the backlog reaches its
// bound, control frames are always kept (they are few and small), and frames keep their order.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

namespace colloquor {

// Audio that the worker has not taken yet: past this backlog (about 16 s of one channel) further
// "A" frames are dropped until the writer catches up.
inline constexpr std::size_t kAudioBacklogLimit = 512 * 1024;

class FrameQueue {
 public:
  explicit FrameQueue(std::size_t audio_backlog_limit = kAudioBacklogLimit);

  // Queues one encoded frame. Returns false when it was dropped: an audio frame over the backlog
  // bound, or any frame after close().
  bool push(std::string frame);

  // Waits for the next frame. Returns false once the queue is closed and empty. The frame counts as
  // in flight, and against the backlog, until finish_write() is called; there is one writer.
  bool pop(std::string& frame);
  void finish_write();

  // Waits until every queued frame has been written, at most timeout. True when drained.
  bool wait_drained(std::chrono::milliseconds timeout);

  // Rejects further frames and wakes the writer; frames already queued are still handed out.
  void close();

  std::size_t dropped_audio_frames() const;
  std::size_t queued_bytes() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable drained_;
  std::deque<std::string> frames_;
  std::size_t limit_;
  std::size_t bytes_ = 0;
  std::size_t in_flight_ = 0;
  std::size_t in_flight_bytes_ = 0;
  std::size_t dropped_ = 0;
  bool closed_ = false;
};

}  // namespace colloquor
