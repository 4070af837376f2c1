// The whole caller-ID record: date and time, name, reasons for absence, checksum, raw bytes,
// against records laid out as the published caller-ID formats give them.
#include "incoming/caller_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
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
