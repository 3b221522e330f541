// The queue between the threads that send frames and the one thread that writes them to the
// worker's input pipe. A worker that stops reading fills the pipe; with the queue in between, the
// window and capture threads never wait on the pipe. Each channel's audio has its own bound; once a
// channel's audio overflows it, the rest of that utterance's audio is dropped too (the worker would
// otherwise recognize speech with a hole in it), while its "E" still goes out so that the worker
// finishes the utterance with what it got. Control frames are always kept, and frames keep their
// order.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

namespace colloquor {

// Audio of one channel that the worker has not taken yet: past this backlog (about 16 s) the
// channel's audio is dropped up to the end of the utterance.
inline constexpr std::size_t kAudioBacklogLimit = 512 * 1024;

// What was dropped so far, for the status line.
struct DroppedAudio {
  std::size_t frames = 0;
  std::uint64_t bytes = 0;  // audio samples' bytes of the dropped frames
  bool dropping = false;    // some channel is inside an utterance whose audio is being dropped
};

class FrameQueue {
 public:
  explicit FrameQueue(std::size_t audio_backlog_limit = kAudioBacklogLimit);

  // Queues one encoded frame. Returns false when it was dropped: audio over its channel's bound or
  // of an utterance that already lost audio, or any frame after close().
  bool push(std::string frame);

  // Waits for the next frame. Returns false once the queue is closed and empty. The frame counts as
  // in flight, and against its channel's backlog, until finish_write() is called; there is one
  // writer.
  bool pop(std::string& frame);
  void finish_write();

  // Waits until every queued frame has been written, at most timeout. True when drained.
  bool wait_drained(std::chrono::milliseconds timeout);

  // Rejects further frames and wakes the writer; frames already queued are still handed out.
  void close();

  std::size_t dropped_audio_frames() const;
  DroppedAudio dropped_audio() const;
  // Bytes of every frame queued or in flight.
  std::size_t queued_bytes() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable drained_;
  std::deque<std::string> frames_;
  std::size_t limit_;
  std::size_t bytes_ = 0;
  std::array<std::size_t, 2> audio_bytes_{};  // per channel, queued and in flight
  std::array<bool, 2> dropping_{};
  std::size_t in_flight_ = 0;
  std::string in_flight_head_;  // the first bytes of the frame being written
  std::size_t in_flight_bytes_ = 0;
  DroppedAudio dropped_;
  bool closed_ = false;
};

}  // namespace colloquor
