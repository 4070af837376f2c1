// File playback against the virtual box's audio-out side.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_state.h"
#include "audio_fixture.h"
#include "device/pipes.h"

namespace tavro {
namespace {

using std::chrono::milliseconds;
using test::AudioBoxTest;
using test::eventually;

constexpr uint8_t kSilence = 0xD5;

// Bytes that tell their position: no 512-byte window repeats within the file.
std::vector<uint8_t> numberedBytes(size_t n) {
  std::vector<uint8_t> b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i ^ (i >> 8) ^ (i >> 16) * 3);
  return b;
}

std::vector<uint8_t> withFill(std::vector<uint8_t> bytes, size_t to) {
  bytes.resize(to, kSilence);
  return bytes;
}

// Where in `file` the 512 bytes at `at` of `played` come from, or -1.
long sourceOf(const std::vector<uint8_t>& file, const std::vector<uint8_t>& played, size_t at) {
  const auto it = std::search(file.begin(), file.end(), played.begin() + static_cast<long>(at),
                              played.begin() + static_cast<long>(at) + 512);
  return it == file.end() ? -1 : static_cast<long>(it - file.begin());
}

class Playback : public AudioBoxTest {
 protected:
  void SetUp() override {
    AudioBoxTest::SetUp();
    box_.setPlayPace(0);
    box_.clearPlayedAudio();
  }

  std::string playFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = file(name);
    test::writeBytes(path, bytes);
    return path;
  }

  // What the box has played, once it has taken `bytes`.
  std::vector<uint8_t> played(size_t bytes) {
    eventually([&] { return box_.playedAudio().size() >= bytes; });
    return box_.playedAudio();
  }

  bool passEnded() {
    return eventually([] {
      return playerState().finishedFlag.load() == 1 && playerState().playbackFlag.load() == 0;
    });
  }
};

TEST_F(Playback, ShortFileIsFilledWithSilenceAndClosedByCommandNine) {
  const std::vector<uint8_t> bytes = numberedBytes(1000);
  // The go-ahead that normally answers command 9 is held back, so that the player waits
  // with its first block read.
  box_.setResponder([](const vbox::Packet& p) -> std::optional<std::vector<vbox::Record>> {
    if (p[0] != 9 || p[1] != 1) return std::nullopt;
    vbox::Record r{};
    r[0] = 1;
    r[1] = 9;
    return std::vector<vbox::Record>{r};
  });
  ASSERT_EQ(io_.StartPlaySound(playFile("a.raw", bytes).c_str(), 0, 1, 7, true), 1);
  EXPECT_TRUE(eventually([&] { return io_.GetWriteSoundBytes() == 512; }));
  EXPECT_EQ(io_.GetWriteSoundRate(), 512);
  EXPECT_EQ(box_.packetsReceived(), 0u) << "nothing goes without a go-ahead";
  ASSERT_TRUE(box_.sendRecord({9, 0}));
  ASSERT_TRUE(passEnded());
  EXPECT_EQ(io_.GetWriteSoundBytes(), 1000u);
  EXPECT_EQ(io_.GetWriteSoundRate(), 1000);
  EXPECT_EQ(played(1024), withFill(bytes, 1024));
  const std::vector<vbox::Packet> sent = sentPackets();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], makePacket({9, 1, 1, 7, 1}));
  EXPECT_EQ(sent[1], makePacket({9, 0, 1, 1, 0}));
  EXPECT_EQ(playerState().recorderHold.load(), 0) << "a playback that has ended holds nothing";
  EXPECT_EQ(io_.StopPlaySound(), 1);
  EXPECT_TRUE(sentPackets().empty());
}

TEST_F(Playback, WholeBlockFileEndsWithASilentBlock) {
  offHook();
  const std::vector<uint8_t> bytes = numberedBytes(1024);
  ASSERT_EQ(io_.StartPlaySound(playFile("b.raw", bytes).c_str(), 0, 0, 0, false), 1);
  ASSERT_TRUE(passEnded());
  EXPECT_EQ(played(1536), withFill(bytes, 1536));
  EXPECT_EQ(io_.GetWriteSoundBytes(), 1024u);
  EXPECT_EQ(io_.GetWriteSoundRate(), 1000);
  const std::vector<vbox::Packet> sent = sentPackets();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], makePacket({9, 1, 0, 0, 0}));
  EXPECT_EQ(sent[1], makePacket({9, 0, 0, 1, 0}));
}

TEST_F(Playback, EveryBlockIsAnnouncedAndWaitsForItsGoAhead) {
  const std::vector<uint8_t> bytes = numberedBytes(2048);
  ASSERT_EQ(io_.StartPlaySound(playFile("c.raw", bytes).c_str(), 0, 2, 0, false), 1);
  ASSERT_TRUE(passEnded());
  int setups = 0;
  for (const auto& c : box_.controlRequests())
    setups += c.code == tavro::kVendorWrite && c.index == 0x471 &&
              c.data == std::vector<uint8_t>{0, 0, 0, 0x40, 0, 0x80};
  EXPECT_EQ(setups, 5);  // four blocks and the silent one
  // The pass ends once the last packet is written; the box reads it in its own time.
  EXPECT_TRUE(box_.waitForPackets(10, milliseconds(20000)));
  EXPECT_EQ(box_.packetsReceived(), 10u);
  EXPECT_EQ(played(2560), withFill(bytes, 2560));
}

TEST_F(Playback, StartPositionInThousandths) {
  const std::vector<uint8_t> small = numberedBytes(10000);
  ASSERT_EQ(io_.StartPlaySound(playFile("s.raw", small).c_str(), 500, 1, 0, false), 1);
  ASSERT_TRUE(passEnded());
  EXPECT_EQ(played(5120), withFill(std::vector<uint8_t>(small.begin() + 5000, small.end()), 5120));

  // Above 4,000,000 bytes the offset divides first; stopped after a few blocks.
  box_.clearPlayedAudio();
  box_.setPlayPace(1);
  const std::vector<uint8_t> big = numberedBytes(5000000);
  const size_t before = box_.packetsReceived();
  ASSERT_EQ(io_.StartPlaySound(playFile("l.raw", big).c_str(), 500, 1, 0, false), 1);
  ASSERT_TRUE(box_.waitForPackets(before + 6, milliseconds(20000)));
  // The fourth block is read ahead while it waits for its go-ahead; stop only then.
  ASSERT_TRUE(eventually([&] { return io_.GetWriteSoundBytes() >= 2500000u + 512 * 4; }));
  EXPECT_EQ(io_.StopPlaySound(), 1);
  EXPECT_EQ(playerState().playbackFlag.load(), 0);
  // The block read when the stop came is not sent.
  const uint32_t position = io_.GetWriteSoundBytes();
  ASSERT_GE(position, 2500000u + 512 * 4);
  const size_t sentBytes = position - 2500000 - 512;
  ASSERT_TRUE(box_.waitForPackets(before + sentBytes / 256, milliseconds(20000)));
  const std::vector<uint8_t> played = box_.playedAudio();
  ASSERT_EQ(played.size(), sentBytes);
  EXPECT_TRUE(std::equal(played.begin(), played.end(), big.begin() + 2500000));
  const std::vector<vbox::Packet> sent = sentPackets();
  ASSERT_GE(sent.size(), 4u);
  EXPECT_EQ(sent[sent.size() - 1], makePacket({9, 0, 1, 1, 0}));
}

// The file plays as long as it was when the pass opened it: progress never passes 1000,
// and what is appended meanwhile is not sent.
TEST_F(Playback, AFileThatGrowsWhilePlayingPlaysItsFirstLength) {
  box_.setPlayPace(1);
  const std::vector<uint8_t> bytes = numberedBytes(2000);
  const std::string name = playFile("grows.raw", bytes);
  ASSERT_EQ(io_.StartPlaySound(name.c_str(), 0, 1, 0, false), 1);
  ASSERT_TRUE(box_.waitForPackets(1, milliseconds(20000)));
  {
    std::ofstream more(name, std::ios::binary | std::ios::app);
    const std::vector<uint8_t> tail = numberedBytes(200000);
    more.write(reinterpret_cast<const char*>(tail.data()),
               static_cast<std::streamsize>(tail.size()));
  }
  int highest = 0;
  const bool ended = eventually([&] {
    highest = std::max(highest, io_.GetWriteSoundRate());
    return highest > 1000 ||
           (playerState().finishedFlag.load() == 1 && playerState().playbackFlag.load() == 0);
  });
  EXPECT_LE(highest, 1000);
  ASSERT_TRUE(ended);
  EXPECT_EQ(io_.GetWriteSoundRate(), 1000);
  EXPECT_EQ(io_.GetWriteSoundBytes(), 2000u);
  EXPECT_EQ(played(2048), withFill(bytes, 2048));
  EXPECT_EQ(io_.StopPlaySound(), 1);
}

TEST_F(Playback, SeekMovesTheNextBlock) {
  box_.setPlayPace(1);
  const std::vector<uint8_t> bytes = numberedBytes(100000);
  ASSERT_EQ(io_.StartPlaySound(playFile("seek.raw", bytes).c_str(), 0, 1, 0, false), 1);
  ASSERT_TRUE(box_.waitForPackets(2, milliseconds(20000)));
  io_.SeekFilePointForTelInfo(250);
  ASSERT_TRUE(eventually([] { return playerState().seekRequest.load() == 0; }));
  const size_t seenAtSeek = box_.playedAudio().size();
  ASSERT_TRUE(box_.waitForPackets(seenAtSeek / 256 + 6, milliseconds(20000)));
  EXPECT_EQ(io_.StopPlaySound(), 1);
  const std::vector<uint8_t> played = box_.playedAudio();
  // Some blocks from the start, then blocks that run on from a quarter of the file.
  size_t at = 0;
  while (at + 512 <= played.size() && sourceOf(bytes, played, at) == static_cast<long>(at))
    at += 512;
  ASSERT_GE(at, 512u);
  ASSERT_LT(at + 1024, played.size());
  EXPECT_EQ(sourceOf(bytes, played, at), 25000);
  EXPECT_TRUE(
      std::equal(played.begin() + static_cast<long>(at), played.end(), bytes.begin() + 25000));
}

TEST_F(Playback, SecondStartIsRefusedWhilePlaying) {
  box_.setPlayPace(1);
  const std::string name = playFile("long.raw", numberedBytes(200000));
  ASSERT_EQ(io_.StartPlaySound(name.c_str(), 0, 1, 0, false), 1);
  ASSERT_TRUE(box_.waitForPackets(2, milliseconds(20000)));
  EXPECT_EQ(io_.StartPlaySound(name.c_str(), 0, 1, 0, false), -6);
  EXPECT_EQ(io_.OpenWriteSoundToBuff(), -6);
  EXPECT_EQ(playerState().fileSource.load(), 1);
  EXPECT_EQ(io_.StopPlaySound(), 1);
  // A start right after the stop is taken.
  box_.clearPlayedAudio();
  box_.setPlayPace(0);
  const std::vector<uint8_t> shortFile = numberedBytes(600);
  ASSERT_EQ(io_.StartPlaySound(playFile("next.raw", shortFile).c_str(), 0, 1, 0, false), 1);
  ASSERT_TRUE(passEnded());
  EXPECT_EQ(played(1024), withFill(shortFile, 1024));
}

TEST_F(Playback, FsCloseStopsThePlaybackFirst) {
  box_.setPlayPace(1);
  ASSERT_EQ(io_.StartPlaySound(playFile("fs.raw", numberedBytes(100000)).c_str(), 0, 2, 5, false),
            1);
  ASSERT_TRUE(box_.waitForPackets(2, milliseconds(20000)));
  EXPECT_EQ(io_.FS_Close(), 1);
  EXPECT_EQ(playerState().playbackFlag.load(), 0);
  const std::vector<vbox::Packet> sent = sentPackets();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0], makePacket({9, 1, 2, 5, 0}));
  EXPECT_EQ(sent[1], makePacket({9, 0, 2, 1, 0}));
  EXPECT_EQ(sent[2], makePacket({18, 1}));
}

TEST_F(Playback, FaultMarkerUntilTheNextStart) {
  box_.setPlayPace(1);
  const std::string name = playFile("f.raw", numberedBytes(100000));
  ASSERT_EQ(io_.StartPlaySound(name.c_str(), 0, 1, 0, false), 1);
  ASSERT_TRUE(box_.waitForPackets(2, milliseconds(20000)));
  EXPECT_GT(io_.GetWriteSoundRate(), 0);
  ASSERT_TRUE(box_.sendPlaybackFault());
  EXPECT_TRUE(eventually([&] { return io_.GetWriteSoundRate() == -1; }));
  EXPECT_GT(io_.GetWriteSoundBytes(), 0u);
  EXPECT_EQ(io_.StopPlaySound(), 1);
  EXPECT_EQ(io_.GetWriteSoundRate(), -1) << "kept after the pass";
  ASSERT_EQ(io_.StartPlaySound(name.c_str(), 0, 1, 0, false), 1);
  EXPECT_GE(io_.GetWriteSoundRate(), 0);
  EXPECT_EQ(io_.StopPlaySound(), 1);
}

TEST_F(Playback, RecorderHoldsStillWhilePlayingAndResumesAfterTheEnd) {
  box_.setLineSource(vbox::LineSource::pattern());
  box_.setAudioPace(20);
  box_.setPlayPace(1);
  ASSERT_EQ(io_.StartReadSound(file("rec.wav").c_str(), 1), 1);
  ASSERT_TRUE(eventually([] { return recorderState().recordedBytes.load() >= 512 * 4; }));
  // Eight blocks at 64 ms each: about half a second during which nothing is recorded.
  ASSERT_EQ(io_.StartPlaySound(playFile("p.raw", numberedBytes(4000)).c_str(), 0, 1, 0, false), 1);
  const int32_t held = recorderState().recordedBytes.load();
  int samples = 0;
  for (;;) {
    // The hold ends only after the pass has finished: a count taken before the finished
    // flag is seen clear was taken while the recorder was held.
    const int32_t count = recorderState().recordedBytes.load();
    if (playerState().finishedFlag.load() == 1) break;
    ASSERT_EQ(count, held);
    ++samples;
    std::this_thread::sleep_for(milliseconds(2));
  }
  EXPECT_GT(samples, 5);
  // The file has played to its end without StopPlaySound: the recorder goes on by itself,
  // and the recording stops normally.
  EXPECT_TRUE(eventually([&] { return recorderState().recordedBytes.load() > held + 512 * 4; }));
  const int result = io_.StopReadSound();
  EXPECT_GT(result, held + 48);
  EXPECT_TRUE(notices_.texts().empty());
}

// The audio-out pipe fails during a playback, the link staying up: the playback ends as the
// failure it is, not as stopped, and the next one plays.
TEST_F(Playback, AFailedAudioPipeIsReportedAsAFailure) {
  // Blocks of 1.28 s: the second block is in before the go-ahead for the third comes, so
  // the pipe fails under the write of the third, not under one the box never reads.
  box_.setPlayPace(0.05);
  ASSERT_EQ(io_.StartPlaySound(playFile("f.raw", numberedBytes(100000)).c_str(), 0, 1, 0, false),
            1);
  ASSERT_TRUE(box_.waitForPackets(4, milliseconds(20000)));
  box_.failPipe(kAudioOutPipe);
  const std::optional<tavro_event> ended = nextEvent(TAVRO_EVENT_PLAYBACK_ENDED);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->u.playback.reason, TAVRO_END_LINK_LOST);
  EXPECT_EQ(io_.GetWriteSoundRate(), -1);
  EXPECT_EQ(io_.StopPlaySound(), -1);

  ASSERT_TRUE(eventually([] { return linkState().pipesOpened.load() == 4; }));
  box_.setPlayPace(0);
  ASSERT_EQ(io_.StartPlaySound(playFile("g.raw", numberedBytes(1000)).c_str(), 0, 1, 0, false), 1);
  ASSERT_TRUE(passEnded());
  EXPECT_EQ(io_.StopPlaySound(), 1);
  EXPECT_EQ(io_.GetWriteSoundRate(), 1000);
}

// The box closes the pipe while the player waits for a go-ahead: none comes and no write
// fails, yet the pass ends as the failure it is.
TEST_F(Playback, APipeClosedBeforeTheGoAheadIsReportedAsAFailure) {
  if (test::overUsb()) GTEST_SKIP() << "over USB a write ends only once the box has taken it";
  box_.setResponder([](const vbox::Packet& p) -> std::optional<std::vector<vbox::Record>> {
    if (p[0] != 9 || p[1] != 1) return std::nullopt;
    return std::vector<vbox::Record>{vbox::Record{1, 9}};  // answered, but no go-ahead
  });
  ASSERT_EQ(io_.StartPlaySound(playFile("w.raw", numberedBytes(5000)).c_str(), 0, 1, 0, false), 1);
  ASSERT_TRUE(eventually([&] { return io_.GetWriteSoundBytes() == 512; }));
  box_.failPipe(kAudioOutPipe);
  const std::optional<tavro_event> ended = nextEvent(TAVRO_EVENT_PLAYBACK_ENDED);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->u.playback.reason, TAVRO_END_LINK_LOST);
  EXPECT_EQ(io_.GetWriteSoundRate(), -1);
  EXPECT_EQ(io_.StopPlaySound(), -1);
}

TEST_F(Playback, UnplugEndsThePassWithoutTheClosingCommand) {
  box_.setPlayPace(1);
  ASSERT_EQ(io_.StartPlaySound(playFile("u.raw", numberedBytes(100000)).c_str(), 0, 1, 0, false),
            1);
  ASSERT_TRUE(box_.waitForPackets(2, milliseconds(20000)));
  const size_t commandsBefore = box_.commands().size();
  box_.unplug();
  ASSERT_TRUE(eventually([] { return linkDown(); }));
  ASSERT_TRUE(passEnded());
  EXPECT_EQ(io_.StopPlaySound(), -1);
  EXPECT_EQ(box_.commands().size(), commandsBefore);
  EXPECT_EQ(playerState().recorderHold.load(), 0);
}

}  // namespace
}  // namespace tavro
