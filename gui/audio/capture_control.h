// Starting and stopping capture as a whole: the microphone (channel 0, WinMM) and the system audio
// (channel 1, WASAPI loopback). The window thread alone calls start_capture, stop_capture,
// start_loopback_capture and stop_loopback_capture; the capture threads read the flags below after
// every wait or poll and end on their own once their flag is 0. Portable declarations; the Win32
// shells are capture_control_win32.cpp, microphone_win32.cpp and loopback_win32.cpp.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "audio/channel.h"

namespace colloquor {

// A byte shared between the window thread and a capture thread, written with atomic exchanges and
// read with atomic loads. capture_running() reads it as a condition.
struct SharedFlag {
  std::atomic<std::uint8_t> value{0};
  bool operator()() const { return value.load() == 1; }
  void set(bool on) { value.exchange(on ? 1 : 0); }
};

// 1 while recording (Record pressed and capture started).
extern SharedFlag capture_running;
// 1 while the loopback thread is wanted; the window clears it after WM_LOOPBACK_FAILED too.
extern SharedFlag loopback_running;

// The live value of "Use microphone" (0 or 1), written by the window with an atomic exchange. The
// other live values that capture reads (sys and the conditioning options) are in live_options.h.
extern std::atomic<std::int32_t> micon;

// The two channel states, channel 0 and channel 1 from program start on. Each is touched only by
// its capture thread while that runs, and reset only while it does not.
extern ChannelState microphone_channel;
extern ChannelState system_audio_channel;

// Item data of "System default" in the microphone list.
inline constexpr std::int32_t kSystemDefaultMicrophone = -1;

// Opens the microphone `device` (a wave-input id, or kSystemDefaultMicrophone) when micon is set
// and starts the loopback on the output endpoint `endpoint_id` (empty: the default device) when
// sys is set. True when at least one source started; false (and nothing running) otherwise.
bool start_capture(std::int32_t device, const std::u16string& endpoint_id = {});
// Stops both sources, each open utterance ending with its "E" frame, and sets both level bars to 0.
// Does nothing unless capture_running is set.
void stop_capture();

// (Re)starts the system audio on an output endpoint (empty: the default device); stops it.
void start_loopback_capture(const std::u16string& endpoint_id = {});
void stop_loopback_capture();

// ---- Rules of the steps above (portable, tested natively) ------------------------------------

// Nothing would be captured: neither the microphone nor the system audio is enabled.
bool nothing_to_capture(bool use_microphone, bool use_system_audio);
// After open_microphone: whether the run goes on (with the microphone, or with the system audio
// alone when the microphone failed).
bool capture_continues(bool use_microphone, bool microphone_opened, bool use_system_audio);

// The output device list holds "Default output device" and then one entry per endpoint id. The
// endpoint of list entry k: empty (the default device) for k <= 0 or beyond the ids.
std::u16string endpoint_id_for_entry(const std::vector<std::u16string>& ids, int entry);
// The list entry of a stored endpoint id (exact comparison); 0 when it is empty or not listed.
int entry_for_endpoint_id(const std::vector<std::u16string>& ids, const std::u16string& id);

// The endpoint ids behind the output device list, filled by fill_output_device_list; window thread.
extern std::vector<std::u16string> output_endpoint_ids;

// Reason text of WM_LOOPBACK_FAILED: the loopback thread gives it away with the post; the receiver
// takes it back with take_loopback_failure_reason. Only texts made here are taken back, each once:
// nothing for an address that another process posted.
std::intptr_t make_loopback_failure_reason(const std::u16string& reason);
std::optional<std::u16string> take_loopback_failure_reason(std::intptr_t lparam);

// The number of the latest loopback run, raised by every start (window thread). A failure report
// names its run, so that a report still queued from a run that was replaced is ignored.
extern std::atomic<std::uint32_t> loopback_run;
// True when a failure report of `run` concerns the loopback that is wanted now.
bool loopback_failure_is_current(std::uint32_t run);

// Tick (GetTickCount64) of the last audio or end-of-utterance frame each capture thread sent for
// its channel; 0 before any. The window compares it with the worker's answers to know whether a
// stopped recording still has an utterance waiting for its finished lines.
void note_audio_frame(int channel, std::uint64_t tick);
std::uint64_t last_audio_frame_tick(int channel);

}  // namespace colloquor
