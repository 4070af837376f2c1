// Streaming through the application's own memory, both ways.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "audio/audio_state.h"
#include "audio_fixture.h"
#include "vbox/audio.h"

namespace tavro {
namespace {

using std::chrono::milliseconds;
using test::AudioBoxTest;
using test::eventually;

constexpr uint8_t kSilence = 0xD5;

// The frame numbers of a raw audio-in stream; -1 for anything that is not a pattern frame.
std::vector<int64_t> streamFrames(const std::vector<uint8_t>& raw) {
  std::vector<int64_t> out;
  for (size_t at = 0; at + 256 <= raw.size(); at += 256)
    out.push_back(vbox::isPatternFrame(raw.data() + at) ? vbox::patternFrameNumber(raw.data() + at)
                                                        : -1);
  return out;
}

bool consecutiveFromZero(const std::vector<int64_t>& n) {
  for (size_t i = 0; i < n.size(); ++i)
    if (n[i] != static_cast<int64_t>(i)) return false;
  return !n.empty();
}

class HostBuffers : public AudioBoxTest {
 protected:
  void SetUp() override {
    AudioBoxTest::SetUp();
    box_.setLineSource(vbox::LineSource::pattern());
    box_.setAudioPace(20);
    box_.setPlayPace(0);
  }

  void openIncoming() {
    ASSERT_EQ(io_.SetRecordStatus(true, 1), 1);
    ASSERT_EQ(io_.OpenReadSoundInPC(), 1);
  }
};

TEST_F(HostBuffers, IncomingStreamArrivesWhateverTheReadLengths) {
  // Short reads make the recorder read as little from the pipe: a pace it keeps up with.
  box_.setAudioPace(5);
  openIncoming();
  std::vector<uint8_t> raw;
  std::vector<uint8_t> buffer(4096 + 1);
  // Whole units, a length across two buffers, short ones that leave a rest, long ones.
  const int lengths[] = {512, 512, 1000, 100, 100, 512, 700, 256, 2048, 300, 4096, 7};
  size_t call = 0;
  while (raw.size() < 24000 * 2) {  // about three seconds of audio, frame headers included
    const int length = lengths[call++ % std::size(lengths)];
    buffer[static_cast<size_t>(length)] = 0x77;
    const int got = io_.ReadSoundFromBufferToPC(buffer.data(), length);
    ASSERT_EQ(got, length);
    ASSERT_EQ(buffer[static_cast<size_t>(length)], 0) << "a zero byte after the copied bytes";
    raw.insert(raw.end(), buffer.begin(), buffer.begin() + got);
  }
  const int32_t received = io_.CloseReadSoundInPC();
  EXPECT_GE(received, static_cast<int32_t>(raw.size()));
  EXPECT_LE(received, static_cast<int32_t>(raw.size()) + 2 * 512 + 4096);
  EXPECT_EQ(io_.SetRecordStatus(false, 0), 1);
  raw.resize(raw.size() / 256 * 256);
  EXPECT_TRUE(consecutiveFromZero(streamFrames(raw))) << "nothing lost, doubled or reordered";
  EXPECT_EQ(box_.droppedFrames(), 0u);
  EXPECT_TRUE(notices_.texts().empty());
}

TEST_F(HostBuffers, ReadLengthSetsTheRecordersReadsAndBuffersAlternate) {
  openIncoming();
  unsigned char buffer[1100];
  ASSERT_EQ(io_.ReadSoundFromBufferToPC(buffer, 512), 512);
  EXPECT_EQ(hostStreams().nextBuffer.load(), 0) << "A first, B next";
  EXPECT_EQ(std::memcmp(buffer, "stcq", 4), 0);
  ASSERT_EQ(io_.ReadSoundFromBufferToPC(buffer, 512), 512);
  EXPECT_EQ(hostStreams().nextBuffer.load(), 1);
  ASSERT_EQ(io_.ReadSoundFromBufferToPC(buffer, 1000), 1000);
  EXPECT_EQ(buffer[1000], 0);
  // From now on the recorder reads 100 bytes at a time.
  // (The first of them take what is left of the buffers filled before.)
  for (int i = 0; i < 14; ++i) ASSERT_EQ(io_.ReadSoundFromBufferToPC(buffer, 100), 100);
  EXPECT_TRUE(eventually([] {
    return hostStreams().hostReadCountA.load() == 100 && hostStreams().hostReadCountB.load() == 100;
  }));
  EXPECT_GT(io_.CloseReadSoundInPC(), 0);
}

TEST_F(HostBuffers, CloseBeforeTheFirstReadEndsTheStreamAtOnce) {
  openIncoming();
  EXPECT_EQ(io_.SetRecordStatus(true, 1), 1) << "commands pass while the stream waits";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(io_.CloseReadSoundInPC(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(recorderState().recordFinished.load(), 1);
  EXPECT_TRUE(notices_.texts().empty());
  unsigned char buffer[600];
  EXPECT_EQ(io_.ReadSoundFromBufferToPC(buffer, 512), 0) << "the stream has ended";
  // A new stream may be opened right away.
  ASSERT_EQ(io_.OpenReadSoundInPC(), 1);
  EXPECT_EQ(io_.ReadSoundFromBufferToPC(buffer, 512), 512);
  EXPECT_GE(io_.CloseReadSoundInPC(), 512);
}

TEST_F(HostBuffers, WaitingReaderReturnsWhenTheStreamEnds) {
  openIncoming();
  std::vector<uint8_t> big(2000000 + 1);
  std::atomic<int> got{-100};
  std::thread reader([&] { got = io_.ReadSoundFromBufferToPC(big.data(), 2000000); });
  ASSERT_TRUE(eventually([] { return recorderState().recordedBytes.load() > 512 * 8; }));
  box_.unplug();  // the link is lost: the recorder abandons the stream
  ASSERT_TRUE(eventually([&] { return got.load() != -100; }));
  reader.join();
  EXPECT_GE(got.load(), 512 * 4);
  EXPECT_LT(got.load(), 2000000);
  EXPECT_EQ(big[static_cast<size_t>(got.load())], 0);
  std::vector<uint8_t> raw(big.begin(), big.begin() + got.load() / 256 * 256);
  EXPECT_TRUE(consecutiveFromZero(streamFrames(raw)));
}

TEST_F(HostBuffers, OutgoingStreamSendsTheCallersBytesCompletedWithSilence) {
  ASSERT_EQ(io_.SetPlayStatus(1, 1, 0, 0), 1);
  ASSERT_EQ(io_.OpenWriteSoundToBuff(), 1);
  std::vector<uint8_t> expected;
  std::vector<uint8_t> data(5000);
  uint32_t counter = 0;
  const int lengths[] = {512, 1024, 300, 700, 2000, 256, 1, 5000, 511, 513};
  size_t total = 0;
  for (int round = 0; total < 24000; ++round) {
    for (int length : lengths) {
      for (int i = 0; i < length; ++i)
        data[static_cast<size_t>(i)] = static_cast<uint8_t>(counter++ * 7);
      ASSERT_EQ(io_.WriteSoundFromPCToBuffer(data.data(), length), 512);
      for (int at = 0; at < length; at += 512) {
        const int n = std::min(512, length - at);
        expected.insert(expected.end(), data.begin() + at, data.begin() + at + n);
        expected.resize(expected.size() + (256 - n % 256) % 256, kSilence);
      }
      total += static_cast<size_t>(length);
    }
  }
  EXPECT_EQ(io_.CloseWriteSoundToBuff(), 1);
  EXPECT_EQ(playerState().playbackFlag.load(), 0);
  ASSERT_TRUE(box_.waitForPackets(expected.size() / 256, milliseconds(20000)));
  ASSERT_EQ(box_.playedAudio().size(), expected.size());
  EXPECT_TRUE(box_.playedAudio() == expected) << "no byte lost, altered or stale";
  const std::vector<vbox::Packet> sent = sentPackets();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], makePacket({9, 1, 1, 0, 0}));
  EXPECT_EQ(sent[1][0], 9);
  EXPECT_EQ(sent[1][1], 0);
  EXPECT_EQ(sent[1][3], 1);
}

TEST_F(HostBuffers, ShortAndDoubleChunksMakeWholePackets) {
  ASSERT_EQ(io_.OpenWriteSoundToBuff(), 1);
  std::vector<uint8_t> data(1024);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i + 1);
  ASSERT_EQ(io_.WriteSoundFromPCToBuffer(data.data(), 1024), 512);
  ASSERT_TRUE(box_.waitForPackets(4, milliseconds(20000)));
  EXPECT_EQ(box_.packetsReceived(), 4u);
  ASSERT_EQ(io_.WriteSoundFromPCToBuffer(data.data(), 300), 512);
  ASSERT_TRUE(box_.waitForPackets(6, milliseconds(20000)));
  EXPECT_EQ(io_.CloseWriteSoundToBuff(), 1);
  const std::vector<uint8_t> played = box_.playedAudio();
  ASSERT_EQ(played.size(), 1536u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), played.begin()));
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 300, played.begin() + 1024));
  for (size_t i = 1024 + 300; i < played.size(); ++i) ASSERT_EQ(played[i], kSilence) << i;
}

}  // namespace
}  // namespace tavro
