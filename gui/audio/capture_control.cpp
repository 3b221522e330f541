#include "audio/capture_control.h"

namespace colloquor {
namespace {

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

std::intptr_t make_loopback_failure_reason(const std::u16string& reason) {
  return reinterpret_cast<std::intptr_t>(new std::u16string(reason));
}

std::u16string take_loopback_failure_reason(std::intptr_t lparam) {
  if (lparam == 0) return {};
  std::u16string* text = reinterpret_cast<std::u16string*>(lparam);
  std::u16string reason = std::move(*text);
  delete text;
  return reason;
}

}  // namespace colloquor
