// Recording into wave files against the virtual box's audio-in stream.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_state.h"
#include "audio/recorder.h"
#include "audio_fixture.h"
#include "device/notices.h"
#include "support/file_size_limit.h"
#include "vbox/audio.h"

namespace tavro {
namespace {

using test::FileSizeLimit;

using std::chrono::milliseconds;
using test::AudioBoxTest;
using test::eventually;
using test::le32;
using test::readBytes;

// The frame numbers of the 250-byte payloads of a recorded file; -1 for a payload that is
// not a pattern frame.
std::vector<int64_t> frameNumbers(const std::vector<uint8_t>& file) {
  std::vector<int64_t> out;
  for (size_t at = 48; at + 250 <= file.size(); at += 250) {
    vbox::Frame f{};
    std::memcpy(f.data(), "stcq", 4);
    std::memcpy(f.data() + 6, file.data() + at, 250);
    out.push_back(vbox::isPatternFrame(f.data()) ? vbox::patternFrameNumber(f.data()) : -1);
  }
  return out;
}

// True when the numbers run on one by one from the first.
bool consecutive(const std::vector<int64_t>& n) {
  for (size_t i = 1; i < n.size(); ++i)
    if (n[i] < 0 || n[i] != n[i - 1] + 1) return false;
  return !n.empty() && n[0] >= 0;
}

class Recording : public AudioBoxTest {
 protected:
  void SetUp() override {
    AudioBoxTest::SetUp();
    box_.setLineSource(vbox::LineSource::pattern());
    box_.setAudioPace(20);
  }
  void TearDown() override { setRecordingLimit(0); }

  // Waits until the recorder has received at least `bytes`.
  bool received(int32_t bytes) {
    return eventually([&] { return recorderState().recordedBytes.load() >= bytes; });
  }

  bool boxReceived(const vbox::Packet& packet) {
    for (const auto& c : box_.commands())
      if (c.packet == packet) return true;
    return false;
  }

  // Records a little into `name`: the file holds what the box sent from the start on, in
  // step and without a gap, and nothing older.
  void expectFreshRecording(const std::string& name) {
    const int64_t next = static_cast<int64_t>(box_.framesSent() + box_.droppedFrames());
    ASSERT_EQ(io_.StartReadSound(name.c_str(), 1), 1);
    ASSERT_TRUE(received(512 * 8));
    ASSERT_GT(io_.StopReadSound(), 48);
    const std::vector<int64_t> n = frameNumbers(readBytes(name));
    ASSERT_FALSE(n.empty());
    EXPECT_GE(n[0], next) << "the recording holds audio from before its start";
    EXPECT_TRUE(consecutive(n));
  }
};

TEST_F(Recording, FileHoldsExactlyTheAudioTheBoxSent) {
  const std::string name = file("rec.wav");
  ASSERT_EQ(io_.StartReadSound(name.c_str(), 1), 1);
  EXPECT_TRUE(eventually([] { return noticeState().eventFlags.load() & kRecordingActiveEvent; }));
  ASSERT_TRUE(received(512 * 40));
  const int result = io_.StopReadSound();
  ASSERT_GT(result, 48);
  ASSERT_EQ((result - 48) % 512, 0);
  const size_t reads = static_cast<size_t>(result - 48) / 512;
  EXPECT_EQ(io_.ReadRecLength(), result);
  EXPECT_EQ(noticeState().eventFlags.load() & kRecordingActiveEvent, 0u);

  const std::vector<uint8_t> bytes = readBytes(name);
  ASSERT_EQ(bytes.size(), 48 + 500 * reads);
  EXPECT_EQ(le32(bytes, 44), 500 * reads);
  EXPECT_EQ(le32(bytes, 4), 500 * reads + 40);
  const std::vector<int64_t> numbers = frameNumbers(bytes);
  ASSERT_EQ(numbers.size(), 2 * reads);
  EXPECT_EQ(numbers[0], 0);
  EXPECT_TRUE(consecutive(numbers));
  EXPECT_EQ(box_.droppedFrames(), 0u);

  int setups = 0;
  for (const auto& c : box_.controlRequests())
    setups += c.code == tavro::kVendorWrite && c.index == 0x471 &&
              c.data == std::vector<uint8_t>{0, 0, 0, 0x40, 0, 0x81};
  EXPECT_EQ(setups, 1);
  const std::vector<vbox::Packet> sent = sentPackets();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], makePacket({7, 1, 1}));
  EXPECT_EQ(sent[1], makePacket({7, 0, 0}));
}

TEST_F(Recording, StoppedBeforeItsFirstReadIsTheBareHeader) {
  // The recorder opens the file but reads nothing while it is held.
  playerState().recorderHold.store(1);
  ASSERT_EQ(io_.StartReadSound(file("empty.wav").c_str(), 1), 1);
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(file("empty.wav")); }));
  recorderState().recordGo.store(0);
  playerState().recorderHold.store(0);
  EXPECT_EQ(io_.StopReadSound(), 48);
  const std::vector<uint8_t> bytes = readBytes(file("empty.wav"));
  ASSERT_EQ(bytes.size(), 48u);
  EXPECT_EQ(le32(bytes, 4), 40u);
  EXPECT_EQ(le32(bytes, 44), 0u);
}

TEST_F(Recording, SecondStartIsRefusedAndTheFirstGoesOn) {
  ASSERT_EQ(io_.StartReadSound(file("one.wav").c_str(), 1), 1);
  ASSERT_TRUE(received(512 * 4));
  EXPECT_EQ(io_.StartReadSound(file("two.wav").c_str(), 1), -6);
  EXPECT_EQ(io_.OpenReadSoundInPC(), -6);
  EXPECT_FALSE(std::filesystem::exists(file("two.wav")));
  const int32_t before = recorderState().recordedBytes.load();
  ASSERT_TRUE(received(before + 512 * 4));
  const int result = io_.StopReadSound();
  EXPECT_GE(result, before + 512 * 4 + 48);
  EXPECT_TRUE(consecutive(frameNumbers(readBytes(file("one.wav")))));
  // The next start right after the stop is taken.
  ASSERT_EQ(io_.StartReadSound(file("two.wav").c_str(), 1), 1);
  ASSERT_TRUE(received(512 * 2));
  EXPECT_GT(io_.StopReadSound(), 48);
}

TEST_F(Recording, OutOfStepBlocksAreDroppedAndTheStreamRealigned) {
  // The stream starts with the first 128 bytes of frame 0: the first block has a marker at
  // 0 but not at 256 (dropped, a realigning read of 0 bytes); the second has its first
  // marker at 128 (dropped, a realigning read of 128 bytes); the third is in step.
  box_.injectPartialFrame(128);
  ASSERT_EQ(io_.StartReadSound(file("step.wav").c_str(), 1), 1);
  ASSERT_TRUE(received(512 * 10));
  const int result = io_.StopReadSound();
  ASSERT_EQ((result - 48) % 512, 0) << "the realigning read is not counted";
  const size_t reads = static_cast<size_t>(result - 48) / 512;
  EXPECT_EQ(box_.partialFramesSent(), 1u);

  const std::vector<uint8_t> bytes = readBytes(file("step.wav"));
  ASSERT_EQ(bytes.size(), 48 + 500 * (reads - 2));
  const std::vector<int64_t> n = frameNumbers(bytes);
  ASSERT_FALSE(n.empty());
  EXPECT_EQ(n[0], 5) << "frames 1 to 4 went with the two dropped blocks";
  EXPECT_TRUE(consecutive(n));
}

TEST_F(Recording, FrameStatusBytesChangeToneAndHookBits) {
  ASSERT_EQ(io_.StartReadSound(file("status.wav").c_str(), 1), 1);
  ASSERT_TRUE(received(512 * 2));
  EXPECT_FALSE(statusHas(kToneBit)) << "cleared when the recording started";

  offHook();
  box_.setFrameStatusOnce(0x81);
  box_.setFrameStatusOnce(0x83);
  int32_t at = recorderState().recordedBytes.load();
  ASSERT_TRUE(received(at + 512 * 4));
  EXPECT_FALSE(statusHas(kToneBit));
  EXPECT_TRUE(statusHas(kOffHookBit));

  box_.setFrameStatusOnce(0x01);
  EXPECT_TRUE(eventually([] { return statusHas(kToneBit); }));
  EXPECT_TRUE(statusHas(kOffHookBit));

  clearStatusBits(kToneBit);
  box_.setFrameStatusOnce(0x02);
  EXPECT_TRUE(eventually([] { return !statusHas(kOffHookBit); }));
  EXPECT_FALSE(statusHas(kToneBit));

  offHook();
  box_.setFrameStatusOnce(0x03);
  EXPECT_TRUE(eventually([] { return statusHas(kToneBit) && !statusHas(kOffHookBit); }));
  EXPECT_GT(io_.StopReadSound(), 48);
}

TEST_F(Recording, CommandsPauseTheRecorderUntilAnswered) {
  box_.setAudioPace(1);
  ASSERT_EQ(io_.StartReadSound(file("cmd.wav").c_str(), 1), 1);
  ASSERT_TRUE(received(512 * 2));
  box_.setAnswerDelay(milliseconds(400));
  std::atomic<int> answer{0};
  std::thread command([&] { answer = io_.RequestSpaceCode(); });
  ASSERT_TRUE(eventually([] { return statusHas(kPendingBit); }));
  const int32_t paused = recorderState().recordedBytes.load();
  int samples = 0;
  while (statusHas(kPendingBit)) {
    // Nothing is read between the moment the command is queued and its answer.
    ASSERT_EQ(recorderState().recordedBytes.load(), paused);
    ++samples;
    std::this_thread::sleep_for(milliseconds(5));
  }
  command.join();
  EXPECT_EQ(answer.load(), 1);
  EXPECT_GT(samples, 3);
  box_.setAnswerDelay(milliseconds(0));
  ASSERT_TRUE(received(paused + 512 * 4)) << "the recording goes on";
  EXPECT_GT(io_.StopReadSound(), 48);
  const std::vector<int64_t> n = frameNumbers(readBytes(file("cmd.wav")));
  EXPECT_TRUE(consecutive(n)) << "no frame lost";
  EXPECT_EQ(box_.droppedFrames(), 0u);
}

// The link goes during a recording: it is finished as any other (the header matches the
// audio, the end event says why, the recording-active bit is cleared); the loss that cut it
// shows no notice, a later one does.
TEST_F(Recording, ALostLinkFinishesTheRecordingAsAnyOther) {
  const std::string name = file("lost.wav");
  ASSERT_EQ(io_.StartReadSound(name.c_str(), 1), 1);
  ASSERT_TRUE(received(512 * 4));
  box_.unplug();
  const std::optional<tavro_event> ended = nextEvent(TAVRO_EVENT_RECORDING_ENDED);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->u.recording.reason, TAVRO_END_LINK_LOST);
  EXPECT_EQ(ended->u.recording.bytes, io_.ReadRecLength());
  EXPECT_EQ(recorderState().recordFinished.load(), 1);
  EXPECT_EQ(noticeState().eventFlags.load() & kRecordingActiveEvent, 0u);
  const std::vector<uint8_t> bytes = readBytes(name);
  ASSERT_GT(bytes.size(), 48u);
  EXPECT_EQ(le32(bytes, 44), bytes.size() - 48);
  EXPECT_EQ(le32(bytes, 4), bytes.size() - 8);
  EXPECT_TRUE(consecutive(frameNumbers(bytes)));
  EXPECT_EQ(io_.StopReadSound(), -1) << "the link is down";

  box_.plug();
  ASSERT_TRUE(eventually([] { return !linkDown(); }));
  EXPECT_EQ(io_.StopReadSound(), -1) << "the recording was cut by the lost link";
  EXPECT_TRUE(notices_.texts().empty());
  box_.unplug();
  EXPECT_TRUE(eventually([&] { return !notices_.texts().empty(); }));
  EXPECT_EQ(notices_.texts(), std::vector<std::string>{kLinkLostMessage});
}

// A recording cut by a lost link was never stopped: once the link is back the box is told to
// stop streaming, and the next recording holds nothing the box sent before its start.
TEST_F(Recording, AfterALostLinkTheStreamIsStoppedAndTheNextRecordingStartsFresh) {
  ASSERT_EQ(io_.StartReadSound(file("cut.wav").c_str(), 1), 1);
  ASSERT_TRUE(received(512 * 4));
  box_.unplug();
  ASSERT_TRUE(eventually([] { return recorderState().recordFinished.load() == 1; }));
  box_.clearLog();
  box_.plug();
  ASSERT_TRUE(eventually([] { return !linkDown(); }));
  EXPECT_TRUE(eventually([&] { return boxReceived(makePacket({7, 0, 0})); }));
  expectFreshRecording(file("next.wav"));
}

// The box still streams when a recording starts (a host-buffer stream was left switched on):
// what it sent before is thrown away, and the recording starts at a frame.
TEST_F(Recording, WhatTheBoxSentBeforeTheStartIsNotRecorded) {
  ASSERT_EQ(io_.SetRecordStatus(true, 1), 1);
  ASSERT_EQ(io_.OpenReadSoundInPC(), 1);
  std::vector<unsigned char> buffer(513);
  ASSERT_EQ(io_.ReadSoundFromBufferToPC(buffer.data(), 512), 512);
  ASSERT_GT(io_.CloseReadSoundInPC(), 0);
  if (test::overUsb())
    ASSERT_TRUE(box_.waitForFrames(box_.framesSent() + 64, milliseconds(20000)));
  else  // until the pipe is full: the box is then in the middle of a frame
    ASSERT_TRUE(box_.waitForDroppedFrames(box_.droppedFrames() + 1, milliseconds(20000)));
  expectFreshRecording(file("fresh.wav"));
}

TEST_F(Recording, AStartTheBoxRefusesLeavesAWaveFileNotAnEmptyOne) {
  // The box refuses to stream (as when the link goes at that moment): the start is
  // dropped, and the file that StartReadSound made is a valid wave with placeholder sizes.
  box_.setTransferSetupFails(true);
  ASSERT_EQ(io_.StartReadSound(file("refused.wav").c_str(), 1), 1);
  ASSERT_TRUE(eventually([] { return recorderState().audioInStart.load() == 0; }));
  const std::vector<uint8_t> bytes = readBytes(file("refused.wav"));
  ASSERT_EQ(bytes.size(), 48u);
  EXPECT_EQ(le32(bytes, 4), 16376u);
  EXPECT_EQ(le32(bytes, 44), 2016u);
  box_.setTransferSetupFails(false);
}

TEST_F(Recording, SizeLimitFinishesTheFileCleanly) {
  setRecordingLimit(48 + 512 * 10);
  ASSERT_EQ(io_.StartReadSound(file("big.wav").c_str(), 1), 1);
  ASSERT_TRUE(eventually([] { return recorderState().recordFinished.load() == 1; }));
  EXPECT_EQ(io_.ReadRecLength(), 48 + 512 * 10);
  EXPECT_EQ(io_.StopReadSound(), -8);
  const std::vector<uint8_t> bytes = readBytes(file("big.wav"));
  ASSERT_EQ(bytes.size(), 48u + 5000);
  EXPECT_EQ(le32(bytes, 44), 5000u);
  EXPECT_TRUE(consecutive(frameNumbers(bytes)));
  EXPECT_TRUE(notices_.texts().empty());
}

TEST_F(Recording, FullDiskFinishesTheRecordingWithAMatchingHeader) {
  {
    FileSizeLimit full(48 + 500 * 6 + 100);
    ASSERT_EQ(io_.StartReadSound(file("full.wav").c_str(), 1), 1);
    ASSERT_TRUE(eventually([] { return recorderState().recordFinished.load() == 1; }));
  }
  // Ended by itself: the box is told at once to stop streaming, not only at the stop.
  EXPECT_TRUE(boxReceived(makePacket({7, 0, 0})));
  EXPECT_EQ(io_.StopReadSound(), -7);
  const std::vector<uint8_t> bytes = readBytes(file("full.wav"));
  ASSERT_EQ(bytes.size(), 48u + 3000);
  EXPECT_EQ(le32(bytes, 44), 3000u);
  EXPECT_EQ(le32(bytes, 4), 3040u);
  EXPECT_TRUE(consecutive(frameNumbers(bytes)));
  expectFreshRecording(file("after.wav"));
}

}  // namespace
}  // namespace tavro
