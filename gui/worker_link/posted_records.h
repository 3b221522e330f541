// Records handed to the window by address in a posted message. Any process on the desktop can
// post the same message number with an address of its choosing; the window therefore takes back
// only addresses that this program gave away and that are still outstanding, each exactly once.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_set>

namespace colloquor {

template <typename T>
class PostedRecords {
 public:
  // Registers the record and returns its address for the message parameter. The sender calls
  // take() itself when the post fails, so that nothing is left registered.
  std::intptr_t give(std::unique_ptr<T> record) {
    T* raw = record.release();
    std::lock_guard<std::mutex> lock(mutex_);
    outstanding_.insert(raw);
    return reinterpret_cast<std::intptr_t>(raw);
  }

  // The record at `address`, now owned by the caller; empty for an address this program did not
  // give away or that was already taken.
  std::unique_ptr<T> take(std::intptr_t address) {
    T* raw = reinterpret_cast<T*>(address);
    std::lock_guard<std::mutex> lock(mutex_);
    if (outstanding_.erase(raw) == 0) return nullptr;
    return std::unique_ptr<T>(raw);
  }

  std::size_t outstanding() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outstanding_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::unordered_set<T*> outstanding_;
};

}  // namespace colloquor
