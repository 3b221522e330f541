#include "audio/channel.h"

#include <string>

#include "audio/audio_seams.h"
#include "audio/live_options.h"
#include "worker_link/protocol.h"

namespace colloquor {

std::atomic<std::uint64_t> other_side_heard_at{0};

namespace {

void send_audio(const AudioSeams& seams, std::int32_t channel, const std::int16_t* samples,
                std::size_t count) {
  const std::string payload = audio_payload(channel, samples, count);
  emit_frame(seams, kFrameAudio, payload.data(), static_cast<std::uint32_t>(payload.size()));
}

void send_end(const AudioSeams& seams, std::int32_t channel) {
  const unsigned char channel_byte = static_cast<unsigned char>(channel & 0xFF);
  emit_frame(seams, kFrameEnd, &channel_byte, 1);
}

void send_pre_roll(const AudioSeams& seams, ChannelState& s) {
  for (std::size_t i = 0; i < s.pre_roll.size; ++i) {
    const std::vector<std::int16_t>& block = preroll_block(s.pre_roll, i);
    send_audio(seams, s.channel, block.data(), block.size());
  }
  preroll_clear(s.pre_roll);
}

// Notes a loud system-audio block, and tells whether the microphone is hearing the other side
// through the speakers. The tick is read only when one of the two needs it.
bool echo_condition(const ChannelState& s, bool loud, const BlockInputs& inputs) {
  const AudioSeams& seams = *inputs.seams;
  if (s.channel == kSystemChannel) {
    if (loud) inputs.other_side_heard_at->exchange(read_tick(seams));
    return false;
  }
  if (inputs.options.echo == 0 || inputs.options.sys == 0) return false;
  const std::uint64_t now = read_tick(seams);
  const std::uint64_t heard = inputs.other_side_heard_at->load();
  if (heard == 0) return false;  // the other side was never loud
  return static_cast<std::int64_t>(now - heard) < kEchoWindowMs;
}

void open_utterance(ChannelState& s, bool echo, const AudioSeams& seams) {
  s.in_speech = true;
  s.quiet_run = 0;
  s.speech_blocks = 0;
  s.muted = echo;
  if (!s.muted) {
    send_pre_roll(seams, s);
  } else {
    preroll_clear(s.pre_roll);
  }
}

void send_while_open(ChannelState& s, bool loud, bool echo, const std::int16_t* samples,
                     std::uint32_t count, const AudioSeams& seams) {
  if (echo) {
    if (!s.muted) {
      send_end(seams, s.channel);
      s.muted = true;
    }
    s.unmute_run = 0;
  } else if (s.muted && loud) {
    s.unmute_run += 1;
    if (s.unmute_run >= kUnmuteBlocks) {
      // The pre-roll holds this block and the two before it: the speech that made us unmute.
      s.muted = false;
      s.quiet_run = 0;
      s.unmute_run = 0;
      send_pre_roll(seams, s);
    }
  } else {
    s.unmute_run = 0;
    if (!s.muted) send_audio(seams, s.channel, samples, count);
  }
}

void close_if_done(ChannelState& s, bool loud, const AudioSeams& seams) {
  bool close = false;
  if (loud) {
    s.quiet_run = 0;
  } else {
    s.quiet_run += 1;
    close = s.quiet_run >= kHangoverBlocks;
  }
  if (!close) {
    s.speech_blocks += 1;
    close = s.speech_blocks >= kMaxUtteranceBlocks;
  }
  if (close) {
    if (!s.muted) send_end(seams, s.channel);
    s.in_speech = false;
    s.muted = false;
    s.loud_run = 0;
  }
}

void advance_detector(ChannelState& s, bool loud, bool echo, const std::int16_t* samples,
                      std::uint32_t count, const AudioSeams& seams) {
  if (!s.in_speech) {
    if (!loud) {
      s.loud_run = 0;
      return;
    }
    s.loud_run += 1;
    if (s.loud_run >= kOnsetBlocks) open_utterance(s, echo, seams);
    return;
  }
  send_while_open(s, loud, echo, samples, count, seams);
  close_if_done(s, loud, seams);
}

}  // namespace

void reset_channel(ChannelState& state, std::int32_t channel) {
  state = ChannelState{};  // the moved-in empty buffers release the old storage
  state.channel = channel;
}

BlockInputs live_block_inputs() {
  return BlockInputs{load_audio_options(), &audio_seams(), &other_side_heard_at};
}

void process_block(ChannelState& state, const BlockInputs& inputs, std::int16_t* samples,
                   std::uint32_t count) {
  if (samples == nullptr || count == 0) return;
  const AudioSeams& seams = *inputs.seams;
  condition_block(state.conditioner, block_options(state.channel, inputs.options), samples, count);

  const double level = block_level(samples, count);
  emit_level(seams, level_percent(level), level_lparam(state.channel, state.in_speech));

  record_level(state.level_history, state.history_writes, level);
  const double threshold =
      speech_threshold(history_percentile(state.level_history), state.in_speech);
  const bool loud = level > threshold;

  const bool echo = echo_condition(state, loud, inputs);
  preroll_push(state.pre_roll, samples, count);
  advance_detector(state, loud, echo, samples, count, seams);
}

void process_block(ChannelState& state, std::int16_t* samples, std::uint32_t count) {
  process_block(state, live_block_inputs(), samples, count);
}

void flush_utterance(ChannelState& state, const AudioSeams& seams) {
  if (state.in_speech && !state.muted) send_end(seams, state.channel);
  state.in_speech = false;
  state.muted = false;
}

void flush_utterance(ChannelState& state) { flush_utterance(state, audio_seams()); }

}  // namespace colloquor
