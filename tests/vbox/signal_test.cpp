// The signals on the box's line, decoded with telephony receivers from the audio-in stream
// exactly as a host records it: caller IDs in every format and modulation, DTMF digits, the
// tone of the tone reports, the call-progress tones of three countries; and what must stay quiet.
#include <gtest/gtest.h>
#include <spandsp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

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

// The on and off runs of a line in 5 ms steps, in ms (on: a step's power above -50 dBm0);
// the last run, cut by the listening, is left out. `firstOn` is the first sample of the
// first step that sounds (the size of the audio when none does).
std::vector<std::pair<bool, int>> runsOf(const Samples& audio, size_t& firstOn) {
  constexpr size_t kStep = 40;
  std::vector<std::pair<bool, int>> runs;
  firstOn = audio.size();
  for (size_t at = 0; at + kStep <= audio.size(); at += kStep) {
    double power = 0;
    for (size_t i = at; i < at + kStep; ++i) power += double(audio[i]) * audio[i];
    const bool on = power / kStep > 1e4;
    if (on && firstOn == audio.size()) firstOn = at;
    if (runs.empty() || runs.back().first != on)
      runs.emplace_back(on, 5);
    else
      runs.back().second += 5;
  }
  if (!runs.empty()) runs.pop_back();
  return runs;
}

// The share of the samples' power that is at hz: near 1 for a sine at hz alone.
double shareAt(const int16_t* samples, int n, int hz) {
  goertzel_descriptor_t desc;
  make_goertzel_descriptor(&desc, float(hz), n);
  goertzel_state_t state;
  goertzel_init(&state, &desc);
  goertzel_update(&state, samples, n);
  double power = 0;
  for (int i = 0; i < n; ++i) power += double(samples[i]) * samples[i];
  return goertzel_result(&state) / (power * n);
}

TEST_F(LineSignals, CallProgressTonesHaveTheirCountrysFrequenciesAndCadences) {
  // The published frequencies and cadences (on, off, on, off in ms; no off: steady).
  const struct {
    const char* verb;
    ToneCadence c;
  } cases[] = {
      {"tone dial", {350, 440, -13, 1000, 0, 0, 0}},
      {"tone ringback country=us", {440, 480, -19, 2000, 4000, 0, 0}},
      {"tone busy", {480, 620, -24, 500, 500, 0, 0}},
      {"tone congestion country=us", {480, 620, -24, 250, 250, 0, 0}},
      {"tone dial country=uk", {350, 440, -13, 1000, 0, 0, 0}},
      {"tone ringback country=uk", {400, 450, -13, 400, 200, 400, 2000}},
      {"tone busy country=uk", {400, 0, -13, 375, 375, 0, 0}},
      {"tone congestion country=uk", {400, 0, -13, 400, 350, 225, 525}},
      {"tone dial country=de", {425, 0, -13, 1000, 0, 0, 0}},
      {"tone ringback country=de", {425, 0, -13, 1000, 4000, 0, 0}},
      {"tone busy country=de", {425, 0, -13, 480, 480, 0, 0}},
      {"tone congestion country=de", {425, 0, -13, 240, 240, 0, 0}},
  };
  for (const auto& [verb, c] : cases) {
    SCOPED_TRACE(verb);
    ASSERT_TRUE(runVerb(box, "tone off").ok);
    listen(0.5);  // what was made before, and a quiet line
    ASSERT_TRUE(runVerb(box, verb).ok);
    const int period = c.onMs1 + c.offMs1 + c.onMs2 + c.offMs2;
    const Samples audio = listen(0.3 + 2.0 * std::max(period, 1000) / 1000);
    EXPECT_LT(peakOf(audio), 32000);

    size_t start = 0;
    const auto runs = runsOf(audio, start);
    ASSERT_LT(start, audio.size()) << "no tone";
    // From its start the tone follows its cadence, on and off, cycle after cycle.
    const size_t first = !runs.empty() && !runs[0].first ? 1 : 0;  // the line before it
    if (c.offMs1 == 0) {
      EXPECT_EQ(runs.size(), first) << "a steady tone has no break";
    } else {
      std::vector<std::pair<bool, int>> cycle;
      for (int ms : {c.onMs1, c.offMs1, c.onMs2, c.offMs2})
        if (ms > 0) cycle.emplace_back(cycle.size() % 2 == 0, ms);
      ASSERT_GE(runs.size(), first + cycle.size()) << "a whole cycle";
      for (size_t i = first; i < runs.size(); ++i) {
        const auto& want = cycle[(i - first) % cycle.size()];
        EXPECT_EQ(runs[i].first, want.first) << "run " << i;
        EXPECT_NEAR(runs[i].second, want.second, 10) << "run " << i;
      }
    }

    // 200 ms of its first sound (whole beats of two tones): its frequencies, each at its level.
    constexpr int kLook = 1600;
    ASSERT_GE(audio.size(), start + 40 + kLook);
    const int16_t* on = audio.data() + start + 40;
    const double level = soundingLevel(Samples(on, on + kLook));
    if (c.hz2 == 0) {
      EXPECT_GT(shareAt(on, kLook, c.hz1), 0.9);
      EXPECT_NEAR(level, c.level, 0.5);
    } else {
      EXPECT_NEAR(shareAt(on, kLook, c.hz1), 0.5, 0.1);
      EXPECT_NEAR(shareAt(on, kLook, c.hz2), 0.5, 0.1);
      EXPECT_NEAR(level, c.level + 3, 0.5);  // two tones of the level add up
    }
  }
  ASSERT_TRUE(runVerb(box, "tone off").ok);
  listen(0.5);
  EXPECT_LT(peakOf(listen(0.5)), 100) << "the tone ended";
  ASSERT_TRUE(runVerb(box, "tone busy country=de level=-30").ok);
  const Samples quiet = listen(1);
  size_t start = 0;
  runsOf(quiet, start);
  ASSERT_LT(start + 400, quiet.size());
  EXPECT_NEAR(soundingLevel(Samples(quiet.begin() + start + 40, quiet.begin() + start + 440)), -30,
              0.5);
  for (const char* bad : {"tone busy country=fr", "tone off level=-3", "tone 3 300 country=us",
                          "tone dial level=-3.5", "tone hold", "tone busy 3", "tone off now"})
    EXPECT_FALSE(checkVerb(bad).action) << bad;
}

}  // namespace
}  // namespace tavro::vbox

namespace tavro::vbox {
namespace {

// A call with its rings: the caller ID between the first and the second ring (North
// American), or after the alerting signal and before the first ring (ETSI); its record goes
// once its burst has sounded.
TEST_F(LineSignals, ACallersIdIsTimedAgainstTheRings) {
  const auto record =
      callerIdRecord(CallerIdFormat::MultipleData, "5551234", "12241830", "Ann Lee");
  ASSERT_TRUE(record);
  const std::vector<uint8_t> message(record->begin() + 2, record->begin() + 4 + (*record)[3]);
  const std::vector<uint8_t> recordBytes(record->begin(), record->end());
  const std::vector<uint8_t> ring = packet({3});
  using Clock = std::chrono::steady_clock;

  listen(0.2);
  box.setCallerIdSignal(CallerIdSignal::Bell202);
  const auto start = Clock::now();
  ASSERT_TRUE(box.sendIncomingCall(CallerIdTiming::NorthAmerica, 2, CallerIdFormat::MultipleData,
                                   "5551234", "12241830", "Ann Lee"));
  EXPECT_EQ(host.next(), ring);
  Samples audio = listen(4);
  EXPECT_EQ(host.next(), recordBytes);
  // The records go by the clock, the line at twenty times its speed: the caller ID comes
  // no sooner than the end of its burst, 2.5 s after the first ring began.
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(2500));
  EXPECT_EQ(host.next(), ring) << "the second ring";
  auto found = callerIds(audio, ADSI_STANDARD_CLASS);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0], message);

  listen(0.2);
  box.setCallerIdSignal(CallerIdSignal::V23);
  ASSERT_TRUE(box.sendIncomingCall(CallerIdTiming::Etsi, 1, CallerIdFormat::MultipleData, "5551234",
                                   "12241830", "Ann Lee"));
  audio = listen(2);
  EXPECT_EQ(host.next(), recordBytes) << "the caller ID before the ring";
  EXPECT_EQ(host.next(), ring);
  found = callerIds(audio, ADSI_STANDARD_CLIP);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0], message);
  // The alerting signal, 100 ms of 2130 and 2750 Hz, then 100 ms of quiet before the burst.
  auto loud = std::find_if(audio.begin(), audio.end(), [](int16_t v) { return std::abs(v) > 500; });
  ASSERT_GE(audio.end() - loud, 1600);
  const int16_t* alert = &*loud;
  EXPECT_GT(shareAt(alert, 800, 2130), 0.3);
  EXPECT_GT(shareAt(alert, 800, 2750), 0.3);
  EXPECT_LT(peak(Samples(alert + 820, alert + 1580)), 100);
  EXPECT_GT(peak(Samples(alert + 1600, alert + 2400)), 1000) << "the burst";
}

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
