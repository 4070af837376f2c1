#include "tools/text.h"

#include <cstring>

#include <gtest/gtest.h>

#include "tavro/status.h"
#include "tools/event_text.h"

namespace tavro::tool {
namespace {

TEST(DialNumber, StripsTheSeparatorsPeopleType) {
  EXPECT_EQ(cleanDialNumber("(030) 555-12.34").digits, "0305551234");
  EXPECT_EQ(cleanDialNumber(" *21#").digits, "*21#");
  EXPECT_EQ(cleanDialNumber("1a2L").digits, "1a2L");
  EXPECT_TRUE(cleanDialNumber("(030) 555-12.34").error.empty());
}

TEST(DialNumber, RefusesOtherCharactersByName) {
  DialNumber plus = cleanDialNumber("+49 30 555");
  EXPECT_TRUE(plus.digits.empty());
  EXPECT_NE(plus.error.find("'+' at position 1"), std::string::npos) << plus.error;

  DialNumber comma = cleanDialNumber("555,1234");
  EXPECT_NE(comma.error.find("',' at position 4"), std::string::npos) << comma.error;
  // Letters past L have no digit code of their own.
  EXPECT_NE(cleanDialNumber("12m").error.find("'m'"), std::string::npos);
  EXPECT_NE(cleanDialNumber("1\x01"
                            "2")
                .error.find("byte 0x01"),
            std::string::npos);
  EXPECT_NE(cleanDialNumber("1\xE9").error.find("byte 0xE9"), std::string::npos);
}

TEST(DialNumber, RefusesEmptyAndOverlongNumbers) {
  EXPECT_FALSE(cleanDialNumber("").error.empty());
  EXPECT_FALSE(cleanDialNumber(" - ( ) .").error.empty());
  std::string longest(kMaxDialDigits, '7');
  EXPECT_EQ(cleanDialNumber(longest).digits, longest);
  // The box would cut a longer number silently: refuse it instead.
  DialNumber tooLong = cleanDialNumber(longest + "-7");
  EXPECT_TRUE(tooLong.digits.empty());
  EXPECT_NE(tooLong.error.find("42 digits"), std::string::npos) << tooLong.error;
}

TEST(StatusWord, NamesEveryBit) {
  EXPECT_EQ(describeStatus(kLinkDownBit | kReaderReadyBit | kInitialisedBit),
            "0x00000284 (initialised, reader-ready, link-down)");
  EXPECT_EQ(describeStatus(0), "0x00000000 (no bit set)");
  // Bits without a name are shown by value, so that nothing set goes unseen.
  EXPECT_EQ(statusBitNames(kOffHookBit | 0x10000u | 0x80000000u),
            (std::vector<std::string>{"off-hook", "0x10000", "0x80000000"}));
}

TEST(DtmfKey, FollowsTheBoxKeyNumbering) {
  EXPECT_EQ(dtmfKey(1), '1');
  EXPECT_EQ(dtmfKey(9), '9');
  EXPECT_EQ(dtmfKey(10), '0');
  EXPECT_EQ(dtmfKey(11), '*');
  EXPECT_EQ(dtmfKey(12), '#');
  EXPECT_EQ(dtmfKey(16), 'D');
  EXPECT_EQ(dtmfKey(0), '?');
  EXPECT_EQ(dtmfKey(200), '?');
}

TEST(JsonString, StaysValidWhateverTheBoxSends) {
  EXPECT_EQ(jsonString("555"), "\"555\"");
  EXPECT_EQ(jsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(jsonString(std::string("x\n\x01\xff", 4)), "\"x\\n\\u0001\\u00ff\"");
}

TEST(TerminalText, NoByteFromTheBoxControlsTheTerminal) {
  EXPECT_EQ(terminalText("555 1234"), "555 1234");
  // ESC, BEL, a C1 CSI, DEL and a backslash: each shown by its value, and unambiguously.
  EXPECT_EQ(terminalText(std::string("\x1b]0;t\x07\x9b\x7f\\x", 10)),
            "\\x1b]0;t\\x07\\x9b\\x7f\\\\x");
  EXPECT_EQ(terminalText(std::string("\0\n", 2)), "\\x00\\x0a");
}

TEST(Results, MapToExitCodesAndWords) {
  EXPECT_EQ(describeResult(1, OpKind::kCommand, "pick up").exitCode, kExitOk);
  EXPECT_EQ(describeResult(512, OpKind::kRecord, "record").exitCode, kExitOk);

  Failure down = describeResult(-1, OpKind::kCommand, "pick up");
  EXPECT_EQ(down.exitCode, kExitLinkDown);
  EXPECT_EQ(down.message, "pick up failed: link down: the box is not connected");
  EXPECT_EQ(describeResult(-3, OpKind::kCommand, "x").exitCode, kExitNoAnswer);
  EXPECT_EQ(describeResult(-4, OpKind::kDial, "x").exitCode, kExitOnHook);
  EXPECT_EQ(describeResult(-4, OpKind::kRecord, "x").exitCode, kExitOnHook);
  EXPECT_EQ(describeResult(-5, OpKind::kRecord, "x").exitCode, kExitFile);
  EXPECT_EQ(describeResult(-5, OpKind::kPlay, "x").exitCode, kExitFile);
  EXPECT_EQ(describeResult(-6, OpKind::kPlay, "x").exitCode, kExitBusy);
  EXPECT_EQ(describeResult(-7, OpKind::kRecord, "x").exitCode, kExitFile);
  // A code an operation does not document is still a failure, named by its name and value.
  Failure odd = describeResult(-4, OpKind::kCommand, "ring");
  EXPECT_EQ(odd.exitCode, kExitFailed);
  EXPECT_NE(odd.message.find("TAVRO_ERROR_ON_HOOK (-4)"), std::string::npos) << odd.message;
  EXPECT_EQ(describeResult(0, OpKind::kCommand, "x").exitCode, kExitFailed);
}

TEST(Progress, BarIsClampedAndSized) {
  EXPECT_EQ(progressBar(500, 10), "[#####-----]  50.0%");
  EXPECT_EQ(progressBar(-1, 4), "[----]   0.0%");
  EXPECT_EQ(progressBar(5000, 4), "[####] 100.0%");
  EXPECT_EQ(recordProgress(2.0, 16000), "2.0 s, 16000 bytes, 8000 bytes/s");
  EXPECT_EQ(recordProgress(0.0, 0), "0.0 s, 0 bytes, 0 bytes/s");
}

TEST(WaveSizes, AnUnfinishedHeaderIsMadeToMatchTheFile) {
  std::array<uint8_t, kWaveHeaderBytes> h = {
      'R', 'I', 'F', 'F', 0xF8, 0x3F, 0, 0, 'W',  'A',  'V', 'E', 'f',  'm',  't', ' ',
      20,  0,   0,   0,   6,    0,    1, 0, 0x40, 0x1F, 0,   0,   0x40, 0x1F, 0,   0,
      1,   0,   8,   0,   0,    0,    0, 0, 'd',  'a',  't', 'a', 0xE0, 0x07, 0,   0};
  ASSERT_TRUE(repairWaveSizes(h, 48 + 1000));
  EXPECT_EQ(h[4] | h[5] << 8, 1040);
  EXPECT_EQ(h[44] | h[45] << 8, 1000);
  EXPECT_FALSE(repairWaveSizes(h, 48 + 1000));  // already right

  std::array<uint8_t, kWaveHeaderBytes> other = h;
  other[20] = 1;  // not A-law: not a file of ours, left alone
  EXPECT_FALSE(repairWaveSizes(other, 48 + 500));
  EXPECT_EQ(other[44] | other[45] << 8, 1000);
  EXPECT_FALSE(repairWaveSizes(h, 20));  // shorter than its header
}

tavro_event eventOf(uint32_t kind) {
  tavro_event e;
  std::memset(&e, 0, sizeof e);
  e.kind = kind;
  return e;
}

std::vector<uint8_t> wave(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits,
                          uint32_t dataSize, std::size_t audio, bool extensible = false) {
  std::vector<uint8_t> f;
  auto put = [&](uint32_t v, int n) {
    for (int i = 0; i < n; ++i) f.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  auto tag4 = [&](const char* t) {
    for (int i = 0; i < 4; ++i) f.push_back(static_cast<uint8_t>(t[i]));
  };
  tag4("RIFF");
  put(0, 4);
  tag4("WAVE");
  tag4("LIST");  // a chunk before the format, of odd length: padded to even
  put(3, 4);
  tag4("abc");
  tag4("fmt ");
  put(extensible ? 40 : 16, 4);
  put(extensible ? 0xFFFE : tag, 2);
  put(channels, 2);
  put(rate, 4);
  put(rate * channels * bits / 8, 4);
  put(channels * bits / 8, 2);
  put(bits, 2);
  if (extensible) {
    put(22, 2);
    put(bits, 2);
    put(0, 4);
    put(tag, 2);
    put(0, 4);
    put(0, 4);
    put(0, 4);
    put(0, 2);
  }
  tag4("data");
  put(dataSize, 4);
  f.resize(f.size() + audio, 0xD5);
  return f;
}

AudioFile examine(const std::vector<uint8_t>& f) {
  return examineAudioFile(
      [&](uint64_t at, uint8_t* to, std::size_t n) -> std::size_t {
        if (at >= f.size()) return 0;
        n = std::min<std::size_t>(n, f.size() - at);
        std::memcpy(to, f.data() + at, n);
        return n;
      },
      f.size());
}

TEST(AudioFile, AWaveOfWhatTheLineCarriesPlaysItsAudioOnly) {
  AudioFile a = examine(wave(6, 1, 8000, 8, 100, 100));
  EXPECT_TRUE(a.playable) << a.found;
  EXPECT_EQ(a.offset, 12u + 12 + 24 + 8);
  EXPECT_EQ(a.length, 100u);
  // A recording cut short promises more than the file holds: the file's end counts.
  EXPECT_EQ(examine(wave(6, 1, 8000, 8, 0xFFFFFFFF, 40)).length, 40u);
  EXPECT_TRUE(examine(wave(6, 1, 8000, 8, 10, 10, true)).playable);
}

TEST(AudioFile, AnythingElseIsNamed) {
  EXPECT_EQ(examine(wave(1, 2, 16000, 16, 8, 8)).found, "a 16-bit PCM stereo wave at 16000 Hz");
  EXPECT_EQ(examine(wave(7, 1, 8000, 8, 8, 8)).found, "an 8-bit mu-law mono wave at 8000 Hz");
  EXPECT_FALSE(examine(wave(6, 1, 8000, 8, 8, 8)).found.empty());
  EXPECT_EQ(examine(wave(6, 3, 8000, 8, 8, 8)).found, "an 8-bit A-law 3-channel wave at 8000 Hz");
  const std::vector<uint8_t> text{'h', 'e', 'l', 'l', 'o', '\n'};
  EXPECT_EQ(examine(text).found, "not a wave file");
  EXPECT_FALSE(examine(text).wave);
  const std::vector<uint8_t> ogg{'O', 'g', 'g', 'S', 0, 2, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(examine(ogg).found, "an Ogg file");
  // A header whose chunks run past the end is no wave to play, and reads nothing beyond it.
  std::vector<uint8_t> cut = wave(6, 1, 8000, 8, 8, 8);
  cut.resize(30);
  EXPECT_FALSE(examine(cut).playable);
}

TEST(EventReport, EachLinkChangeOnceTheFirstComingUpAsUp) {
  EventReport report;
  std::vector<std::string> seen;
  for (uint32_t kind : {TAVRO_EVENT_LINK_LOST, TAVRO_EVENT_LINK_BACK, TAVRO_EVENT_LINK_BACK,
                        TAVRO_EVENT_LINK_LOST, TAVRO_EVENT_LINK_LOST, TAVRO_EVENT_LINK_BACK}) {
    if (auto e = report.describe(eventOf(kind), 0)) seen.push_back(e->text);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"up", "lost", "back"}));
}

TEST(EventReport, CallerIdShowsEveryFieldAndStaysSafe) {
  EventReport report;
  tavro_event e = eventOf(TAVRO_EVENT_CALLER_ID);
  tavro_caller_id& c = e.u.caller_id;
  c.message_type = TAVRO_CALLER_ID_MULTIPLE;
  c.has_date_time = 1;
  c.month = 3;
  c.day = 9;
  c.hour = 7;
  c.minute = 5;
  std::strcpy(c.number, "555\x1b[2J");
  std::strcpy(c.name, "O\"Neil \\ Co");
  c.raw_length = 2;
  c.raw[0] = 1;
  c.raw[1] = 0x80;
  e.sequence = 7;
  e.time_ns = 42;
  auto d = report.describe(e, 42);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->text, "555\\x1b[2J \"O\"Neil \\\\ Co\" 03-09 07:05 (checksum wrong)");
  for (const char* f :
       {"\"number\":\"555\\u001b[2J\"", "\"name\":\"O\\\"Neil \\\\ Co\"", "\"month\":3",
        "\"minute\":5", "\"checksum_valid\":false", "\"message\":\"multiple-data\"",
        "\"raw\":\"0180\"", "\"sequence\":7", "\"monotonic_ns\":42", "\"number_absence\":null"})
    EXPECT_NE(d->fields.find(f), std::string::npos) << f << " in " << d->fields;

  // Absent fields: the reason in words, null in JSON; a digit string has no checksum.
  std::memset(&c, 0, sizeof c);
  c.message_type = TAVRO_CALLER_ID_DTMF;
  c.checksum_valid = 1;
  c.number_absence = TAVRO_ABSENCE_PRIVATE;
  c.name_absence = TAVRO_ABSENCE_UNAVAILABLE;
  d = report.describe(e, 42);
  EXPECT_EQ(d->text, "private (name unavailable)");
  EXPECT_NE(d->fields.find("\"number\":null,\"number_absence\":\"private\""), std::string::npos);
  EXPECT_NE(d->fields.find("\"month\":null"), std::string::npos);
  c.number_absence = TAVRO_ABSENCE_NO_NUMBER;
  c.name_absence = 0;
  c.message_type = 0;
  EXPECT_EQ(report.describe(e, 42)->text, "no number");
}

TEST(EventReport, DatesAnEventByItsOwnClock) {
  EventReport report;
  tavro_event e = eventOf(TAVRO_EVENT_RING);
  e.time_ns = 1'000'000'000;
  auto before = std::chrono::system_clock::now();
  auto d = report.describe(e, 3'500'000'000);  // it happened 2.5 s ago
  ASSERT_TRUE(d);
  auto age = std::chrono::duration<double>(before - d->when).count();
  EXPECT_GT(age, 2.4);
  EXPECT_LT(age, 3.5);
  EXPECT_EQ(eventLine(*d, true).find("{\"time\":\""), 0u);
  EXPECT_NE(eventLine(*d, true).find("\"event\":\"ring\",\"sequence\":0"), std::string::npos);
}

}  // namespace
}  // namespace tavro::tool
