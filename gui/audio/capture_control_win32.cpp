// Recording as a whole: the order of opening, flag setting and thread starts, and of flag
// clearing, joins and device closing, so that no capture thread runs without capture_running and
// no block is processed after its device has been reset.
#include <windows.h>
#include <commctrl.h>

#include <array>
#include <atomic>

#include "audio/audio_seams.h"
#include "audio/capture_control_win32.h"
#include "audio/live_options.h"
#include "worker_link/frame_writer.h"
#include "worker_link/protocol.h"
#include "worker_link/worker_line.h"

namespace colloquor {
namespace {

std::atomic<HWND> g_capture_window{nullptr};
// Touched by the window thread only.
std::array<HWND, 2> g_level_bars{};

void send_to_worker(void*, char type, const void* payload, std::uint32_t length) {
  if ((type == kFrameAudio || type == kFrameEnd) && length > 0) {
    note_audio_frame(*static_cast<const std::uint8_t*>(payload), GetTickCount64());
  }
  send_frame(type, payload, length);
}

void post_level_to_window(void*, std::uint32_t percent, std::intptr_t lparam) {
  HWND window = g_capture_window.load();
  if (window != nullptr) PostMessageW(window, WM_AUDIO_LEVEL, percent, lparam);
}

std::uint64_t system_tick(void*) { return GetTickCount64(); }

const AudioSeams kCaptureSeams{nullptr, send_to_worker, post_level_to_window, system_tick};

}  // namespace

void set_capture_window(const CaptureWindow& window) {
  g_level_bars = {window.microphone_level, window.system_audio_level};
  g_capture_window.store(window.window);
}

HWND capture_window() { return g_capture_window.load(); }

void install_capture_seams() { install_audio_seams(&kCaptureSeams); }

void clear_level_bar(int channel) {
  HWND bar = g_level_bars[static_cast<std::size_t>(channel & 1)];
  if (bar != nullptr) SendMessageW(bar, PBM_SETPOS, 0, 0);
}

bool start_capture(std::int32_t device, const std::u16string& endpoint_id) {
  // A second start without a stop would leave a running thread behind; finish the old run first.
  if (capture_running()) stop_capture();

  const bool use_microphone = micon.load() != 0;
  const bool use_system_audio = live_options.sys.load() != 0;
  if (nothing_to_capture(use_microphone, use_system_audio)) return false;

  install_capture_seams();
  reset_channel(microphone_channel, kMicrophoneChannel);
  const bool opened = use_microphone && open_microphone(device);
  if (!capture_continues(use_microphone, opened, use_system_audio)) return false;

  capture_running.set(true);
  // A microphone that opened but cannot record counts as one that did not open.
  const bool microphone_started = opened && start_microphone();
  if (!capture_continues(use_microphone, microphone_started, use_system_audio)) {
    capture_running.set(false);  // no thread was started
    return false;
  }
  if (use_system_audio) start_loopback_capture(endpoint_id);
  return true;
}

void stop_capture() {
  if (!capture_running()) return;
  capture_running.set(false);
  loopback_running.set(false);
  join_loopback_thread();
  clear_level_bar(kSystemChannel);
  if (microphone_open()) close_microphone();
  clear_level_bar(kMicrophoneChannel);
}

}  // namespace colloquor
