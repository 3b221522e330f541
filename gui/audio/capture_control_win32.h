// The Win32 side of capture: where capture reports to (the main window), the two device lists the
// window shows, and the steps of start_capture / stop_capture for each source.
#pragma once

#include <windows.h>

#include <cstdint>

#include "audio/capture_control.h"

namespace colloquor {

// Where capture reports: the window that receives WM_AUDIO_LEVEL and WM_LOOPBACK_FAILED, and the
// two level bars that a stop sets to 0. Set once at window creation, before any capture.
struct CaptureWindow {
  HWND window = nullptr;
  HWND microphone_level = nullptr;
  HWND system_audio_level = nullptr;
};
void set_capture_window(const CaptureWindow& window);
HWND capture_window();

// Fills the microphone list: "System default" (item data -1), then every wave-input device whose
// capabilities can be read, with its identifier as item data; selects entry 0.
void fill_microphone_list(HWND list);

// Fills the output device list: "Default output device", then every active render endpoint by its
// friendly name ("(unnamed device)" without one), remembering their ids; selects entry 0. The
// window thread has initialised COM.
void fill_output_device_list(HWND list);

// The seams through which block processing sends frames, posts levels and reads the tick; installed
// by start_capture and start_loopback_capture before their threads start.
void install_capture_seams();

// Sets the level bar of a channel (0 microphone, 1 system audio) to 0.
void clear_level_bar(int channel);

// Microphone steps (microphone_win32.cpp).
bool open_microphone(std::int32_t device);
// Queues the eight buffers, starts the device and the thread. False, with the device closed again,
// when the driver refused a buffer or the start: the microphone would record nothing.
bool start_microphone();
void close_microphone();  // wake and join the thread, then stop, reset and close the device
bool microphone_open();

// Loopback thread state (loopback_win32.cpp), joined by stop_capture.
void join_loopback_thread();

}  // namespace colloquor
