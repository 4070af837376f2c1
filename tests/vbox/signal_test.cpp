// The signals on the box's line, decoded with telephony receivers from the audio-in stream
// exactly as a host records it: caller IDs in every format and modulation, DTMF digits, the
// tone of the tone reports; and what must stay quiet.
#include <gtest/gtest.h>
#include <spandsp.h>

#include <algorithm>
#include <cmath>
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
