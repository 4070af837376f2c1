// The box's audio: A-law coding, line sources and wave files; the audio-in stream (pacing,
// status bytes, out-of-step frames, dropping whole frames) and the audio-out side (go-aheads,
// capture) over raw sockets.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>
#include <fstream>

#include "vbox/audio.h"
#include "vbox/raw_wire.h"
#include "vbox/virtual_box.h"

namespace tavro::vbox {
namespace {

using namespace std::chrono_literals;
using testing::connectPipe;
using testing::control;
using testing::controlRequest;
using testing::Fd;
using testing::Host;
using testing::packet;
using testing::receive;
using testing::sendBytes;

const std::vector<uint8_t> kSetupIn =
    controlRequest(kVendorWriteCode, 0, kTransferSetupIndex, 6, {0, 0, 0, 0x40, 0, 0x81});

// Reads exactly n bytes from a stream (empty on end or time-out).
std::vector<uint8_t> readExactly(int fd, size_t n, int timeoutMs = 5000) {
  std::vector<uint8_t> out;
  while (out.size() < n) {
    auto r = receive(fd, timeoutMs, n - out.size());
    if (r.ended || r.timedOut) return {};
    out.insert(out.end(), r.bytes.begin(), r.bytes.end());
  }
  return out;
}

// Everything the stream holds now, until it stays quiet for quietMs.
std::vector<uint8_t> drain(int fd, int quietMs = 200) {
  std::vector<uint8_t> out;
  for (;;) {
    auto r = receive(fd, quietMs, 65536);
    if (r.ended || r.timedOut) return out;
    out.insert(out.end(), r.bytes.begin(), r.bytes.end());
  }
}

TEST(Alaw, EveryCodeSurvivesDecodeAndEncode) {
  for (int c = 0; c < 256; ++c) EXPECT_EQ(alawEncode(alawDecode(uint8_t(c))), c) << c;
  EXPECT_EQ(alawEncode(0), kAlawSilence);
  EXPECT_EQ(alawEncode(32767), 0xAA);   // loudest positive
  EXPECT_EQ(alawEncode(-32768), 0x2A);  // loudest negative
}

TEST(FrameMakerTest, SourcesFillTheFrames) {
  FrameMaker m;
  Frame f = m.next(0x81);
  EXPECT_EQ(std::memcmp(f.data(), "stcq", 4), 0);
  EXPECT_EQ(f[4], 0x81);
  EXPECT_TRUE(std::all_of(f.begin() + 6, f.end(), [](uint8_t b) { return b == kAlawSilence; }));

  m.setSource(LineSource::pattern());
  for (uint32_t n = 0; n < 3; ++n) {
    f = m.next(0);
    EXPECT_TRUE(isPatternFrame(f.data()));
    EXPECT_EQ(patternFrameNumber(f.data()), n);
  }
  f[100] ^= 1;
  EXPECT_FALSE(isPatternFrame(f.data()));

  // Samples run on across frames and loop.
  std::vector<uint8_t> samples(300);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = uint8_t(i);
  m.setSource(LineSource::alaw(samples));
  m.next(0);
  f = m.next(0);
  EXPECT_EQ(f[6], samples[250]);
  EXPECT_EQ(f[6 + 50], samples[0]);

  // A 1 kHz tone crosses zero 2000 times a second.
  m.setSource(LineSource::tone(1000, 0.5));
  int crossings = 0, peak = 0;
  int16_t last = 0;
  for (int i = 0; i < 32; ++i) {
    f = m.next(0);
    for (size_t k = 6; k < f.size(); ++k) {
      int16_t v = alawDecode(f[k]);
      if ((v >= 0) != (last >= 0)) ++crossings;
      peak = std::max(peak, std::abs(int(v)));
      last = v;
    }
  }
  EXPECT_NEAR(crossings, 2000, 4);
  EXPECT_NEAR(peak, 16384, 1100);
}

TEST(WaveFile, WritesAndReadsAlawWaves) {
  testing::RuntimeDir dir;
  std::string path = dir.path() + "/a.wav";
  std::vector<uint8_t> bytes = {1, 2, 3, 4, 5};
  ASSERT_TRUE(writeAlawWave(path, bytes));
  std::string why;
  auto back = readAlawWave(path, &why);
  ASSERT_TRUE(back) << why;
  EXPECT_EQ(*back, bytes);

  // A 20-byte format chunk and a data size larger than the file (an unfinished recording).
  std::vector<uint8_t> h = {'R', 'I', 'F',  'F',  0xF8, 0x3F, 0,    0, 'W', 'A', 'V', 'E',  'f',
                            'm', 't', ' ',  20,   0,    0,    0,    6, 0,   1,   0,   0x40, 0x1F,
                            0,   0,   0x40, 0x1F, 0,    0,    1,    0, 8,   0,   0,   0,    0,
                            0,   'd', 'a',  't',  'a',  0xE0, 0x07, 0, 0,   7,   8,   9};
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(h.data()), h.size());
  back = readAlawWave(path, &why);
  ASSERT_TRUE(back) << why;
  EXPECT_EQ(*back, (std::vector<uint8_t>{7, 8, 9}));

  h[20] = 1;  // PCM, not A-law
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(h.data()), h.size());
  EXPECT_FALSE(readAlawWave(path, &why));
  EXPECT_FALSE(LineSource::waveFile(dir.path() + "/missing.wav"));
}

class BoxAudio : public ::testing::Test {
 protected:
  BoxAudio() {
    box.setLineSource(LineSource::pattern());
    box.setAudioPace(0);
  }

  // Switches recording on the way the host does: command 7, then the transfer setup.
  void startRecording() {
    ASSERT_EQ(host.ask({7, 1, 1}), packet({1, 7}));
    ASSERT_EQ(control(box, kSetupIn), (std::vector<uint8_t>{1}));
  }

  testing::RuntimeDir dir;
  VirtualBox box;
  Host host{box};
  Fd audioIn{connectPipe(box, kAudioInPipe)};
};

TEST_F(BoxAudio, StreamsOnlyAfterCommandAndSetupUntilStopped) {
  ASSERT_EQ(host.ask({7, 1, 1}), packet({1, 7}));
  EXPECT_TRUE(receive(audioIn.get(), 200).timedOut);  // no transfer setup yet
  EXPECT_FALSE(box.audioStreaming());
  ASSERT_EQ(control(box, kSetupIn), (std::vector<uint8_t>{1}));
  EXPECT_TRUE(box.audioStreaming());

  auto bytes = readExactly(audioIn.get(), 100 * kFrameSize);
  ASSERT_EQ(bytes.size(), 100 * kFrameSize);
  for (uint32_t n = 0; n < 100; ++n) {
    ASSERT_TRUE(isPatternFrame(&bytes[n * kFrameSize])) << n;
    ASSERT_EQ(patternFrameNumber(&bytes[n * kFrameSize]), n);
  }

  ASSERT_EQ(host.ask({7, 0, 0}), packet({1, 7}));
  EXPECT_FALSE(box.audioStreaming());
  auto rest = drain(audioIn.get());
  EXPECT_EQ(rest.size() % kFrameSize, 0u);
  EXPECT_EQ(box.framesSent(), 100 + rest.size() / kFrameSize);
  EXPECT_EQ(box.droppedFrames(), 0u);

  // The next recording needs a setup of its own.
  ASSERT_EQ(host.ask({7, 1, 1}), packet({1, 7}));
  EXPECT_TRUE(receive(audioIn.get(), 200).timedOut);
}

TEST_F(BoxAudio, FailedSetupStartsNothing) {
  box.setTransferSetupFails(true);
  ASSERT_EQ(host.ask({7, 1, 1}), packet({1, 7}));
  EXPECT_EQ(control(box, kSetupIn), (std::vector<uint8_t>{0}));
  EXPECT_TRUE(receive(audioIn.get(), 200).timedOut);
  EXPECT_FALSE(box.audioStreaming());
}

TEST_F(BoxAudio, StatusBytesForAllFramesOrOne) {
  box.setFrameStatusOnce(0x02);
  box.setFrameStatusOnce(0x03);
  startRecording();
  auto bytes = readExactly(audioIn.get(), 3 * kFrameSize);
  ASSERT_FALSE(bytes.empty());
  EXPECT_EQ(bytes[4], 0x02);
  EXPECT_EQ(bytes[kFrameSize + 4], 0x03);
  EXPECT_EQ(bytes[2 * kFrameSize + 4], 0x00);
  box.setFrameStatus(0x81);
  // Frames made after the change carry it; skip what was already in the pipe.
  bool seen = false;
  for (int i = 0; i < 20000 && !seen; ++i) {
    auto f = readExactly(audioIn.get(), kFrameSize);
    ASSERT_FALSE(f.empty());
    seen = f[4] == 0x81;
  }
  EXPECT_TRUE(seen);
}

TEST_F(BoxAudio, PartialFrameShiftsTheStream) {
  box.injectPartialFrame(128);
  startRecording();
  auto bytes = readExactly(audioIn.get(), 128 + 2 * kFrameSize);
  ASSERT_FALSE(bytes.empty());
  EXPECT_EQ(std::memcmp(&bytes[0], "stcq", 4), 0);  // the head of a frame...
  EXPECT_EQ(patternFrameNumber(&bytes[0]), 0u);
  EXPECT_TRUE(isPatternFrame(&bytes[128]));  // ...whose rest never comes
  EXPECT_EQ(patternFrameNumber(&bytes[128]), 1u);
  EXPECT_EQ(patternFrameNumber(&bytes[128 + kFrameSize]), 2u);
  EXPECT_EQ(box.partialFramesSent(), 1u);
}

TEST_F(BoxAudio, SlowReaderLosesWholeFramesOnly) {
  box.setAudioPace(100);  // 3200 frames per second; the test reads nothing for a while
  startRecording();
  ASSERT_TRUE(box.waitForDroppedFrames(50, 20s));
  // Read on while the box streams, so that the stream goes on after the drops.
  uint64_t sentAtDrop = box.framesSent();
  std::vector<uint8_t> bytes;
  while (box.framesSent() < sentAtDrop + 20) {
    auto r = receive(audioIn.get(), 5000, 65536);
    ASSERT_FALSE(r.ended || r.timedOut);
    bytes.insert(bytes.end(), r.bytes.begin(), r.bytes.end());
  }
  ASSERT_EQ(host.ask({7, 0, 0}), packet({1, 7}));
  auto rest = drain(audioIn.get());
  bytes.insert(bytes.end(), rest.begin(), rest.end());

  ASSERT_EQ(bytes.size() % kFrameSize, 0u);
  size_t frames = bytes.size() / kFrameSize;
  EXPECT_EQ(frames, box.framesSent());
  uint32_t gaps = 0, last = 0;
  for (size_t k = 0; k < frames; ++k) {
    const uint8_t* f = &bytes[k * kFrameSize];
    ASSERT_TRUE(isPatternFrame(f)) << k;  // whole frames, in step
    uint32_t n = patternFrameNumber(f);
    if (k > 0) {
      ASSERT_GT(n, last) << k;  // never doubled or reordered
      gaps += n - last - 1;
    }
    last = n;
  }
  EXPECT_GT(gaps, 0u);
  EXPECT_LE(gaps, box.droppedFrames());
  EXPECT_LE(uint64_t(last) + 1, box.framesSent() + box.droppedFrames());
}

TEST_F(BoxAudio, RealTimePaceIs32FramesPerSecond) {
  box.setAudioPace(1);
  auto before = Clock::now();  // the first frame goes no earlier, frame k 31.25 ms later each
  startRecording();
  ASSERT_FALSE(readExactly(audioIn.get(), 9 * kFrameSize).empty());
  EXPECT_GE(Clock::now() - before, 250ms);
}

TEST_F(BoxAudio, UnplugEndsTheStream) {
  startRecording();
  ASSERT_FALSE(readExactly(audioIn.get(), kFrameSize).empty());
  box.unplug();
  drain(audioIn.get(), 2000);  // ends with the connection
  EXPECT_FALSE(box.audioStreaming());
  EXPECT_TRUE(receive(audioIn.get(), 100).ended);
}

class BoxPlayback : public ::testing::Test {
 protected:
  std::vector<uint8_t> audioPacket(uint8_t fill) { return std::vector<uint8_t>(256, fill); }
  bool sendBlock(uint8_t fill) {
    return sendBytes(audioOut.get(), audioPacket(fill)) &&
           sendBytes(audioOut.get(), audioPacket(uint8_t(fill + 1)));
  }

  testing::RuntimeDir dir;
  VirtualBox box;
  Host host{box};
  Fd audioOut{connectPipe(box, kAudioOutPipe)};
};

TEST_F(BoxPlayback, GoAheadPerBlockAndEverythingCaptured) {
  box.setPlayPace(0);
  EXPECT_EQ(host.ask({9, 1, 3, 1, 0}), packet({9, 0}));  // on: answered by the first go-ahead
  ASSERT_TRUE(sendBlock(10));
  EXPECT_EQ(host.next(), packet({9, 0}));
  ASSERT_TRUE(sendBlock(20));
  EXPECT_EQ(host.next(), packet({9, 0}));
  ASSERT_TRUE(sendBytes(audioOut.get(), audioPacket(30)));  // half a block: no go-ahead
  EXPECT_TRUE(host.next(200).empty());
  ASSERT_TRUE(box.waitForPackets(5, 5s));
  EXPECT_EQ(box.goAheadsSent(), 2u);

  std::vector<uint8_t> expected;
  for (uint8_t fill : {10, 11, 20, 21, 30}) {
    auto p = audioPacket(fill);
    expected.insert(expected.end(), p.begin(), p.end());
  }
  EXPECT_EQ(box.playedAudio(), expected);

  EXPECT_EQ(host.ask({9, 0, 3, 1, 0}), packet({1, 9}));  // off: no more go-aheads
  ASSERT_TRUE(sendBytes(audioOut.get(), audioPacket(31)));
  ASSERT_TRUE(sendBlock(40));
  EXPECT_TRUE(host.next(200).empty());
  EXPECT_EQ(box.packetsReceived(), 8u);
  ASSERT_TRUE(sendBytes(audioOut.get(), std::vector<uint8_t>(100, 1)));  // not a packet
  ASSERT_TRUE(box.sendPlaybackFault());
  EXPECT_EQ(host.next(), packet({208, 3, 0}));
  EXPECT_EQ(box.packetsReceived(), 8u);
  EXPECT_EQ(box.malformedMessages(), 1u);
  box.clearPlayedAudio();
  EXPECT_TRUE(box.playedAudio().empty());
}

TEST_F(BoxPlayback, GoAheadsComeAtTheLinePace) {
  EXPECT_EQ(host.ask({9, 1, 0, 0, 0}), packet({9, 0}));
  auto start = Clock::now();
  std::vector<Clock::duration> at;
  for (uint8_t b = 0; b < 4; ++b) {
    ASSERT_TRUE(sendBlock(b));
    ASSERT_EQ(host.next(), packet({9, 0}));
    at.push_back(Clock::now() - start);
  }
  // One block is kept in hand: the first go-ahead comes at once, then one per 64 ms.
  // (Only lower bounds: a busy machine may make any of them later.)
  EXPECT_GE(at[1], 63ms);
  EXPECT_GE(at[3], 3 * 63ms);
}

}  // namespace
}  // namespace tavro::vbox
