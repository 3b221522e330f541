// The microphone: WinMM wave input straight in the recognizer's format (16 kHz mono 16-bit) into a
// ring of eight 100 ms buffers. The driver signals an event for each filled buffer; one thread
// conditions each buffer in place (process_block) and gives it straight back to the driver.
#include <windows.h>
#include <mmsystem.h>

#include <array>
#include <string>
#include <thread>

#include "audio/capture_control_win32.h"
#include "audio/capture_ring.h"
#include "shared/unique_handle_win32.h"

namespace colloquor {
namespace {

constexpr int kBufferCount = kCaptureRingSize;
constexpr DWORD kBufferBytes = 3200;  // 1600 samples, 100 ms
constexpr DWORD kWaitMs = 200;

struct Microphone {
  HWAVEIN device = nullptr;
  UniqueHandle buffer_event;
  std::array<WAVEHDR, kBufferCount> headers{};
  std::array<std::array<std::int16_t, kBufferBytes / 2>, kBufferCount> buffers{};
  std::thread thread;
};

Microphone& microphone() {
  static Microphone state;
  return state;
}

WAVEFORMATEX capture_format() {
  WAVEFORMATEX format{};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = 1;
  format.nSamplesPerSec = 16000;
  format.nAvgBytesPerSec = 32000;
  format.nBlockAlign = 2;
  format.wBitsPerSample = 16;
  format.cbSize = 0;
  return format;
}

bool buffer_filled(void* context, int i) {
  // The driver writes the flags from its own thread.
  const WAVEHDR& header = static_cast<Microphone*>(context)->headers[i];
  return (static_cast<volatile const DWORD&>(header.dwFlags) & WHDR_DONE) != 0;
}

void process_buffer(void* context, int i) {
  WAVEHDR& header = static_cast<Microphone*>(context)->headers[i];
  process_block(microphone_channel, reinterpret_cast<std::int16_t*>(header.lpData),
                header.dwBytesRecorded / 2);
}

bool requeue_buffer(void* context, int i) {
  Microphone& mic = *static_cast<Microphone*>(context);
  return waveInAddBuffer(mic.device, &mic.headers[i], sizeof(WAVEHDR)) == MMSYSERR_NOERROR;
}

// A buffer the driver refused stays out of the ring instead of being taken again and again with
// its old samples; the thread then just wakes every 200 ms, as with a device that stopped.
void forget_buffer(void* context, int i) {
  static_cast<Microphone*>(context)->headers[i].dwFlags &= ~static_cast<DWORD>(WHDR_DONE);
}

bool still_recording(void*) { return capture_running(); }

void microphone_thread() {
  Microphone& mic = microphone();
  const CaptureRing ring{&mic, buffer_filled, process_buffer, requeue_buffer, forget_buffer};
  int next = 0;
  if (capture_running()) {
    while (true) {
      WaitForSingleObject(mic.buffer_event.get(), kWaitMs);
      if (!capture_running()) break;
      next = drain_capture_ring(ring, next, still_recording, nullptr);
      if (!capture_running()) break;
    }
  }
  flush_utterance(microphone_channel);
}

// Every buffer of the ring must be with the driver before it starts: the thread takes buffers in
// ring order, so a buffer left out would stop the microphone for good at its place, and a device
// that never started fills none. Either way the recording would be silent.
bool queue_buffers_and_start(Microphone& mic) {
  for (WAVEHDR& header : mic.headers) header = WAVEHDR{};  // nothing left prepared from a last run
  for (int i = 0; i < kBufferCount; ++i) {
    WAVEHDR& header = mic.headers[i];
    header.lpData = reinterpret_cast<LPSTR>(mic.buffers[i].data());
    header.dwBufferLength = kBufferBytes;
    if (waveInPrepareHeader(mic.device, &header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) return false;
    if (waveInAddBuffer(mic.device, &header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) return false;
  }
  return waveInStart(mic.device) == MMSYSERR_NOERROR;
}

// Takes every buffer back from the driver and closes the device. Failures here are not reported:
// the recording is over either way, and a device left busy makes the next open fail visibly.
// Unpreparing a header that was never prepared does nothing.
void release_device(Microphone& mic) {
  waveInStop(mic.device);
  waveInReset(mic.device);
  for (WAVEHDR& header : mic.headers) waveInUnprepareHeader(mic.device, &header, sizeof(WAVEHDR));
  waveInClose(mic.device);
  mic.device = nullptr;
  mic.buffer_event.reset();
}

}  // namespace

bool open_microphone(std::int32_t device) {
  Microphone& mic = microphone();
  mic.buffer_event.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!mic.buffer_event) return false;
  WAVEFORMATEX format = capture_format();
  const UINT id = device < 0 ? WAVE_MAPPER : static_cast<UINT>(device);
  if (waveInOpen(&mic.device, id, &format, reinterpret_cast<DWORD_PTR>(mic.buffer_event.get()), 0,
                 CALLBACK_EVENT) != MMSYSERR_NOERROR) {
    mic.buffer_event.reset();
    mic.device = nullptr;
    return false;
  }
  return true;
}

bool start_microphone() {
  Microphone& mic = microphone();
  if (mic.device == nullptr) return false;
  if (!queue_buffers_and_start(mic)) {
    release_device(mic);
    return false;
  }
  mic.thread = std::thread(microphone_thread);
  return true;
}

void close_microphone() {
  Microphone& mic = microphone();
  if (mic.device == nullptr) return;
  SetEvent(mic.buffer_event.get());
  if (mic.thread.joinable()) mic.thread.join();
  release_device(mic);
}

bool microphone_open() { return microphone().device != nullptr; }

void fill_microphone_list(HWND list) {
  SendMessageW(list, CB_RESETCONTENT, 0, 0);
  LRESULT item = SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"System default"));
  SendMessageW(list, CB_SETITEMDATA, item, static_cast<LPARAM>(kSystemDefaultMicrophone));
  const UINT count = waveInGetNumDevs();
  for (UINT id = 0; id < count; ++id) {
    WAVEINCAPSW caps{};
    if (waveInGetDevCapsW(id, &caps, sizeof caps) != MMSYSERR_NOERROR) continue;
    item = SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(caps.szPname));
    SendMessageW(list, CB_SETITEMDATA, item, static_cast<LPARAM>(id));
  }
  SendMessageW(list, CB_SETCURSEL, 0, 0);
}

}  // namespace colloquor
