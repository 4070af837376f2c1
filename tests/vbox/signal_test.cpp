// The signals on the box's line, decoded with telephony receivers from the audio-in stream
// exactly as a host records it: caller IDs in every format and modulation, DTMF digits, the
// tone of the tone reports; and what must stay quiet.
#include <gtest/gtest.h>
#include <spandsp.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "vbox/audio.h"
#include "vbox/raw_wire.h"
#include "vbox/verbs.h"
#include "vbox/virtual_box.h"

namespace tavro::vbox {
namespace {

using testing::connectPipe;
using testing::control;
using testing::controlRequest;
using testing::Fd;
using testing::Host;
using testing::packet;
using testing::receive;

class LineSignals : public ::testing::Test {
 protected:
  LineSignals() {
    box.setAudioPace(20);  // the line at twenty times its speed
    EXPECT_EQ(host.ask({7, 1, 1}), packet({1, 7}));
    EXPECT_EQ(control(box, controlRequest(kVendorWriteCode, 0, kTransferSetupIndex, 6,
                                          {0, 0, 0, 0x40, 0, 0x81})),
              (std::vector<uint8_t>{1}));
  }

  // The next `seconds` of the line, as linear samples.
  Samples listen(double seconds) {
    Samples out;
    const size_t want = size_t(seconds * 8000);
    while (out.size() < want) {
      auto r = receive(audioIn.get(), 5000, 65536);
      if (r.ended || r.timedOut) break;
      pending.insert(pending.end(), r.bytes.begin(), r.bytes.end());
      size_t at = 0;
      for (; at + kFrameSize <= pending.size(); at += kFrameSize)
        for (size_t i = kFrameHeader; i < kFrameSize; ++i)
          out.push_back(alawDecode(pending[at + i]));
      pending.erase(pending.begin(), pending.begin() + at);
    }
    return out;
  }

  // Caller-ID messages (type, length, body) that a receiver of the standard finds.
  static std::vector<std::vector<uint8_t>> callerIds(const Samples& audio, int standard) {
    std::vector<std::vector<uint8_t>> found;
    auto put = [](void* user, const uint8_t* msg, int len) {
      static_cast<std::vector<std::vector<uint8_t>>*>(user)->emplace_back(msg, msg + len);
    };
    adsi_rx_state_t* rx = adsi_rx_init(nullptr, standard, put, &found);
    adsi_rx(rx, audio.data(), int(audio.size()));
    adsi_rx_free(rx);
    return found;
  }

  static std::string dtmfDigits(const Samples& audio) {
    dtmf_rx_state_t* rx = dtmf_rx_init(nullptr, nullptr, nullptr);
    dtmf_rx(rx, audio.data(), int(audio.size()));
    char digits[128] = {};
    dtmf_rx_get(rx, digits, sizeof digits - 1);
    dtmf_rx_free(rx);
    return digits;
  }

  static int peak(const Samples& audio) {
    int p = 0;
    for (int16_t s : audio) p = std::max(p, std::abs(int(s)));
    return p;
  }

  testing::RuntimeDir dir;
  VirtualBox box;
  Host host{box};
  Fd audioIn{connectPipe(box, kAudioInPipe)};
  std::vector<uint8_t> pending;  // the start of a frame not yet whole
};

TEST_F(LineSignals, CallerIdsDecodeInEveryFormatAndModulation) {
  struct Case {
    CallerIdFormat format;
    std::string number, name;
    CallerIdSignal signal;
    int standard;
  };
  const Case cases[] = {
      {CallerIdFormat::MultipleData, "5551234", "Ann Lee", CallerIdSignal::Bell202,
       ADSI_STANDARD_CLASS},
      {CallerIdFormat::MultipleData, "", "", CallerIdSignal::Bell202, ADSI_STANDARD_CLASS},
      {CallerIdFormat::SingleData, "0123456789", "", CallerIdSignal::Bell202, ADSI_STANDARD_CLASS},
      {CallerIdFormat::MultipleData, "+441632960000", "Bo", CallerIdSignal::V23,
       ADSI_STANDARD_CLIP},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.number + " " + c.name);
    box.setCallerIdSignal(c.signal);
    auto record = callerIdRecord(c.format, c.number, "12241830", c.name);
    ASSERT_TRUE(record);
    listen(0.2);  // what the line carried before
    ASSERT_TRUE(box.sendCallerId(c.format, c.number, "12241830", c.name));
    Samples audio = listen(1.5);
    auto found = callerIds(audio, c.standard);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0],
              std::vector<uint8_t>(record->begin() + 2, record->begin() + 4 + (*record)[3]));
    EXPECT_GT(peak(audio), 1000);
    EXPECT_LT(peak(audio), 32000);  // no clipping
  }
}

TEST_F(LineSignals, DigitStringCallerIdAndDtmfDigitsDecode) {
  listen(0.2);
  ASSERT_TRUE(box.sendCallerId(CallerIdFormat::DigitString, "5551234"));
  EXPECT_EQ(dtmfDigits(listen(2)), "A5551234C");

  const std::string all = "1234567890*#ABCD";
  for (char c : all) ASSERT_TRUE(box.sendDtmf(*digitCode(c)));
  Samples audio = listen(all.size() * 0.14 + 0.5);
  EXPECT_EQ(dtmfDigits(audio), all);
  EXPECT_LT(peak(audio), 32000);

  // Digits too short for a receiver to accept are not heard.
  box.setDtmfStyle({20, 20, -10});
  ASSERT_TRUE(box.sendDtmf(5));
  EXPECT_EQ(dtmfDigits(listen(0.5)), "");
}

TEST_F(LineSignals, VerbsSetTheModulationAndTheDigitStyle) {
  listen(0.2);
  ASSERT_TRUE(runVerb(box, "call 5551234 name=\"Ann Lee\" fsk=v23").ok);
  auto found = callerIds(listen(1.5), ADSI_STANDARD_CLIP);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NE(std::string(found[0].begin(), found[0].end()).find("Ann Lee"), std::string::npos);

  ASSERT_TRUE(runVerb(box, "dtmf 42 on=100 off=60 level=-20").ok);
  Samples audio = listen(0.6);
  EXPECT_EQ(dtmfDigits(audio), "42");
  EXPECT_LT(peak(audio), 8000);  // well below the default level's peak

  for (const char* bad : {"call 1 fsk=v21", "dtmf 1 level=-60", "dtmf 1 on=x", "dtmf 1 level=0"})
    EXPECT_FALSE(checkVerb(bad).action) << bad;
}

TEST_F(LineSignals, ToneReportSoundsAt450HzAndARingIsSilent) {
  listen(0.2);
  ASSERT_TRUE(box.sendTone(1, 300));
  Samples audio = listen(0.8);
  // Count the sign changes where the tone sounds: 900 a second at 450 Hz.
  auto loud = std::find_if(audio.begin(), audio.end(), [](int16_t s) { return std::abs(s) > 500; });
  ASSERT_GE(audio.end() - loud, 4000);
  int crossings = 0;
  for (auto it = loud; it + 1 < loud + 4000; ++it) crossings += (*it < 0) != (*(it + 1) < 0);
  EXPECT_NEAR(crossings, 450, 10);  // half a second's worth

  ASSERT_TRUE(box.sendRing());
  EXPECT_LT(peak(listen(0.5)), 100);
}

TEST_F(LineSignals, NoiseAndARescaledWaveFileUnderTheDigits) {
  // A wave file of room noise, made much louder than it is to be played.
  const std::string path = dir.path() + "/room.wav";
  ASSERT_TRUE(writeAlawWave(path, toAlaw(Noise(NoiseKind::Hoth, -10, 3).take(16000))));
  ASSERT_TRUE(runVerb(box, "source wave " + path + " level=-35").ok);
  listen(0.2);
  EXPECT_NEAR(soundingLevel(listen(1)), -35, 0.5);

  ASSERT_TRUE(runVerb(box, "noise -30").ok);
  listen(0.2);
  Samples quiet = listen(1);
  // Noise and room noise add up: -30 and -35 dBm0 make -28.8.
  EXPECT_NEAR(soundingLevel(quiet), -28.8, 0.5);

  ASSERT_TRUE(runVerb(box, "dtmf 1234567890*#ABCD").ok);
  Samples audio = listen(16 * 0.14 + 0.3);
  EXPECT_EQ(dtmfDigits(audio), "1234567890*#ABCD");

  ASSERT_TRUE(runVerb(box, "noise off").ok);
  ASSERT_TRUE(runVerb(box, "source silence").ok);
  listen(0.2);
  EXPECT_EQ(peak(listen(0.5)), 8);  // the smallest A-law step: the line is quiet again

  for (const char* bad : {"noise", "noise 10 kind=pink", "noise -100", "noise off kind=hoth",
                          "source pattern level=-3", "source wave x.wav level=1"})
    EXPECT_FALSE(checkVerb(bad).action) << bad;
}

TEST_F(LineSignals, NothingSoundsForAHostThatDoesNotRecordNorOverTestFrames) {
  ASSERT_EQ(host.ask({7, 0, 0}), packet({1, 7}));
  ASSERT_TRUE(box.sendDtmf(1));
  ASSERT_EQ(host.next(), packet({7, 1}));  // the record goes; the digit has nobody to sound to
  ASSERT_EQ(host.ask({7, 1, 1}), packet({1, 7}));
  listen(0.5);  // whatever was under way when recording stopped
  EXPECT_EQ(control(box, controlRequest(kVendorWriteCode, 0, kTransferSetupIndex, 6,
                                        {0, 0, 0, 0x40, 0, 0x81})),
            (std::vector<uint8_t>{1}));
  EXPECT_EQ(dtmfDigits(listen(0.5)), "");

  // Test frames number themselves; a signal never touches them.
  box.setLineSource(LineSource::pattern());
  listen(0.2);
  ASSERT_TRUE(box.sendDtmf(1));
  const size_t frames = 40;
  std::vector<uint8_t> bytes;
  while (bytes.size() < frames * kFrameSize) {
    auto r = receive(audioIn.get(), 5000, frames * kFrameSize - bytes.size());
    ASSERT_FALSE(r.ended || r.timedOut);
    bytes.insert(bytes.end(), r.bytes.begin(), r.bytes.end());
  }
  bytes.insert(bytes.begin(), pending.begin(), pending.end());
  for (size_t n = 0; n + 1 < frames; ++n) EXPECT_TRUE(isPatternFrame(&bytes[n * kFrameSize])) << n;
}

}  // namespace
}  // namespace tavro::vbox

namespace tavro::vbox {
namespace {

TEST(Mixing, LevelsAreThoseOfTheGeneratorsAndTheNoiseIsAtItsLevel) {
  EXPECT_NEAR(soundingLevel(toneSignal(1004, 500, -13)), -13, 0.1);  // no sample falls on zero
  // A digit's pair: the low tone at -10 dBm0, the high one at -8.
  EXPECT_NEAR(soundingLevel(dtmfSignal("5")), -5.9, 0.2);
  EXPECT_NEAR(soundingLevel(atLevel(dtmfSignal("5"), -30)), -30, 0.1);
  EXPECT_EQ(soundingLevel(Samples(100, 0)), -std::numeric_limits<double>::infinity());
  for (NoiseKind kind : {NoiseKind::White, NoiseKind::Hoth}) {
    Noise noise(kind, -25);
    EXPECT_NEAR(soundingLevel(noise.take(16000)), -25, 0.5);
    EXPECT_EQ(Noise(kind, -25, 7).take(100), Noise(kind, -25, 7).take(100));
  }
}

TEST(Mixing, DigitsOverSpeechAndNoiseAreHeardAndTheirLevelIsKept) {
  // Room noise as the speech under the digits, and white noise 20 dB below them.
  const Samples background = Noise(NoiseKind::Hoth, -20, 2).take(16000);
  const Samples digits = dtmfSignal("1234567890*#ABCD");
  MixLevels levels;
  levels.signalDbm0 = -15;
  levels.backgroundDbm0 = -25;
  levels.snrDb = 20;
  levels.signalAt = 4000;
  const Samples mixed = fromAlaw(mixToAlaw(digits, background, levels));
  ASSERT_EQ(mixed.size(), 4000 + digits.size());  // longer than the background
  dtmf_rx_state_t* rx = dtmf_rx_init(nullptr, nullptr, nullptr);
  dtmf_rx(rx, mixed.data(), int(mixed.size()));
  char heard[64] = {};
  dtmf_rx_get(rx, heard, sizeof heard - 1);
  dtmf_rx_free(rx);
  EXPECT_STREQ(heard, "1234567890*#ABCD");

  // Before the digits: the background and the noise (-35 dBm0) alone.
  const Samples before(mixed.begin(), mixed.begin() + 4000);
  EXPECT_NEAR(soundingLevel(before), -24.6, 0.5);
  // Each tone pair alone would be -15; speech and noise add a little.
  const Samples during(mixed.begin() + 4000 + 100, mixed.begin() + 4000 + 500);
  EXPECT_NEAR(soundingLevel(during), -15, 0.5);
}

TEST(Mixing, SumsPastFullScaleSaturate) {
  // Two loud tones whose peaks meet: a wrapping sum would turn their crests negative.
  const Samples a = atLevel(toneSignal(400, 200, 0), 0);
  const Samples b = atLevel(toneSignal(400, 200, 0), 0);
  const Samples sum = mixSignals(a, b);
  const Samples line = fromAlaw(toAlaw(sum));
  EXPECT_GE(peakOf(sum), 32767);
  EXPECT_EQ(peakOf(line), 32256);  // A-law's largest step
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::abs(int(a[i])) < 100) continue;  // near a zero crossing
    ASSERT_EQ(a[i] > 0, line[i] > 0) << i;
    ASSERT_GE(std::abs(int(line[i])), std::abs(int(a[i])) / 2) << i;
  }
  // The loudest a full-scale mixture with noise gets: it never wraps either.
  MixLevels levels;
  levels.snrDb = -3;  // noise louder than the tone
  const Samples noisy = mixSignals(a, {}, levels);
  EXPECT_GE(peakOf(noisy), 32767);
}

// A box that listens to its line: nobody records, the records come from the detectors.
class Detection : public ::testing::Test {
 protected:
  Detection() {
    EXPECT_EQ(host.ask({14}), testing::packet({1, 14}));  // both pipes are connected now
    box.setAudioPace(20);
    box.setDetect(true);
  }
  testing::RuntimeDir dir;
  VirtualBox box;
  testing::Host host{box};
};

TEST_F(Detection, EventsSoundAndTheDetectorsSendTheirRecords) {
  for (CallerIdSignal signal : {CallerIdSignal::Bell202, CallerIdSignal::V23}) {
    box.setCallerIdSignal(signal);
    ASSERT_TRUE(box.sendCallerId(CallerIdFormat::MultipleData, "5551234", "12241830", "Ann Lee"));
    auto record = callerIdRecord(CallerIdFormat::MultipleData, "5551234", "12241830", "Ann Lee");
    EXPECT_EQ(host.next(), std::vector<uint8_t>(record->begin(), record->end()));
  }
  const std::string all = "1234567890*#ABCD";
  for (char c : all) ASSERT_TRUE(box.sendDtmf(*digitCode(c)));
  for (char c : all) EXPECT_EQ(host.next(), testing::packet({7, *digitCode(c)})) << c;

  ASSERT_TRUE(box.sendTone(3, 300));  // its values are the detector's now
  auto tone = host.next();
  ASSERT_EQ(tone.size(), 64u);
  EXPECT_EQ(tone[0], 5);
  EXPECT_EQ(tone[1], 1);
  EXPECT_NEAR(tone[2] | tone[3] << 8, 500, 50);  // its length in ms
  EXPECT_TRUE(host.next(300).empty());           // nothing was sent twice
}

TEST_F(Detection, ARecordedLineIsHeard) {
  Samples call = dtmfSignal("42");
  call.resize(call.size() + 8000);  // a second of quiet before it repeats
  std::vector<uint8_t> alaw;
  for (int16_t s : call) alaw.push_back(alawEncode(s));
  box.setLineSource(LineSource::alaw(alaw));
  EXPECT_EQ(host.next(), testing::packet({7, 4}));
  EXPECT_EQ(host.next(), testing::packet({7, 2}));
  box.setDetect(false);
  box.setLineSource(LineSource::silence());
}

}  // namespace
}  // namespace tavro::vbox
