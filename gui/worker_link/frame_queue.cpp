#include "worker_link/frame_queue.h"

#include "worker_link/protocol.h"

namespace colloquor {
namespace {

// The channel byte follows the 5-byte header of "A" and "E" frames.
constexpr std::size_t kChannelOffset = kFrameHeaderSize;

bool carries_channel(const std::string& frame, char type) {
  return frame.size() > kChannelOffset && frame[0] == type;
}

std::size_t channel_of(const std::string& frame) {
  return static_cast<std::size_t>(frame[kChannelOffset] & 1);
}

}  // namespace

FrameQueue::FrameQueue(std::size_t audio_backlog_limit) : limit_(audio_backlog_limit) {}

bool FrameQueue::push(std::string frame) {
  if (frame.empty()) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return false;
    if (carries_channel(frame, kFrameAudio)) {
      const std::size_t channel = channel_of(frame);
      if (dropping_[channel] || audio_bytes_[channel] + frame.size() > limit_) {
        dropping_[channel] = true;
        ++dropped_.frames;
        dropped_.bytes += frame.size() - kChannelOffset - 1;
        return false;
      }
      audio_bytes_[channel] += frame.size();
    } else if (carries_channel(frame, kFrameEnd)) {
      dropping_[channel_of(frame)] = false;
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
  in_flight_head_ = frame.substr(0, kChannelOffset + 1);
  return true;
}

void FrameQueue::finish_write() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // The frame's bytes leave the backlog only once written: a writer stuck in a full pipe keeps
    // counting against the bound.
    if (in_flight_ > 0) --in_flight_;
    if (carries_channel(in_flight_head_, kFrameAudio)) {
      audio_bytes_[channel_of(in_flight_head_)] -= in_flight_bytes_;
    }
    bytes_ -= in_flight_bytes_;
    in_flight_bytes_ = 0;
    in_flight_head_.clear();
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
  return dropped_.frames;
}

DroppedAudio FrameQueue::dropped_audio() const {
  std::lock_guard<std::mutex> lock(mutex_);
  DroppedAudio report = dropped_;
  report.dropping = dropping_[0] || dropping_[1];
  return report;
}

std::size_t FrameQueue::queued_bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_;
}

}  // namespace colloquor
