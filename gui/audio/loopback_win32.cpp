// The other side: whatever an output device plays, captured through a shared-mode WASAPI loopback
// stream on its own thread and COM apartment, converted to 16 kHz mono blocks for channel 1. A
// loopback stream delivers nothing while the device is silent, so the thread pads the stream with
// silence to keep the detector and the meter of channel 1 running in real time.
#include <windows.h>
#include <audioclient.h>
#include <mmdeviceapi.h>
#include <mmreg.h>
#include <propidl.h>

#include <string>
#include <thread>

#include "audio/capture_control_win32.h"
#include "audio/loopback_convert.h"
#include "worker_link/worker_line.h"
#include "shared/win32_text.h"

namespace colloquor {
namespace {

constexpr DWORD kPollMs = 8;
constexpr REFERENCE_TIME kEndpointBufferDuration = 10'000'000;  // one second in 100 ns units

// PKEY_Device_FriendlyName, spelled out so that no extra import library is needed.
const PROPERTYKEY kFriendlyNameKey = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 14};

std::thread g_loopback_thread;

template <typename T>
void release(T*& object) {
  if (object != nullptr) object->Release();
  object = nullptr;
}

void post_failure(std::uint32_t run, const char16_t* reason) {
  HWND window = capture_window();
  const std::intptr_t text = make_loopback_failure_reason(reason);
  if (window == nullptr || !PostMessageW(window, WM_LOOPBACK_FAILED, run, text)) {
    take_loopback_failure_reason(text);  // nobody will take it: free it here
  }
}

// Everything the thread opens, released in reverse order whatever step failed.
struct LoopbackSession {
  IMMDeviceEnumerator* enumerator = nullptr;
  IMMDevice* endpoint = nullptr;
  IAudioClient* client = nullptr;
  WAVEFORMATEX* mix_format = nullptr;
  IAudioCaptureClient* capture = nullptr;
  bool started = false;
};

// Steps 2 to 9 of the set-up; the reason of the first failure, or nullptr.
const char16_t* set_up(LoopbackSession& s, const std::u16string& endpoint_id) {
  if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                              __uuidof(IMMDeviceEnumerator),
                              reinterpret_cast<void**>(&s.enumerator)))) {
    s.enumerator = nullptr;
    return u"audio device enumerator";
  }
  const HRESULT found = endpoint_id.empty()
                            ? s.enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &s.endpoint)
                            : s.enumerator->GetDevice(wide(endpoint_id), &s.endpoint);
  if (FAILED(found) || s.endpoint == nullptr) {
    s.endpoint = nullptr;
    return u"the selected output device is not available";
  }
  if (FAILED(s.endpoint->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                                  reinterpret_cast<void**>(&s.client)))) {
    s.client = nullptr;
    return u"cannot open the output device";
  }
  if (FAILED(s.client->GetMixFormat(&s.mix_format)) || s.mix_format == nullptr) {
    s.mix_format = nullptr;
    return u"cannot read the output format";
  }
  if (FAILED(s.client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_LOOPBACK,
                                  kEndpointBufferDuration, 0, s.mix_format, nullptr))) {
    return u"loopback capture is not available";
  }
  if (FAILED(s.client->GetService(__uuidof(IAudioCaptureClient),
                                  reinterpret_cast<void**>(&s.capture)))) {
    s.capture = nullptr;
    return u"cannot start loopback capture";
  }
  if (FAILED(s.client->Start())) return u"cannot start loopback capture";
  s.started = true;
  return nullptr;
}

void tear_down(LoopbackSession& s) {
  // A failing Stop is not worth a word: the client is released right below, which ends the stream
  // all the same, and nothing more is read from it.
  if (s.started) s.client->Stop();
  release(s.capture);
  if (s.mix_format != nullptr) CoTaskMemFree(s.mix_format);
  s.mix_format = nullptr;
  release(s.client);
  release(s.endpoint);
  release(s.enumerator);
}

MixFormat read_mix_format(const WAVEFORMATEX& format) {
  std::uint32_t subformat_word = 0;
  if (format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && format.cbSize >= 22) {
    subformat_word = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(format).SubFormat.Data1;
  }
  MixFormat mix = describe_mix_format(format.wFormatTag, format.nChannels, format.nSamplesPerSec,
                                      format.wBitsPerSample, subformat_word);
  // A frame layout that disagrees with the declared block size cannot be read safely: silence.
  if (format.nBlockAlign != frame_bytes(mix)) mix.coding = SampleCoding::unsupported;
  return mix;
}

void deliver_block(void*, std::int16_t* samples, std::uint32_t count) {
  process_block(system_audio_channel, samples, count);
}

bool still_wanted(void*) { return loopback_running(); }

bool next_packet_size(void* context, std::uint32_t* frames) {
  UINT32 size = 0;
  if (FAILED(static_cast<IAudioCaptureClient*>(context)->GetNextPacketSize(&size))) return false;
  *frames = size;
  return true;
}

bool get_packet(void* context, const std::uint8_t** data, std::uint32_t* frames, bool* silent) {
  BYTE* bytes = nullptr;
  UINT32 count = 0;
  DWORD flags = 0;
  if (FAILED(static_cast<IAudioCaptureClient*>(context)->GetBuffer(&bytes, &count, &flags, nullptr,
                                                                   nullptr))) {
    return false;
  }
  *data = bytes;
  *frames = count;
  *silent = (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0;
  return true;
}

bool release_packet(void* context, std::uint32_t frames) {
  return SUCCEEDED(static_cast<IAudioCaptureClient*>(context)->ReleaseBuffer(frames));
}

// Real time since the start of the run, in samples, from the performance counter.
struct RunClock {
  LARGE_INTEGER frequency{};
  LARGE_INTEGER start{};
};

std::int64_t samples_since_start(void* context) {
  const RunClock& clock = *static_cast<const RunClock*>(context);
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  return samples_due(now.QuadPart - clock.start.QuadPart, clock.frequency.QuadPart);
}

// Returns the reason when the stream broke off, nullptr when the thread was asked to end.
const char16_t* capture_loop(IAudioCaptureClient* capture, const WAVEFORMATEX& format) {
  LoopbackConverter converter;
  start_conversion(converter, read_mix_format(format));
  const BlockSink sink{nullptr, deliver_block};
  const PacketSource source{capture, next_packet_size, get_packet, release_packet};
  RunClock clock;
  QueryPerformanceFrequency(&clock.frequency);
  QueryPerformanceCounter(&clock.start);
  while (loopback_running()) {
    Sleep(kPollMs);
    if (!loopback_poll(converter, source, sink, samples_since_start, &clock, still_wanted,
                       nullptr)) {
      return u"the output device stopped delivering audio";
    }
  }
  return nullptr;
}

void loopback_thread(std::u16string endpoint_id, std::uint32_t run) {
  const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  LoopbackSession session;
  const char16_t* failure = FAILED(com) ? u"cannot initialise COM" : set_up(session, endpoint_id);
  if (failure == nullptr) failure = capture_loop(session.capture, *session.mix_format);
  if (failure != nullptr) post_failure(run, failure);
  tear_down(session);
  flush_utterance(system_audio_channel);
  if (SUCCEEDED(com)) CoUninitialize();
}

std::u16string endpoint_name(IMMDevice* device) {
  std::u16string name = u"(unnamed device)";
  IPropertyStore* store = nullptr;
  if (FAILED(device->OpenPropertyStore(STGM_READ, &store)) || store == nullptr) return name;
  PROPVARIANT value;
  PropVariantInit(&value);
  if (SUCCEEDED(store->GetValue(kFriendlyNameKey, &value)) && value.vt == VT_LPWSTR &&
      value.pwszVal != nullptr) {
    name = reinterpret_cast<const char16_t*>(value.pwszVal);
  }
  PropVariantClear(&value);
  store->Release();
  return name;
}

void add_endpoints(HWND list, IMMDeviceEnumerator* enumerator) {
  IMMDeviceCollection* endpoints = nullptr;
  if (FAILED(enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, &endpoints)) ||
      endpoints == nullptr) {
    return;
  }
  UINT count = 0;
  endpoints->GetCount(&count);
  for (UINT i = 0; i < count; ++i) {
    IMMDevice* device = nullptr;
    if (FAILED(endpoints->Item(i, &device)) || device == nullptr) continue;
    LPWSTR id = nullptr;
    if (SUCCEEDED(device->GetId(&id)) && id != nullptr) {
      output_endpoint_ids.push_back(reinterpret_cast<const char16_t*>(id));
      const std::u16string name = endpoint_name(device);
      SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide(name)));
      CoTaskMemFree(id);
    }
    device->Release();
  }
  endpoints->Release();
}

}  // namespace

void start_loopback_capture(const std::u16string& endpoint_id) {
  if (g_loopback_thread.joinable()) {
    loopback_running.set(false);
    g_loopback_thread.join();
  }
  install_capture_seams();
  reset_channel(system_audio_channel, kSystemChannel);
  const std::uint32_t run = loopback_run.fetch_add(1) + 1;
  loopback_running.set(true);
  g_loopback_thread = std::thread(loopback_thread, endpoint_id, run);
}

void stop_loopback_capture() {
  loopback_running.set(false);
  join_loopback_thread();
  clear_level_bar(kSystemChannel);
}

void join_loopback_thread() {
  if (g_loopback_thread.joinable()) g_loopback_thread.join();
}

void fill_output_device_list(HWND list) {
  SendMessageW(list, CB_RESETCONTENT, 0, 0);
  output_endpoint_ids.clear();
  SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Default output device"));
  IMMDeviceEnumerator* enumerator = nullptr;
  if (SUCCEEDED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                 __uuidof(IMMDeviceEnumerator),
                                 reinterpret_cast<void**>(&enumerator))) &&
      enumerator != nullptr) {
    add_endpoints(list, enumerator);
    enumerator->Release();
  }
  SendMessageW(list, CB_SETCURSEL, 0, 0);
}

}  // namespace colloquor
