// The audio operations' checks, commands and results, without any audio flowing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>

#include "audio/audio_state.h"
#include "audio_fixture.h"
#include "support/link_down.h"

namespace tavro {
namespace {

using std::chrono::milliseconds;
using test::AudioBoxTest;
using test::eventually;

using Operations = AudioBoxTest;

TEST_F(Operations, RecordingRefusedBeforeAnythingIsSent) {
  onHook();
  EXPECT_EQ(io_.StartReadSound(file("a.wav").c_str(), 0), -4);
  EXPECT_EQ(io_.StartReadSound(file("a.wav").c_str(), -1), -4);
  EXPECT_EQ(io_.StartReadSoundCStrF(file("a.wav")), -4);
  // Modes the box's byte cannot carry: 256 would reach it as mode 0, which needs the line
  // off hook.
  EXPECT_EQ(io_.StartReadSound(file("a.wav").c_str(), 256), -2);
  EXPECT_EQ(io_.StartReadSound(file("a.wav").c_str(), -129), -2);
  EXPECT_FALSE(std::filesystem::exists(file("a.wav")));

  offHook();
  EXPECT_EQ(io_.StartReadSound(file("a.wav").c_str(), 0x1FF), -2);
  EXPECT_EQ(io_.StartReadSound(file("no/such/folder.wav").c_str(), 0), -5);
  EXPECT_EQ(io_.StartReadSound("", 1), -5);
  EXPECT_EQ(io_.StartReadSound(nullptr, 1), -5);
  EXPECT_EQ(io_.StartReadSound(runtime_.path().c_str(), 1), -5);  // a folder
  const std::string longName = file(std::string(1100, 'n'));
  EXPECT_EQ(io_.StartReadSoundCStr(longName, 1), -5);
  EXPECT_EQ(io_.StartReadSound(longName.c_str(), 1), -5);
  EXPECT_TRUE(sentPackets().empty());
  EXPECT_EQ(recorderState().recordFinished.load(), 1) << "no recording was opened";
  EXPECT_TRUE(notices_.texts().empty());
}

// Only a regular file is recorded into: a FIFO, with or without a reader, and a device are
// refused at once, before anything is sent, and nothing is opened that could block.
TEST_F(Operations, OnlyRegularFilesAreRecordedInto) {
  const std::string fifo = file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  auto started =
      std::async(std::launch::async, [&] { return io_.StartReadSound(fifo.c_str(), 1); });
  if (started.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "the start waits for a reader of the FIFO";
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // lets it go on
    if (started.get() == 1) io_.StopReadSound();
    close(reader);
    return;
  }
  EXPECT_EQ(started.get(), -5) << "a FIFO without a reader";
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  const int withReader = io_.StartReadSound(fifo.c_str(), 1);
  if (withReader == 1) io_.StopReadSound();
  close(reader);
  EXPECT_EQ(withReader, -5) << "a FIFO with a reader";
  EXPECT_EQ(io_.StartReadSound("/dev/null", 1), -5);
  EXPECT_TRUE(sentPackets().empty());
  EXPECT_EQ(recorderState().recordFinished.load(), 1) << "no recording was opened";
}

TEST_F(Operations, RecordAndPlayStatusCommands) {
  EXPECT_EQ(io_.SetRecordStatus(true, 1), 1);
  EXPECT_EQ(io_.SetRecordStatus(false, 0), 1);
  EXPECT_EQ(io_.SetRecordStatus(true, 0x1FF), 1);  // the low byte of the mode
  EXPECT_EQ(io_.SetPlayStatus(1, 2, 3, 4), 1);
  EXPECT_EQ(io_.FS_Open(), 1);
  EXPECT_EQ(io_.FS_Close(), 1);
  const std::vector<vbox::Packet> sent = sentPackets();
  ASSERT_EQ(sent.size(), 6u);
  EXPECT_EQ(sent[0], makePacket({7, 1, 1}));
  EXPECT_EQ(sent[1], makePacket({7, 0, 0}));
  EXPECT_EQ(sent[2], makePacket({7, 1, 0xFF}));
  EXPECT_EQ(sent[3], makePacket({9, 1, 2, 3, 4}));
  EXPECT_EQ(sent[4], makePacket({18, 0}));
  EXPECT_EQ(sent[5], makePacket({18, 1}));
}

TEST_F(Operations, StopWithoutARecordingDoesNotWait) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(io_.StopReadSound(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  const std::vector<vbox::Packet> sent = sentPackets();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], makePacket({7, 0, 0}));
  EXPECT_TRUE(notices_.texts().empty());
}

TEST_F(Operations, PlaybackRefusedBeforeAnythingIsSent) {
  test::writeBytes(file("p.raw"), std::vector<uint8_t>(100, 1));
  onHook();
  EXPECT_EQ(io_.StartPlaySound(file("p.raw").c_str(), 0, 0, 0, false), -4);
  EXPECT_EQ(io_.StartPlaySound(file("p.raw").c_str(), 0, 3, 0, false), -4);
  EXPECT_EQ(io_.StartPlaySound(file("missing.raw").c_str(), 0, 1, 0, false), -5);
  EXPECT_EQ(io_.StartPlaySound(runtime_.path().c_str(), 0, 1, 0, false), -5);
  EXPECT_EQ(io_.StartPlaySound(nullptr, 0, 1, 0, false), -5);
  EXPECT_EQ(io_.StartPlaySoundCStr(file(std::string(1100, 'n')), 0, 1, 0, false), -5);
  EXPECT_TRUE(sentPackets().empty());
  EXPECT_EQ(playerState().recorderHold.load(), 0);
  EXPECT_EQ(playerState().playbackFlag.load(), 0);
  EXPECT_EQ(io_.StopPlaySound(), 1);
  EXPECT_EQ(io_.GetWriteSoundRate(), 0);
}

TEST_F(Operations, LinkDownComesFirst) {
  box_.unplug();
  ASSERT_TRUE(eventually([] { return linkDown(); }));
  offHook();
  for (const auto& c : test::linkDownOperations(file("a.wav")))
    EXPECT_EQ(c.call(io_), c.expected) << c.name;
  EXPECT_EQ(io_.ReadRecLength(), -1);
  EXPECT_FALSE(std::filesystem::exists(file("a.wav")));
}

TEST_F(Operations, HostWriteWithoutAStreamAndCloseWithNothingArmed) {
  test::ScaledTime fast(10);
  unsigned char buffer[600] = {};
  EXPECT_EQ(io_.WriteSoundFromPCToBuffer(buffer, 0), 512);
  EXPECT_EQ(io_.WriteSoundFromPCToBuffer(buffer, -5), 512);
  EXPECT_EQ(hostStreams().hostDataReady.load(), 0);
  EXPECT_EQ(io_.WriteSoundFromPCToBuffer(nullptr, 10), -2);
  EXPECT_EQ(io_.CloseWriteSoundToBuff(), 1);
  // Nobody takes the chunk: about 0.2 s of library time, then -3.
  EXPECT_EQ(io_.WriteSoundFromPCToBuffer(buffer, 100), -3);
  EXPECT_EQ(hostStreams().hostDataReady.load(), 1);
  EXPECT_GE(commandChannel().pollCounter.load(), 100);
  // The untaken chunk is not overwritten by the next call.
  buffer[0] = 0x42;
  EXPECT_EQ(io_.WriteSoundFromPCToBuffer(buffer, 100), -3);
  EXPECT_EQ(hostStreams().hostWrite[0], 0);
  EXPECT_TRUE(sentPackets().empty());
}

TEST_F(Operations, HostReadWithoutAStreamEndsAtOnce) {
  unsigned char buffer[600];
  buffer[0] = 0x77;
  EXPECT_EQ(io_.ReadSoundFromBufferToPC(buffer, 0), 0);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(recorderState().recordGo.load(), 1);
  recorderState().recordGo.store(0);
  buffer[0] = 0x77;
  // No stream was opened: the wait ends at once with nothing copied.
  EXPECT_EQ(io_.ReadSoundFromBufferToPC(buffer, 512), 0);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(hostStreams().hostReadLength.load(), 512u);
}

}  // namespace
}  // namespace tavro
