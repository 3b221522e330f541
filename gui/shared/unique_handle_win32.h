// A kernel handle with exactly one owner, closed when that owner goes out of scope, is given
// another handle, or is moved from. Header-only.
#pragma once

#include <windows.h>

namespace colloquor {

class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  ~UniqueHandle() { reset(); }

  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE get() const { return handle_; }
  // CreateFileW fails with INVALID_HANDLE_VALUE, most other calls with null: neither is a handle.
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  explicit operator bool() const { return valid(); }

  // Gives the handle away: the caller closes it from now on.
  HANDLE release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }

  void reset(HANDLE handle = nullptr) {
    if (handle == handle_) return;
    if (valid()) CloseHandle(handle_);
    handle_ = handle;
  }

  // For calls that hand a new handle out through a pointer (CreatePipe): whatever was held is
  // closed first.
  HANDLE* receive() {
    reset();
    return &handle_;
  }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace colloquor
