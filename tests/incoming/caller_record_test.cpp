// The whole caller-ID record: date and time, name, reasons for absence, checksum, raw bytes,
// against records laid out as the published caller-ID formats give them.
#include "incoming/caller_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "incoming/caller_number.h"

namespace tavro {
namespace {

// Month, day, hour and minute, to compare in one look.
std::array<int, 4> dateTimeOf(const tavro_caller_id& id) {
  return {id.month, id.day, id.hour, id.minute};
}

using Bytes = std::vector<uint8_t>;

// A stored record: state 1, then the message exactly as it came off the line (type,
// length, body, checksum), then zeros.
std::array<uint8_t, 64> stored(const Bytes& message) {
  std::array<uint8_t, 64> r{};
  r[0] = kRecordMessage;
  for (size_t i = 0; i < message.size() && i + 1 < 63; ++i) r[i + 1] = message[i];
  return r;
}

// Type, length, body and the checksum that makes their sum 0 modulo 256.
Bytes message(uint8_t type, const Bytes& body) {
  Bytes m(body.size() + 2);
  m[0] = type;
  m[1] = static_cast<uint8_t>(body.size());
  std::copy(body.begin(), body.end(), m.begin() + 2);
  uint8_t sum = 0;
  for (uint8_t b : m) sum = static_cast<uint8_t>(sum + b);
  m.push_back(static_cast<uint8_t>(-sum));
  return m;
}

Bytes param(uint8_t type, const std::string& data) {
  Bytes p(data.size() + 2);
  p[0] = type;
  p[1] = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), p.begin() + 2);
  return p;
}

Bytes operator+(Bytes a, const Bytes& b) {
  const size_t n = a.size();
  a.resize(n + b.size());
  std::copy(b.begin(), b.end(), a.begin() + static_cast<std::ptrdiff_t>(n));
  return a;
}

tavro_caller_id decode(const std::array<uint8_t, 64>& r) {
  tavro_caller_id id;
  EXPECT_TRUE(decodeCallerId(r.data(), r.size(), &id));
  return id;
}

TEST(CallerRecord, SingleDataMessageOfTheFskStandard) {
  // September 30, 12:24, 6095551212, checksum 0x51: the standard's own example.
  const Bytes sdmf = {0x04, 0x12, '0', '9', '3', '0', '1', '2', '2', '4', '6',
                      '0',  '9',  '5', '5', '5', '1', '2', '1', '2', 0x51};
  const tavro_caller_id id = decode(stored(sdmf));
  EXPECT_EQ(id.message_type, TAVRO_CALLER_ID_SINGLE);
  EXPECT_STREQ(id.number, "6095551212");
  EXPECT_EQ(id.has_date_time, 1);
  EXPECT_EQ(dateTimeOf(id), (std::array<int, 4>{9, 30, 12, 24}));
  EXPECT_EQ(id.checksum_valid, 1);
  ASSERT_EQ(id.raw_length, 1 + sdmf.size());
  EXPECT_EQ(Bytes(id.raw + 1, id.raw + id.raw_length), sdmf);

  Bytes bad = sdmf;
  bad.back() ^= 1;
  EXPECT_EQ(decode(stored(bad)).checksum_valid, 0) << "reported, the number still given";
  EXPECT_STREQ(decode(stored(bad)).number, "6095551212");
}

TEST(CallerRecord, SingleDataMessageWithAReasonInsteadOfANumber) {
  const tavro_caller_id priv =
      decode(stored(message(0x04, Bytes{'1', '2', '2', '5', '0', '8', '1', '5', 'P'})));
  EXPECT_EQ(priv.number_absence, TAVRO_ABSENCE_PRIVATE);
  EXPECT_STREQ(priv.number, "");
  const tavro_caller_id out =
      decode(stored(message(0x04, Bytes{'1', '2', '2', '5', '0', '8', '1', '5', 'O'})));
  EXPECT_EQ(out.number_absence, TAVRO_ABSENCE_UNAVAILABLE);
  EXPECT_EQ(out.month, 12);
  EXPECT_EQ(out.minute, 15);
}

TEST(CallerRecord, MultipleDataMessageWithNameDateAndNumber) {
  const Bytes body = param(0x01, "11281530") + param(0x02, "5551234567") + param(0x07, "DOE JOHN");
  const tavro_caller_id id = decode(stored(message(0x80, body)));
  EXPECT_EQ(id.message_type, TAVRO_CALLER_ID_MULTIPLE);
  EXPECT_STREQ(id.number, "5551234567");
  EXPECT_STREQ(id.name, "DOE JOHN");
  EXPECT_EQ(dateTimeOf(id), (std::array<int, 4>{11, 28, 15, 30}));
  EXPECT_EQ(id.checksum_valid, 1);
  EXPECT_EQ(id.number_absence, TAVRO_ABSENCE_NONE);
  EXPECT_EQ(id.name_absence, TAVRO_ABSENCE_NONE);
}

TEST(CallerRecord, MultipleDataMessageWithReasonsForAbsence) {
  // The European layout: number withheld, name unavailable.
  const Bytes body = param(0x01, "03071945") + param(0x04, "P") + param(0x08, "O");
  const tavro_caller_id id = decode(stored(message(0x80, body)));
  EXPECT_EQ(id.number_absence, TAVRO_ABSENCE_PRIVATE);
  EXPECT_EQ(id.name_absence, TAVRO_ABSENCE_UNAVAILABLE);
  EXPECT_STREQ(id.number, "");
  EXPECT_STREQ(id.name, "");
  EXPECT_EQ(id.has_date_time, 1);
}

TEST(CallerRecord, MultipleDataMessagesOfTheEuropeanLayout) {
  // A call-type parameter ahead of the others is passed over.
  const Bytes full = param(0x11, "\x01") + param(0x01, "03071945") + param(0x02, "0612345678") +
                     param(0x07, "MARTIN CLAIRE");
  const tavro_caller_id id = decode(stored(message(0x80, full)));
  EXPECT_STREQ(id.number, "0612345678");
  EXPECT_STREQ(id.name, "MARTIN CLAIRE");
  EXPECT_EQ(dateTimeOf(id), (std::array<int, 4>{3, 7, 19, 45}));
  EXPECT_EQ(id.checksum_valid, 1);
  // Number out of area, name withheld; a number with its name unavailable.
  const tavro_caller_id reasons =
      decode(stored(message(0x80, param(0x01, "06150905") + param(0x04, "O") + param(0x08, "P"))));
  EXPECT_EQ(reasons.number_absence, TAVRO_ABSENCE_UNAVAILABLE);
  EXPECT_EQ(reasons.name_absence, TAVRO_ABSENCE_PRIVATE);
  const tavro_caller_id noName = decode(stored(
      message(0x80, param(0x01, "01010000") + param(0x02, "4045550199") + param(0x08, "O"))));
  EXPECT_STREQ(noName.number, "4045550199");
  EXPECT_EQ(noName.number_absence, TAVRO_ABSENCE_NONE);
  EXPECT_EQ(noName.name_absence, TAVRO_ABSENCE_UNAVAILABLE);
  EXPECT_EQ(dateTimeOf(noName), (std::array<int, 4>{1, 1, 0, 0})) << "midnight is a time";
}

TEST(CallerRecord, UntrustedFieldsAreCheckedAndCut) {
  // A date out of range is not given; a name with control and parity bytes is made
  // printable; a name longer than the record ends with the record.
  const Bytes body = param(0x01, "13400000") + param(0x07, std::string("A\x01\xC2", 3));
  const tavro_caller_id id = decode(stored(message(0x80, body)));
  EXPECT_EQ(id.has_date_time, 0);
  EXPECT_STREQ(id.name, "A?B");
  Bytes cut(60, 'N');
  cut[0] = 0x80;
  cut[1] = 0x3C;
  cut[2] = 0x07;
  cut[3] = 0xFF;
  const tavro_caller_id longName = decode(stored(cut));
  EXPECT_EQ(std::string(longName.name), std::string(56, 'N'));
  EXPECT_EQ(longName.checksum_valid, 0) << "the checksum was cut off";
}

TEST(CallerRecord, DigitStringsOfEuropeAndAsia) {
  auto digits = [](const std::string& s) {
    return stored(message(0x05, Bytes(s.begin(), s.end())));
  };
  EXPECT_STREQ(decode(digits("D0612345678C")).number, "0612345678");
  EXPECT_STREQ(decode(digits("A0612345678#")).number, "0612345678");
  EXPECT_EQ(decode(digits("A0612345678#")).checksum_valid, 1);
  EXPECT_EQ(decode(digits("B10C")).number_absence, TAVRO_ABSENCE_PRIVATE);
  EXPECT_EQ(decode(digits("DB00C")).number_absence, TAVRO_ABSENCE_UNAVAILABLE);
  EXPECT_STREQ(decode(digits("DB00C")).number, "");
  EXPECT_EQ(decode(digits("AB10#")).number_absence, TAVRO_ABSENCE_PRIVATE);
  EXPECT_EQ(decode(digits("AB00#")).number_absence, TAVRO_ABSENCE_UNAVAILABLE);
  // The box's own lead byte ahead of a framed string.
  const std::string lead(1, '\xFF');
  const tavro_caller_id led = decode(digits(lead + "D0612345678C"));
  EXPECT_STREQ(led.number, "0612345678");
  EXPECT_EQ(led.message_type, TAVRO_CALLER_ID_DTMF);
  EXPECT_EQ(led.number_absence, TAVRO_ABSENCE_NONE);
  EXPECT_EQ(decode(digits(lead + "DB10C")).number_absence, TAVRO_ABSENCE_PRIVATE);
}

// Nothing of an earlier record or of the decoder's own buffers is left after a text's
// terminating zero: the record is handed on whole (events, C programs).
TEST(CallerRecord, TextsEndWithZerosToTheEndOfTheirFields) {
  auto clearAfterText = [](const char* field, size_t size) {
    const size_t n = std::strlen(field);
    return std::all_of(field + n, field + size, [](char c) { return c == 0; });
  };
  const Bytes longNumber = param(0x02, std::string(30, '9')) + param(0x07, std::string(40, 'N'));
  const auto privateSingle =
      stored(message(0x04, Bytes{'1', '2', '2', '5', '0', '8', '1', '5', 'P'}));
  const Bytes twoNames = param(0x07, "LONG NAME HERE") + param(0x02, "12") + param(0x07, "AB");
  const Bytes bothAbsent =
      param(0x02, "5550000") + param(0x04, "O") + param(0x07, "X Y") + param(0x08, "P");
  for (const auto& r :
       {stored(message(0x80, longNumber)), privateSingle, stored(message(0x80, longNumber)),
        stored(message(0x80, twoNames)), stored(message(0x80, bothAbsent))}) {
    const tavro_caller_id id = decode(r);
    EXPECT_TRUE(clearAfterText(id.number, sizeof id.number)) << id.number;
    EXPECT_TRUE(clearAfterText(id.name, sizeof id.name)) << id.name;
  }
  EXPECT_STREQ(decode(stored(message(0x80, twoNames))).name, "AB") << "the last name given";
  const tavro_caller_id absent = decode(stored(message(0x80, bothAbsent)));
  EXPECT_STREQ(absent.number, "");
  EXPECT_STREQ(absent.name, "") << "a name with a reason for its absence is not given";
}

TEST(CallerRecord, NoNumberAndNothing) {
  std::array<uint8_t, 64> r{};
  tavro_caller_id id;
  EXPECT_FALSE(decodeCallerId(r.data(), r.size(), &id)) << "nothing received yet";
  r[0] = kRecordNoNumber;
  ASSERT_TRUE(decodeCallerId(r.data(), r.size(), &id));
  EXPECT_EQ(id.number_absence, TAVRO_ABSENCE_NO_NUMBER);
  EXPECT_EQ(id.message_type, TAVRO_CALLER_ID_NONE);
}

}  // namespace
}  // namespace tavro
