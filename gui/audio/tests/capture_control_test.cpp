// The decisions of capture control that do not need a device: which runs start, which endpoint a
// list entry stands for, the state everything is in at program start, and the hand-over of the
// loopback failure text.
#include "audio/capture_control.h"

#include <gtest/gtest.h>

namespace colloquor {
namespace {

TEST(CaptureDecisions, ARunNeedsAtLeastOneSourceThatStarted) {
  EXPECT_TRUE(nothing_to_capture(false, false));
  EXPECT_FALSE(nothing_to_capture(true, false));
  EXPECT_FALSE(nothing_to_capture(false, true));

  // use_microphone, microphone_opened, use_system_audio
  EXPECT_TRUE(capture_continues(true, true, false));
  EXPECT_TRUE(capture_continues(true, true, true));
  EXPECT_FALSE(capture_continues(true, false, false));  // "Could not open the microphone."
  EXPECT_TRUE(capture_continues(true, false, true));    // the system audio alone
  EXPECT_TRUE(capture_continues(false, false, true));
  EXPECT_FALSE(capture_continues(false, false, false));
}

TEST(OutputDeviceEntries, EntryZeroAndEntriesBeyondTheIdsMeanTheDefaultDevice) {
  const std::vector<std::u16string> ids = {u"{0.0.0.00000000}.{a}", u"{0.0.0.00000000}.{b}"};
  EXPECT_EQ(endpoint_id_for_entry(ids, -1), u"");
  EXPECT_EQ(endpoint_id_for_entry(ids, 0), u"");
  EXPECT_EQ(endpoint_id_for_entry(ids, 1), ids[0]);
  EXPECT_EQ(endpoint_id_for_entry(ids, 2), ids[1]);
  EXPECT_EQ(endpoint_id_for_entry(ids, 3), u"");
  EXPECT_EQ(endpoint_id_for_entry({}, 1), u"");
}

TEST(OutputDeviceEntries, AStoredIdSelectsItsEntryOnlyWhenItMatchesExactly) {
  const std::vector<std::u16string> ids = {u"{0.0.0.00000000}.{a}", u"{0.0.0.00000000}.{b}"};
  EXPECT_EQ(entry_for_endpoint_id(ids, u"{0.0.0.00000000}.{b}"), 2);
  EXPECT_EQ(entry_for_endpoint_id(ids, u"{0.0.0.00000000}.{a}"), 1);
  EXPECT_EQ(entry_for_endpoint_id(ids, u"{0.0.0.00000000}.{B}"), 0);  // case matters
  EXPECT_EQ(entry_for_endpoint_id(ids, u"{0.0.0.00000000}.{c}"), 0);  // gone: the default
  EXPECT_EQ(entry_for_endpoint_id(ids, u""), 0);
}

TEST(CaptureStateAtStart, BothChannelsAreFreshAndNothingRuns) {
  EXPECT_FALSE(capture_running());
  EXPECT_FALSE(loopback_running());
  EXPECT_EQ(micon.load(), 1);  // "Use microphone" is on at a first start
  EXPECT_EQ(microphone_channel.channel, 0);
  EXPECT_EQ(system_audio_channel.channel, 1);
  for (const ChannelState* state : {&microphone_channel, &system_audio_channel}) {
    EXPECT_FLOAT_EQ(state->conditioner.noise_floor, 40.0f);
    EXPECT_FALSE(state->in_speech);
    EXPECT_TRUE(state->level_history.empty());
  }
}

TEST(LoopbackFailureReason, OnlyTextsMadeHereAreTakenBackAndEachOnce) {
  const std::intptr_t posted = make_loopback_failure_reason(u"cannot start loopback capture");
  ASSERT_NE(posted, 0);
  EXPECT_EQ(take_loopback_failure_reason(posted), u"cannot start loopback capture");
  EXPECT_EQ(take_loopback_failure_reason(posted), std::nullopt) << "already taken";
  std::u16string foreign = u"posted by another process";
  EXPECT_EQ(take_loopback_failure_reason(reinterpret_cast<std::intptr_t>(&foreign)), std::nullopt);
  EXPECT_EQ(take_loopback_failure_reason(0), std::nullopt);
  EXPECT_EQ(foreign, u"posted by another process");
}

TEST(LoopbackFailureReason, AReportOfAReplacedRunIsNotCurrent) {
  loopback_run.store(7);
  loopback_running.set(true);
  EXPECT_TRUE(loopback_failure_is_current(7));
  EXPECT_FALSE(loopback_failure_is_current(6));
  loopback_running.set(false);
  EXPECT_FALSE(loopback_failure_is_current(7)) << "the loopback was stopped meanwhile";
}

}  // namespace
}  // namespace colloquor
