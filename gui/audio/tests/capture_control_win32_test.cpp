// Capture control with real devices under Wine: the default wave-input device is the monitor of a
// PulseAudio null sink, and this program plays test sounds into that sink through wave output, so
// the microphone hears them. Frames travel through the real frame writer into a real pipe that a
// thread here reads back; level reports and loopback failures arrive at a real window.
#include <windows.h>
#include <mmsystem.h>
#include <commctrl.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/capture_control_win32.h"
#include "audio/live_options.h"
#include "worker_link/frame_writer.h"
#include "worker_link/worker_line.h"

namespace colloquor {
namespace {

constexpr std::int32_t kMissingDevice = 4000;  // no such wave-input device
constexpr std::uint32_t kBlockPayload = 1 + 2 * 1600;
constexpr double kTwoPi = 6.283185307179586;

// ---- The worker's side of the pipe ----------------------------------------------------------

struct Frame {
  char type = 0;
  std::string payload;
};

struct FrameLog {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<Frame> frames;
};

FrameLog& frame_log() {
  static FrameLog* log = new FrameLog();
  return *log;
}

void read_frames(HANDLE pipe) {
  std::string bytes;
  char chunk[8192];
  DWORD got = 0;
  while (ReadFile(pipe, chunk, sizeof chunk, &got, nullptr) && got > 0) {
    bytes.append(chunk, got);
    while (bytes.size() >= 5) {
      std::uint32_t length = 0;
      std::memcpy(&length, bytes.data() + 1, 4);
      if (bytes.size() < 5 + length) break;
      Frame frame{bytes[0], bytes.substr(5, length)};
      bytes.erase(0, 5 + length);
      std::lock_guard<std::mutex> lock(frame_log().mutex);
      frame_log().frames.push_back(std::move(frame));
      frame_log().arrived.notify_all();
    }
  }
}

std::size_t frame_count() {
  std::lock_guard<std::mutex> lock(frame_log().mutex);
  return frame_log().frames.size();
}

std::vector<Frame> frames_since(std::size_t first) {
  std::lock_guard<std::mutex> lock(frame_log().mutex);
  const std::vector<Frame>& all = frame_log().frames;
  return std::vector<Frame>(all.begin() + static_cast<std::ptrdiff_t>(std::min(first, all.size())),
                            all.end());
}

bool is_end(const Frame& frame, int channel) {
  return frame.type == 'E' && frame.payload.size() == 1 && frame.payload[0] == channel;
}
bool is_audio(const Frame& frame, int channel) {
  return frame.type == 'A' && !frame.payload.empty() && frame.payload[0] == channel;
}

// Root mean square of an "A" frame's samples.
double frame_rms(const Frame& frame) {
  const std::size_t count = (frame.payload.size() - 1) / 2;
  if (count == 0) return 0.0;
  double sum = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    std::int16_t sample;
    std::memcpy(&sample, frame.payload.data() + 1 + 2 * i, 2);
    sum += static_cast<double>(sample) * sample;
  }
  return std::sqrt(sum / static_cast<double>(count));
}

// ---- The window's side ----------------------------------------------------------------------

struct LevelReport {
  WPARAM percent;
  LPARAM lparam;
};

// The test window's level bars, by their own ids.
constexpr int kMicrophoneBar = 1;
constexpr int kSystemAudioBar = 2;

std::vector<LevelReport> g_levels;
std::vector<std::u16string> g_loopback_failures;
std::vector<bool> g_failures_current;  // each report named the loopback run wanted at its arrival

LRESULT CALLBACK test_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_AUDIO_LEVEL) {
    g_levels.push_back({wparam, lparam});
    const int bar = (lparam >> 1) & 1 ? kSystemAudioBar : kMicrophoneBar;
    SendMessageW(GetDlgItem(window, bar), PBM_SETPOS, wparam, 0);
    return 0;
  }
  if (message == WM_LOOPBACK_FAILED) {
    const std::optional<std::u16string> reason = take_loopback_failure_reason(lparam);
    if (!reason) return 0;
    g_failures_current.push_back(loopback_failure_is_current(static_cast<std::uint32_t>(wparam)));
    loopback_running.set(false);
    g_loopback_failures.push_back(*reason);
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

HWND make_test_window() {
  LoadLibraryW(L"comctl32.dll");  // registers the progress bar class
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = test_window_proc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = L"CaptureControlTest";
  RegisterClassW(&window_class);
  HWND window = CreateWindowExW(0, L"CaptureControlTest", L"capture", WS_OVERLAPPEDWINDOW, 0, 0,
                                400, 200, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  for (int id : {kMicrophoneBar, kSystemAudioBar}) {
    HWND bar = CreateWindowExW(0, L"msctls_progress32", L"", WS_CHILD | WS_VISIBLE, 0, 0, 100, 10,
                               window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                               GetModuleHandleW(nullptr), nullptr);
    SendMessageW(bar, PBM_SETRANGE32, 0, 100);
  }
  return window;
}

int bar_position(int id) {
  return static_cast<int>(SendMessageW(GetDlgItem(capture_window(), id), PBM_GETPOS, 0, 0));
}

void pump_messages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
}

// Pumps the window's messages until done() holds or the time is up.
template <typename Done>
bool pump_until(Done done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    pump_messages();
    if (done()) return true;
    Sleep(10);
  }
  pump_messages();
  return done();
}

int levels_of_channel(int channel) {
  int count = 0;
  for (const LevelReport& report : g_levels) count += ((report.lparam >> 1) & 1) == channel;
  return count;
}

// ---- A loud sound played into the sink the microphone listens to -----------------------------

class Player {
 public:
  // seconds of a two-tone sound at about a third of full scale
  explicit Player(double seconds) : samples_(static_cast<std::size_t>(seconds * 16000)) {
    for (std::size_t i = 0; i < samples_.size(); ++i) {
      const double t = static_cast<double>(i) / 16000.0;
      samples_[i] = static_cast<std::int16_t>(7000.0 * std::sin(kTwoPi * 440.0 * t) +
                                              4000.0 * std::sin(kTwoPi * 1250.0 * t));
    }
    WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, 16000, 32000, 2, 16, 0};
    if (waveOutOpen(&device_, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) {
      device_ = nullptr;
      return;
    }
    header_.lpData = reinterpret_cast<LPSTR>(samples_.data());
    header_.dwBufferLength = static_cast<DWORD>(samples_.size() * 2);
    waveOutPrepareHeader(device_, &header_, sizeof header_);
    waveOutWrite(device_, &header_, sizeof header_);
  }
  ~Player() {
    if (device_ == nullptr) return;
    waveOutReset(device_);
    waveOutUnprepareHeader(device_, &header_, sizeof header_);
    waveOutClose(device_);
  }
  bool playing() const { return device_ != nullptr; }
  bool finished() const { return (header_.dwFlags & WHDR_DONE) != 0; }

 private:
  std::vector<std::int16_t> samples_;
  HWAVEOUT device_ = nullptr;
  WAVEHDR header_{};
};

// ---- Fixture --------------------------------------------------------------------------------

class CaptureControlTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 1 << 20));
    set_worker_input(write_end);
    std::thread(read_frames, read_end).detach();
    HWND window = make_test_window();
    set_capture_window(CaptureWindow{window, GetDlgItem(window, kMicrophoneBar),
                                     GetDlgItem(window, kSystemAudioBar)});
  }

  void SetUp() override {
    g_levels.clear();
    g_loopback_failures.clear();
    g_failures_current.clear();
    live_options.echo.store(0);
    live_options.agc.store(1);
    live_options.ns.store(1);
    live_options.nsv.store(50);
    live_options.gain.store(0);
    live_options.boost.store(0);
  }

  void TearDown() override {
    stop_capture();
    pump_messages();
  }

  static void use_sources(bool microphone, bool system_audio) {
    micon.store(microphone ? 1 : 0);
    live_options.sys.store(system_audio ? 1 : 0);
  }
};

TEST_F(CaptureControlTest, MicrophoneListStartsWithSystemDefaultThenEveryDevice) {
  HWND list = CreateWindowExW(0, L"COMBOBOX", L"", WS_CHILD | CBS_DROPDOWNLIST, 0, 0, 200, 200,
                              capture_window(), nullptr, GetModuleHandleW(nullptr), nullptr);
  fill_microphone_list(list);
  ASSERT_GE(SendMessageW(list, CB_GETCOUNT, 0, 0), 1);
  wchar_t text[128] = {};
  SendMessageW(list, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(text));
  EXPECT_STREQ(text, L"System default");
  EXPECT_EQ(SendMessageW(list, CB_GETITEMDATA, 0, 0), -1);
  EXPECT_EQ(SendMessageW(list, CB_GETCURSEL, 0, 0), 0);

  std::vector<std::wstring> expected;
  for (UINT id = 0; id < waveInGetNumDevs(); ++id) {
    WAVEINCAPSW caps{};
    if (waveInGetDevCapsW(id, &caps, sizeof caps) == MMSYSERR_NOERROR) {
      expected.push_back(caps.szPname);
    }
  }
  EXPECT_FALSE(expected.empty()) << "the virtual microphone should be listed";
  ASSERT_EQ(SendMessageW(list, CB_GETCOUNT, 0, 0), static_cast<LRESULT>(expected.size() + 1));
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SendMessageW(list, CB_GETLBTEXT, i + 1, reinterpret_cast<LPARAM>(text));
    EXPECT_EQ(std::wstring(text), expected[i]);
    EXPECT_EQ(SendMessageW(list, CB_GETITEMDATA, i + 1, 0), static_cast<LRESULT>(i));
  }
  // Filling again does not duplicate entries.
  fill_microphone_list(list);
  EXPECT_EQ(SendMessageW(list, CB_GETCOUNT, 0, 0), static_cast<LRESULT>(expected.size() + 1));
  DestroyWindow(list);
}

TEST_F(CaptureControlTest, OutputDeviceListStartsWithTheDefaultAndKeepsTheEndpointIds) {
  HWND list = CreateWindowExW(0, L"COMBOBOX", L"", WS_CHILD | CBS_DROPDOWNLIST, 0, 0, 200, 200,
                              capture_window(), nullptr, GetModuleHandleW(nullptr), nullptr);
  fill_output_device_list(list);
  wchar_t text[256] = {};
  SendMessageW(list, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(text));
  EXPECT_STREQ(text, L"Default output device");
  EXPECT_EQ(SendMessageW(list, CB_GETCURSEL, 0, 0), 0);
  EXPECT_EQ(SendMessageW(list, CB_GETCOUNT, 0, 0),
            static_cast<LRESULT>(output_endpoint_ids.size() + 1));
  EXPECT_FALSE(output_endpoint_ids.empty()) << "the null sink should be an active endpoint";
  for (std::size_t i = 0; i < output_endpoint_ids.size(); ++i) {
    EXPECT_FALSE(output_endpoint_ids[i].empty());
    EXPECT_EQ(entry_for_endpoint_id(output_endpoint_ids, output_endpoint_ids[i]),
              static_cast<int>(i) + 1);
    SendMessageW(list, CB_GETLBTEXT, i + 1, reinterpret_cast<LPARAM>(text));
    EXPECT_GT(std::wcslen(text), 0u);
  }
  fill_output_device_list(list);
  EXPECT_EQ(SendMessageW(list, CB_GETCOUNT, 0, 0),
            static_cast<LRESULT>(output_endpoint_ids.size() + 1));
  DestroyWindow(list);
}

TEST_F(CaptureControlTest, BothSourcesOffStartsNothing) {
  use_sources(false, false);
  const std::size_t before = frame_count();
  EXPECT_FALSE(start_capture(kSystemDefaultMicrophone));
  EXPECT_FALSE(capture_running());
  EXPECT_FALSE(microphone_open());
  EXPECT_FALSE(loopback_running());
  pump_until([] { return false; }, std::chrono::milliseconds(500));
  EXPECT_TRUE(g_levels.empty());
  EXPECT_EQ(frame_count(), before);
}

TEST_F(CaptureControlTest, AMicrophoneThatCannotOpenFailsWhenItIsTheOnlySource) {
  use_sources(true, false);
  EXPECT_FALSE(start_capture(kMissingDevice));
  EXPECT_FALSE(capture_running());
  EXPECT_FALSE(microphone_open());
  pump_until([] { return false; }, std::chrono::milliseconds(300));
  EXPECT_TRUE(g_levels.empty());
}

TEST_F(CaptureControlTest, StopWhenNotRecordingTouchesNothing) {
  SendMessageW(GetDlgItem(capture_window(), kMicrophoneBar), PBM_SETPOS, 42, 0);
  stop_capture();
  EXPECT_EQ(bar_position(kMicrophoneBar), 42);
  SendMessageW(GetDlgItem(capture_window(), kMicrophoneBar), PBM_SETPOS, 0, 0);
}

TEST_F(CaptureControlTest, SpeechOnTheMicrophoneArrivesAsAnUtteranceClosedByE) {
  use_sources(true, false);
  ASSERT_TRUE(start_capture(kSystemDefaultMicrophone));
  EXPECT_TRUE(capture_running());
  EXPECT_TRUE(microphone_open());
  EXPECT_FALSE(loopback_running());
  // Let the detector learn the quiet before the sound.
  ASSERT_TRUE(pump_until([] { return levels_of_channel(0) >= 8; }, std::chrono::seconds(5)));

  const std::size_t first = frame_count();
  {
    Player sound(1.5);
    ASSERT_TRUE(sound.playing());
    auto utterance_closed = [&] {
      for (const Frame& frame : frames_since(first)) {
        if (is_end(frame, 0)) return true;
      }
      return false;
    };
    ASSERT_TRUE(pump_until(utterance_closed, std::chrono::seconds(10)));
  }
  const std::vector<Frame> frames = frames_since(first);
  int audio = 0;
  int loud = 0;
  for (const Frame& frame : frames) {
    if (is_end(frame, 0)) break;
    ASSERT_TRUE(is_audio(frame, 0)) << "frame type " << frame.type;
    EXPECT_EQ(frame.payload.size(), kBlockPayload);
    ++audio;
    loud += frame_rms(frame) > 1000.0;  // the conditioned sound, not silence
  }
  std::printf("utterance: %d audio frames, %d of them loud\n", audio, loud);
  EXPECT_GE(loud, 10);
  // 1.5 s of sound and the 0.7 s hang-over, from the pre-roll on.
  EXPECT_GE(audio, 15);
  EXPECT_LE(audio, 40);

  // The level reports saw the sound (speech flag set, a real level) and only channel 0.
  bool heard = false;
  for (const LevelReport& report : g_levels) {
    EXPECT_EQ((report.lparam >> 1) & 1, 0);
    EXPECT_LE(report.percent, 100u);
    if ((report.lparam & 1) && report.percent > 10) heard = true;
  }
  EXPECT_TRUE(heard);

  stop_capture();
  EXPECT_FALSE(capture_running());
  EXPECT_FALSE(microphone_open());
  EXPECT_EQ(bar_position(kMicrophoneBar), 0);
  EXPECT_EQ(bar_position(kSystemAudioBar), 0);
}

TEST_F(CaptureControlTest, StoppingInsideAnUtteranceSendsItsEBeforeReturning) {
  use_sources(true, false);
  ASSERT_TRUE(start_capture(kSystemDefaultMicrophone));
  ASSERT_TRUE(pump_until([] { return levels_of_channel(0) >= 8; }, std::chrono::seconds(5)));
  const std::size_t first = frame_count();
  Player sound(6.0);
  ASSERT_TRUE(sound.playing());
  auto speaking = [&] {
    int audio = 0;
    for (const Frame& frame : frames_since(first)) audio += is_audio(frame, 0);
    return audio >= 6;
  };
  ASSERT_TRUE(pump_until(speaking, std::chrono::seconds(10)));
  EXPECT_FALSE(sound.finished());

  stop_capture();
  EXPECT_FALSE(capture_running());
  // Everything the capture thread sent is in the writer's hands now; give the pipe a moment.
  pump_until([] { return false; }, std::chrono::milliseconds(700));
  const std::vector<Frame> frames = frames_since(first);
  ASSERT_FALSE(frames.empty());
  EXPECT_TRUE(is_end(frames.back(), 0)) << "last frame " << frames.back().type;
  int ends = 0;
  for (const Frame& frame : frames) ends += is_end(frame, 0);
  EXPECT_EQ(ends, 1);
  EXPECT_EQ(bar_position(kMicrophoneBar), 0);
}

TEST_F(CaptureControlTest, SystemAudioAloneOpensNoMicrophone) {
  use_sources(false, true);
  ASSERT_TRUE(start_capture(kSystemDefaultMicrophone));
  EXPECT_TRUE(capture_running());
  EXPECT_FALSE(microphone_open());
  // Under Wine the loopback stream cannot deliver; elsewhere it runs and reports channel 1 levels.
  const bool settled =
      pump_until([] { return !g_loopback_failures.empty() || levels_of_channel(1) >= 5; },
                 std::chrono::seconds(5));
  EXPECT_TRUE(settled);
  const std::vector<std::u16string> reasons = {
      u"audio device enumerator",           u"the selected output device is not available",
      u"cannot open the output device",     u"cannot read the output format",
      u"loopback capture is not available", u"cannot start loopback capture"};
  for (const std::u16string& reason : g_loopback_failures) {
    EXPECT_NE(std::find(reasons.begin(), reasons.end(), reason), reasons.end());
    std::printf("loopback failure reported: %ls\n",
                reinterpret_cast<const wchar_t*>(reason.c_str()));
  }
  EXPECT_LE(g_loopback_failures.size(), 1u);
  EXPECT_EQ(levels_of_channel(0), 0);
  EXPECT_TRUE(capture_running()) << "a loopback failure does not stop the recording";
  stop_capture();
  EXPECT_FALSE(capture_running());
  EXPECT_FALSE(loopback_running());
  EXPECT_EQ(bar_position(kMicrophoneBar), 0);
}

TEST_F(CaptureControlTest, AnOutputDeviceThatIsGoneIsReportedAndTheMicrophoneGoesOn) {
  // An endpoint that was listed once and has since been unplugged.
  const std::u16string gone = u"{0.0.0.00000000}.{00000000-0000-0000-0000-00000000dead}";
  use_sources(true, true);
  ASSERT_TRUE(start_capture(kSystemDefaultMicrophone, gone));
  EXPECT_TRUE(microphone_open());
  ASSERT_TRUE(pump_until([] { return !g_loopback_failures.empty(); }, std::chrono::seconds(5)));
  EXPECT_EQ(g_loopback_failures[0], u"the selected output device is not available");
  EXPECT_TRUE(g_failures_current[0]);
  EXPECT_FALSE(loopback_running());
  // Recording goes on with the microphone.
  EXPECT_TRUE(capture_running());
  g_levels.clear();
  EXPECT_TRUE(pump_until([] { return levels_of_channel(0) >= 3; }, std::chrono::seconds(5)));

  // Choosing another device restarts the loopback alone; the microphone keeps running.
  g_loopback_failures.clear();
  start_loopback_capture();
  start_loopback_capture();  // a restart joins the previous thread first
  pump_until([] { return g_loopback_failures.size() >= 2 || levels_of_channel(1) >= 3; },
             std::chrono::seconds(3));
  for (const std::u16string& reason : g_loopback_failures) {
    EXPECT_NE(reason, u"the selected output device is not available");
  }
  EXPECT_TRUE(microphone_open());
  SendMessageW(GetDlgItem(capture_window(), kSystemAudioBar), PBM_SETPOS, 30, 0);
  stop_loopback_capture();
  EXPECT_FALSE(loopback_running());
  EXPECT_EQ(bar_position(kSystemAudioBar), 0);
  EXPECT_TRUE(capture_running());
  EXPECT_TRUE(microphone_open());

  stop_capture();
}

TEST_F(CaptureControlTest, AMissingMicrophoneWithSystemAudioRecordsTheSystemAudioAlone) {
  use_sources(true, true);
  ASSERT_TRUE(start_capture(kMissingDevice));
  EXPECT_TRUE(capture_running());
  EXPECT_FALSE(microphone_open());
  pump_until([] { return !g_loopback_failures.empty() || levels_of_channel(1) >= 5; },
             std::chrono::seconds(5));
  EXPECT_EQ(levels_of_channel(0), 0);
  stop_capture();
  EXPECT_FALSE(capture_running());
}

TEST_F(CaptureControlTest, StartAndStopRepeatedly) {
  use_sources(true, false);
  for (int run = 0; run < 6; ++run) {
    g_levels.clear();
    ASSERT_TRUE(start_capture(kSystemDefaultMicrophone)) << "run " << run;
    EXPECT_TRUE(microphone_open());
    if (run % 2 == 0) {
      // Some runs long enough to deliver blocks, others stopped at once.
      EXPECT_TRUE(pump_until([] { return levels_of_channel(0) >= 2; }, std::chrono::seconds(5)));
    }
    if (run == 3) {
      // A second start without a stop finishes the first run instead of leaking its thread.
      ASSERT_TRUE(start_capture(kSystemDefaultMicrophone));
      EXPECT_TRUE(microphone_open());
    }
    stop_capture();
    EXPECT_FALSE(capture_running());
    EXPECT_FALSE(microphone_open());
    stop_capture();  // a second stop is harmless
  }
  // The device is still usable afterwards.
  g_levels.clear();
  ASSERT_TRUE(start_capture(kSystemDefaultMicrophone));
  EXPECT_TRUE(pump_until([] { return levels_of_channel(0) >= 3; }, std::chrono::seconds(5)));
  stop_capture();
}

TEST_F(CaptureControlTest, ToggleTheMicrophoneWhileTheSystemAudioRuns) {
  // The window's "Use microphone" toggle: stop_capture, then start_capture with the new switch.
  use_sources(true, true);
  ASSERT_TRUE(start_capture(kSystemDefaultMicrophone));
  EXPECT_TRUE(microphone_open());
  micon.store(0);
  stop_capture();
  ASSERT_TRUE(start_capture(kSystemDefaultMicrophone));
  EXPECT_FALSE(microphone_open());
  EXPECT_TRUE(capture_running());
  live_options.sys.store(0);
  stop_capture();
  EXPECT_FALSE(start_capture(kSystemDefaultMicrophone));
  EXPECT_FALSE(capture_running());
}

}  // namespace
}  // namespace colloquor
