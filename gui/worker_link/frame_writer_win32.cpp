// send_frame on Windows: frames are encoded on the caller's thread and queued; one writer thread
// owns the pipe and does the blocking writes, so a worker that stops reading cannot stall the
// window or the capture threads.
#include "worker_link/frame_writer.h"

#include <windows.h>

#include <atomic>
#include <thread>

#include "worker_link/frame_queue.h"
#include "worker_link/protocol.h"

namespace colloquor {
namespace {

// How long "Q" may hold the window thread while the frames before it reach the worker.
constexpr std::chrono::milliseconds kQuitDrainTimeout{2000};

std::atomic<HANDLE> g_worker_input{nullptr};

FrameQueue& frame_queue() {
  // Never destroyed: the detached writer thread may still be inside pop() at process exit.
  static FrameQueue* queue = new FrameQueue();
  return *queue;
}

void write_all(HANDLE pipe, const std::string& frame) {
  // One WriteFile per frame; on a pipe in byte mode a blocking write completes whole.
  DWORD written = 0;
  WriteFile(pipe, frame.data(), static_cast<DWORD>(frame.size()), &written, nullptr);
}

void writer_thread(HANDLE pipe) {
  std::string frame;
  while (frame_queue().pop(frame)) {
    write_all(pipe, frame);
    frame_queue().finish_write();
  }
}

}  // namespace

void send_frame(char type, const void* payload, std::uint32_t length) {
  if (g_worker_input.load(std::memory_order_acquire) == nullptr) return;
  frame_queue().push(encode_frame(type, payload, length));
  if (type == kFrameQuit) frame_queue().wait_drained(kQuitDrainTimeout);
}

void set_worker_input(void* handle) {
  HANDLE expected = nullptr;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  if (!g_worker_input.compare_exchange_strong(expected, static_cast<HANDLE>(handle))) return;
  std::thread(writer_thread, static_cast<HANDLE>(handle)).detach();
}

bool worker_input_ready() { return g_worker_input.load(std::memory_order_acquire) != nullptr; }

DroppedAudio dropped_worker_audio() { return frame_queue().dropped_audio(); }

}  // namespace colloquor
