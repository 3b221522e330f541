// The microphone: WinMM wave input straight in the recognizer's format (16 kHz mono 16-bit) into a
// ring of eight 100 ms buffers. The driver signals an event for each filled buffer; one thread
// conditions each buffer in place (process_block) and gives it straight back to the driver.
#include <windows.h>
#include <mmsystem.h>

#include <array>
#include <string>
#include <thread>

#include "audio/capture_control_win32.h"

namespace colloquor {
namespace {

constexpr int kBufferCount = 8;
constexpr DWORD kBufferBytes = 3200;  // 1600 samples, 100 ms
constexpr DWORD kWaitMs = 200;

struct Microphone {
  HWAVEIN device = nullptr;
  HANDLE buffer_event = nullptr;
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

bool buffer_done(const WAVEHDR& header) {
  // The driver writes the flags from its own thread.
  return (static_cast<volatile const DWORD&>(header.dwFlags) & WHDR_DONE) != 0;
}

// Takes the filled buffers in ring order, starting after the last one taken; a buffer completed
// out of order waits for its predecessors.
void microphone_thread() {
  Microphone& mic = microphone();
  int index = 0;
  bool running = capture_running();
  while (running) {
    WaitForSingleObject(mic.buffer_event, kWaitMs);
    if (!capture_running()) break;
    while (buffer_done(mic.headers[index])) {
      WAVEHDR& header = mic.headers[index];
      process_block(microphone_channel, reinterpret_cast<std::int16_t*>(header.lpData),
                    header.dwBytesRecorded / 2);
      waveInAddBuffer(mic.device, &header, sizeof(WAVEHDR));
      index = (index + 1) % kBufferCount;
      if (!capture_running()) {
        running = false;
        break;
      }
    }
  }
  flush_utterance(microphone_channel);
}

}  // namespace

bool open_microphone(std::int32_t device) {
  Microphone& mic = microphone();
  mic.buffer_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (mic.buffer_event == nullptr) return false;
  WAVEFORMATEX format = capture_format();
  const UINT id = device < 0 ? WAVE_MAPPER : static_cast<UINT>(device);
  if (waveInOpen(&mic.device, id, &format, reinterpret_cast<DWORD_PTR>(mic.buffer_event), 0,
                 CALLBACK_EVENT) != MMSYSERR_NOERROR) {
    CloseHandle(mic.buffer_event);
    mic.buffer_event = nullptr;
    mic.device = nullptr;
    return false;
  }
  return true;
}

void start_microphone() {
  Microphone& mic = microphone();
  if (mic.device == nullptr) return;
  for (int i = 0; i < kBufferCount; ++i) {
    WAVEHDR& header = mic.headers[i];
    header = WAVEHDR{};
    header.lpData = reinterpret_cast<LPSTR>(mic.buffers[i].data());
    header.dwBufferLength = kBufferBytes;
    waveInPrepareHeader(mic.device, &header, sizeof(WAVEHDR));
    waveInAddBuffer(mic.device, &header, sizeof(WAVEHDR));
  }
  waveInStart(mic.device);
  mic.thread = std::thread(microphone_thread);
}

void close_microphone() {
  Microphone& mic = microphone();
  if (mic.device == nullptr) return;
  SetEvent(mic.buffer_event);
  if (mic.thread.joinable()) mic.thread.join();
  waveInStop(mic.device);
  waveInReset(mic.device);
  for (WAVEHDR& header : mic.headers) waveInUnprepareHeader(mic.device, &header, sizeof(WAVEHDR));
  waveInClose(mic.device);
  mic.device = nullptr;
  CloseHandle(mic.buffer_event);
  mic.buffer_event = nullptr;
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
