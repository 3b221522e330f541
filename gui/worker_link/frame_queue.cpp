#include "worker_link/frame_queue.h"

#include "worker_link/protocol.h"

namespace colloquor {

FrameQueue::FrameQueue(std::size_t audio_backlog_limit) : limit_(audio_backlog_limit) {}

bool FrameQueue::push(std::string frame) {
  if (frame.empty()) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return false;
    const bool audio = frame[0] == kFrameAudio;
    if (audio && bytes_ + frame.size() > limit_) {
      ++dropped_;
      return false;
    }
    bytes_ += frame.size();
    frames_.push_back(std::move(frame));
  }
  ready_.notify_one();
  return true;
}

bool FrameQueue::pop(std::string& frame) {
  std::unique_lock<std::mutex> lock(mutex_);
  ready_.wait(lock, [this] { return !frames_.empty() || closed_; });
  if (frames_.empty()) return false;
  frame = std::move(frames_.front());
  frames_.pop_front();
  ++in_flight_;
  in_flight_bytes_ += frame.size();
  return true;
}

void FrameQueue::finish_write() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // The frame's bytes leave the backlog only once written: a writer stuck in a full pipe keeps
    // counting against the bound.
    if (in_flight_ > 0) --in_flight_;
    bytes_ -= in_flight_bytes_;
    in_flight_bytes_ = 0;
  }
  drained_.notify_all();
}

bool FrameQueue::wait_drained(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return drained_.wait_for(lock, timeout, [this] { return frames_.empty() && in_flight_ == 0; });
}

void FrameQueue::close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  ready_.notify_all();
}

std::size_t FrameQueue::dropped_audio_frames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

std::size_t FrameQueue::queued_bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_;
}

}  // namespace colloquor
