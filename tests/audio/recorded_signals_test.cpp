// A recording made with the library holds the signals the box's line carries: the caller-ID
// burst and the DTMF digits are decoded from the recorded wave file with telephony receivers,
// as an application would decode a recording of a real line.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <spandsp.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "audio/audio_state.h"
#include "audio_fixture.h"
#include "vbox/verbs.h"

namespace tavro {
namespace {

using test::AudioBoxTest;
using test::eventually;

// Bytes the recorder takes per 500 bytes of audio (a block of two frames).
constexpr int32_t kBlock = 512;

std::vector<int16_t> readWave(const std::string& name) {
  SF_INFO info{};
  SNDFILE* f = sf_open(name.c_str(), SFM_READ, &info);
  EXPECT_NE(f, nullptr) << sf_strerror(nullptr);
  if (f == nullptr) return {};
  EXPECT_EQ(info.samplerate, 8000);
  EXPECT_EQ(info.channels, 1);
  std::vector<int16_t> pcm(static_cast<size_t>(info.frames));
  EXPECT_EQ(sf_read_short(f, pcm.data(), info.frames), info.frames);
  sf_close(f);
  return pcm;
}

// The caller-ID messages (type, length, body) a Bell 202 receiver finds in the audio.
std::vector<std::vector<uint8_t>> callerIds(const std::vector<int16_t>& audio) {
  std::vector<std::vector<uint8_t>> found;
  auto put = [](void* user, const uint8_t* msg, int len) {
    static_cast<std::vector<std::vector<uint8_t>>*>(user)->emplace_back(msg, msg + len);
  };
  adsi_rx_state_t* rx = adsi_rx_init(nullptr, ADSI_STANDARD_CLASS, put, &found);
  adsi_rx(rx, audio.data(), static_cast<int>(audio.size()));
  adsi_rx_free(rx);
  return found;
}

// The parameters of a multiple-data message, by type.
std::map<int, std::string> parameters(const std::vector<uint8_t>& msg) {
  std::map<int, std::string> out;
  if (msg.size() < 2 || msg[0] != 0x80 || msg[1] + 2u > msg.size()) return out;
  for (size_t at = 2; at + 2 <= 2u + msg[1];) {
    const size_t len = msg[at + 1];
    if (at + 2 + len > 2u + msg[1]) break;
    out[msg[at]] = std::string(msg.begin() + at + 2, msg.begin() + at + 2 + len);
    at += 2 + len;
  }
  return out;
}

std::string dtmfDigits(const std::vector<int16_t>& audio) {
  dtmf_rx_state_t* rx = dtmf_rx_init(nullptr, nullptr, nullptr);
  dtmf_rx(rx, audio.data(), static_cast<int>(audio.size()));
  char digits[128] = {};
  dtmf_rx_get(rx, digits, sizeof digits - 1);
  dtmf_rx_free(rx);
  return digits;
}

class RecordedSignals : public AudioBoxTest {
 protected:
  // Records the line in real time while `verb` plays: from a first block on, until `heard`
  // holds and two seconds of audio more have come (every signal has sounded by then).
  std::vector<int16_t> recordWhile(const std::string& verb, const std::function<bool()>& heard) {
    const std::string name = file("line.wav");
    EXPECT_EQ(io_.StartReadSound(name.c_str(), 1), 1);
    EXPECT_TRUE(eventually([] { return recorderState().recordedBytes.load() >= kBlock; }));
    EXPECT_TRUE(vbox::runVerb(box_, verb).ok) << verb;
    EXPECT_TRUE(eventually(heard)) << "the library did not get the records of " << verb;
    const int32_t at = recorderState().recordedBytes.load();
    EXPECT_TRUE(eventually([&] { return recorderState().recordedBytes.load() >= at + 32 * kBlock; },
                           std::chrono::seconds(30)));
    EXPECT_GT(io_.StopReadSound(), 48 + 32 * kBlock);
    EXPECT_EQ(box_.droppedFrames(), 0u) << "the recording lost audio";
    return readWave(name);
  }
};

TEST_F(RecordedSignals, CallerIdBurstDecodesFromTheRecording) {
  const std::vector<int16_t> audio = recordWhile("call 5551234 name=\"Ann Lee\" date=12091830",
                                                 [] { return statusHas(kCallerNumberBit); });
  unsigned char number[64] = {};
  EXPECT_EQ(io_.Read_Call_Nmb(number), 1);
  EXPECT_STREQ(reinterpret_cast<char*>(number), "5551234");

  const auto found = callerIds(audio);
  ASSERT_EQ(found.size(), 1u) << "one burst, whole, with a good checksum";
  const auto params = parameters(found[0]);
  EXPECT_EQ(params.size(), 3u);
  EXPECT_EQ(params.count(0x02) ? params.at(0x02) : "<none>", "5551234");
  EXPECT_EQ(params.count(0x07) ? params.at(0x07) : "<none>", "Ann Lee");
  EXPECT_EQ(params.count(0x01) ? params.at(0x01) : "<none>", "12091830");
  EXPECT_EQ(dtmfDigits(audio), "") << "nothing else sounded";
}

TEST_F(RecordedSignals, DtmfDigitsDecodeFromTheRecording) {
  std::vector<int> codes;
  const std::vector<int16_t> audio = recordWhile("dtmf 42", [&] {
    unsigned char code = 0;
    while (io_.GetDTMFCode(&code) == 1) codes.push_back(code);
    return codes.size() >= 2;
  });
  EXPECT_EQ(codes, (std::vector<int>{4, 2}));
  EXPECT_EQ(dtmfDigits(audio), "42");
  EXPECT_TRUE(callerIds(audio).empty());
}

}  // namespace
}  // namespace tavro
