// A box that goes on answering commands but stops streaming audio in the middle of a
// recording: stopping the recording, or the whole library, must not wait on it.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_state.h"
#include "audio_fixture.h"
#include "vbox/audio.h"

namespace tavro {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using test::AudioBoxTest;
using test::eventually;
using test::le32;
using test::readBytes;

constexpr double kScale = 10;  // library time runs ten times faster in the scaled tests

// Checks that the file is a wave file whose header describes exactly the audio it holds,
// that a reader takes it as such, and that the audio is the box's frames 0, 1, 2, ...
// without a gap. Returns the number of audio bytes.
size_t expectWholeWave(const std::string& name) {
  const std::vector<uint8_t> bytes = readBytes(name);
  EXPECT_GE(bytes.size(), 48u);
  if (bytes.size() < 48) return 0;
  const size_t audio = bytes.size() - 48;
  EXPECT_EQ(le32(bytes, 44), audio) << "data size in the header";
  EXPECT_EQ(le32(bytes, 4), audio + 40) << "RIFF size in the header";
  EXPECT_EQ(audio % 500, 0u);

  SF_INFO info{};
  SNDFILE* f = sf_open(name.c_str(), SFM_READ, &info);
  EXPECT_NE(f, nullptr) << sf_strerror(nullptr);
  if (f == nullptr) return audio;
  EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_ALAW);
  EXPECT_EQ(info.samplerate, 8000);
  EXPECT_EQ(info.frames, static_cast<sf_count_t>(audio));
  sf_close(f);

  for (size_t at = 48, n = 0; at + 250 <= bytes.size(); at += 250, ++n) {
    vbox::Frame frame{};
    std::memcpy(frame.data(), "stcq", 4);
    std::memcpy(frame.data() + 6, bytes.data() + at, 250);
    EXPECT_TRUE(vbox::isPatternFrame(frame.data()));
    EXPECT_EQ(vbox::patternFrameNumber(frame.data()), static_cast<int64_t>(n));
  }
  return audio;
}

class StalledStream : public AudioBoxTest {
 protected:
  void SetUp() override {
    AudioBoxTest::SetUp();
    box_.setLineSource(vbox::LineSource::pattern());
    box_.setAudioPace(20);
  }

  // Records until some audio has come, then stops the stream and waits until the recorder
  // has taken every whole block the box sent and waits in a read that nothing will end.
  // Returns the number of whole 512-byte blocks received.
  int32_t recordThenStall(const std::string& name) {
    EXPECT_EQ(io_.StartReadSound(name.c_str(), 1), 1);
    EXPECT_TRUE(eventually([] { return recorderState().recordedBytes.load() >= 512 * 8; }));
    box_.setAudioStalled(true);
    // plug() on a plugged box is a round trip through the box's thread: once it has
    // returned the box has seen the stall, and no further frame is sent.
    box_.plug();
    const auto blocks = [&] { return static_cast<int32_t>(box_.framesSent() / 2); };
    EXPECT_TRUE(eventually([&] { return recorderState().recordedBytes.load() >= 512 * blocks(); }));
    EXPECT_TRUE(eventually([] { return recorderState().recorderBusy.load() == 1; }))
        << "the recorder waits in its read";
    return blocks();
  }

  bool closingCommandArrived() {
    for (const auto& c : box_.commands())
      if (c.packet == makePacket({7, 0, 0})) return true;
    return false;
  }
};

// The stop gives up after its 6 s wait, ends the recording with what came, and the closing
// command still reaches the box: -3, within the wait and one command round trip.
TEST_F(StalledStream, StopReadSoundEndsWithinItsLimits) {
  test::ScaledTime fast(kScale);
  const std::string name = file("stall.wav");
  const int32_t blocks = recordThenStall(name);

  const auto start = steady_clock::now();
  EXPECT_EQ(io_.StopReadSound(), -3);
  const double libraryMs =
      std::chrono::duration<double, std::milli>(steady_clock::now() - start).count() * kScale;
  EXPECT_GE(libraryMs, 6000);
  EXPECT_LT(libraryMs, 6000 + 3000 + 2000) << "the wait, one round trip, some slack";
  EXPECT_TRUE(eventually([&] { return !notices_.texts().empty(); }));
  EXPECT_EQ(notices_.texts(), std::vector<std::string>{"In StopReadSound Error!"});
  EXPECT_TRUE(closingCommandArrived());

  EXPECT_EQ(expectWholeWave(name), 500u * blocks);
  EXPECT_EQ(io_.ReadRecLength(), 48 + 512 * blocks) << "the count of what the file holds";
  EXPECT_EQ(recorderState().recordFinished.load(), 1);
  EXPECT_EQ(noticeState().eventFlags.load() & kRecordingActiveEvent, 0u);
}

// The stream comes back just after the stop has given up: nothing of it reaches the
// recording, the results stay those of the time-out, and the next recording works.
TEST_F(StalledStream, StreamResumingAfterTheStopChangesNothing) {
  test::ScaledTime fast(kScale);
  const std::string name = file("late.wav");
  const int32_t blocks = recordThenStall(name);
  std::thread resume([&] {
    eventually([&] { return !notices_.texts().empty(); });
    box_.setAudioStalled(false);
  });
  const int result = io_.StopReadSound();
  resume.join();
  EXPECT_EQ(result, -3);
  EXPECT_EQ(io_.ReadRecLength(), 48 + 512 * blocks);
  EXPECT_EQ(expectWholeWave(name), 500u * blocks);

  box_.clearLog();
  const std::string next = file("next.wav");
  const uint64_t framesBefore = box_.framesSent();
  ASSERT_EQ(io_.StartReadSound(next.c_str(), 1), 1);
  ASSERT_TRUE(eventually([] { return recorderState().recordedBytes.load() >= 512 * 8; }));
  const int second = io_.StopReadSound();
  EXPECT_GE(second, 48 + 512 * 8);
  EXPECT_EQ(io_.ReadRecLength(), second);
  const std::vector<uint8_t> bytes = readBytes(next);
  EXPECT_EQ(le32(bytes, 44), bytes.size() - 48);
  EXPECT_GT(box_.framesSent(), framesBefore);
}

// The same for a stream into host buffers: the close gives up after 6 s, the stream ends
// with the count of what came, and the next stream starts at once.
TEST_F(StalledStream, ClosingAStalledHostStreamEndsItForTheNextOne) {
  test::ScaledTime fast(kScale);
  ASSERT_EQ(io_.SetRecordStatus(true, 1), 1);
  ASSERT_EQ(io_.OpenReadSoundInPC(), 1);
  std::atomic<int32_t> taken{0};
  std::thread reader([&] {
    std::vector<unsigned char> buffer(513);
    for (int n; (n = io_.ReadSoundFromBufferToPC(buffer.data(), 512)) > 0;) taken += n;
  });
  EXPECT_TRUE(eventually([&] { return taken.load() >= 512 * 8; }));
  box_.setAudioStalled(true);
  box_.plug();
  const int32_t sent = static_cast<int32_t>(box_.framesSent() / 2) * 512;
  EXPECT_TRUE(eventually([&] { return taken.load() >= sent; }));
  EXPECT_TRUE(eventually([] { return recorderState().recorderBusy.load() == 1; }));

  EXPECT_EQ(io_.CloseReadSoundInPC(), -3);
  reader.join();
  EXPECT_EQ(recorderState().recordFinished.load(), 1) << "the waiting read was cut off";
  EXPECT_EQ(io_.ReadRecLength(), taken.load());
  EXPECT_EQ(io_.SetRecordStatus(false, 0), 1);

  box_.setAudioStalled(false);
  ASSERT_EQ(io_.SetRecordStatus(true, 1), 1);
  ASSERT_EQ(io_.OpenReadSoundInPC(), 1);
  std::vector<unsigned char> buffer(513);
  EXPECT_EQ(io_.ReadSoundFromBufferToPC(buffer.data(), 512), 512);
  EXPECT_GT(io_.CloseReadSoundInPC(), 0);
}

// Destroying the library with the recorder waiting on a silent stream: the recorder gets
// about 2 s, then its read is cut off; the file keeps what came, with a proper header.
// In real time, as a user sees it.
TEST_F(StalledStream, StopOfTheLibraryDoesNotWaitOnTheStream) {
  const std::string name = file("exit.wav");
  const int32_t blocks = recordThenStall(name);

  const auto start = steady_clock::now();
  io_.ExistUSB_IO();
  const auto took = steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(6));
  EXPECT_EQ(linkState().statusWord.load(), kInitialStatusWord);
  EXPECT_EQ(expectWholeWave(name), 500u * blocks);
}

}  // namespace
}  // namespace tavro
