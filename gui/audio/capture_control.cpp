#include "audio/capture_control.h"

#include <array>
#include <memory>

#include "worker_link/posted_records.h"

namespace colloquor {
namespace {

std::array<std::atomic<std::uint64_t>, 2> last_frame_ticks{};

PostedRecords<std::u16string>& failure_reasons() {
  // Never destroyed: a loopback thread may still report while the process exits.
  static auto* records = new PostedRecords<std::u16string>();
  return *records;
}

ChannelState channel_state(std::int32_t channel) {
  ChannelState state;
  state.channel = channel;
  return state;
}

}  // namespace

SharedFlag capture_running;
SharedFlag loopback_running;
std::atomic<std::int32_t> micon{1};
ChannelState microphone_channel = channel_state(kMicrophoneChannel);
ChannelState system_audio_channel = channel_state(kSystemChannel);
std::vector<std::u16string> output_endpoint_ids;

bool nothing_to_capture(bool use_microphone, bool use_system_audio) {
  return !use_microphone && !use_system_audio;
}

bool capture_continues(bool use_microphone, bool microphone_opened, bool use_system_audio) {
  if (use_microphone && microphone_opened) return true;
  return use_system_audio;
}

std::u16string endpoint_id_for_entry(const std::vector<std::u16string>& ids, int entry) {
  if (entry <= 0 || static_cast<std::size_t>(entry) > ids.size()) return {};
  return ids[static_cast<std::size_t>(entry) - 1];
}

int entry_for_endpoint_id(const std::vector<std::u16string>& ids, const std::u16string& id) {
  if (id.empty()) return 0;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (ids[i] == id) return static_cast<int>(i) + 1;
  }
  return 0;
}

std::atomic<std::uint32_t> loopback_run{0};

bool loopback_failure_is_current(std::uint32_t run) {
  return run == loopback_run.load() && loopback_running();
}

std::intptr_t make_loopback_failure_reason(const std::u16string& reason) {
  return failure_reasons().give(std::make_unique<std::u16string>(reason));
}

std::optional<std::u16string> take_loopback_failure_reason(std::intptr_t lparam) {
  const std::unique_ptr<std::u16string> text = failure_reasons().take(lparam);
  if (!text) return std::nullopt;
  return std::move(*text);
}

void note_audio_frame(int channel, std::uint64_t tick) {
  last_frame_ticks[static_cast<std::size_t>(channel & 1)].store(tick);
}

std::uint64_t last_audio_frame_tick(int channel) {
  return last_frame_ticks[static_cast<std::size_t>(channel & 1)].load();
}

}  // namespace colloquor
