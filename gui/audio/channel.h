// One capture channel's conditioning and speech detection: every captured block goes through
// process_block on its capture thread, which conditions it in place, reports its level, decides
// loud or quiet, and sends the utterance to the worker as "A" frames closed by an "E" frame.
// Frames, level reports and the tick go through the seams of audio/audio_seams.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "audio/audio_seams.h"
#include "audio/conditioning.h"
#include "audio/detector.h"

namespace colloquor {

struct ChannelState {
  std::int32_t channel = kMicrophoneChannel;  // its low byte is the channel byte of every frame
  Conditioner conditioner;
  PreRoll pre_roll;
  std::vector<double> level_history;
  std::uint64_t history_writes = 0;
  bool in_speech = false;  // an utterance is open
  bool muted = false;      // the open utterance was cut by the echo filter
  std::int32_t quiet_run = 0;
  std::int32_t loud_run = 0;
  std::int32_t speech_blocks = 0;
  std::int32_t unmute_run = 0;
};

// Tick of the last loud system-audio block; 0 until the other side was first heard. Written by
// the system-audio thread, read by the microphone thread for the echo filter.
extern std::atomic<std::uint64_t> other_side_heard_at;

// Back to the initial state for the given channel, storage of the pre-roll and history released.
// Only while the channel's capture thread is not running.
void reset_channel(ChannelState& state, std::int32_t channel);

// Everything a block reads besides its channel state: the options taken once for it, where frames,
// levels and the tick go, and the tick of the other side's last loud block (the system-audio
// channel writes it, the microphone's echo filter reads it).
struct BlockInputs {
  AudioOptions options;
  const AudioSeams* seams = nullptr;
  std::atomic<std::uint64_t>* other_side_heard_at = nullptr;
};

// The inputs of a capture thread's block: the live options now, the installed seams and the
// process-wide tick above.
BlockInputs live_block_inputs();

// Conditions samples[0..count) in place and advances the channel's detector. An empty block
// (count 0 or no samples) carries no audio and changes nothing.
void process_block(ChannelState& state, const BlockInputs& inputs, std::int16_t* samples,
                   std::uint32_t count);
// The same with live_block_inputs(), as the capture threads call it.
void process_block(ChannelState& state, std::int16_t* samples, std::uint32_t count);

// The capture thread's last call: closes an open, unmuted utterance with "E".
void flush_utterance(ChannelState& state, const AudioSeams& seams);
void flush_utterance(ChannelState& state);

}  // namespace colloquor
