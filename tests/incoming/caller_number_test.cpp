#include "incoming/caller_number.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace tavro {
namespace {

using Record = std::array<uint8_t, 64>;

// A stored record as the reply reader leaves it: state 1, the message, its checksum and
// a zero, cut like the reader's copy at 63 bytes and a zero. `fill` stands for the bytes
// an earlier record left behind.
Record storedRecord(uint8_t type, const std::vector<uint8_t>& body, int length = -1,
                    uint8_t fill = 0) {
  Record r;
  r.fill(fill);
  std::vector<uint8_t> bytes = {kRecordMessage, type,
                                static_cast<uint8_t>(length < 0 ? body.size() : length)};
  bytes.insert(bytes.end(), body.begin(), body.end());
  uint8_t sum = type + bytes[2];
  for (uint8_t b : body) sum += b;
  bytes.push_back(static_cast<uint8_t>(-sum));
  if (bytes.size() > 63) bytes.resize(63);
  std::copy(bytes.begin(), bytes.end(), r.begin());
  r[bytes.size()] = 0;
  return r;
}

std::vector<uint8_t> text(const std::string& s) {
  return {s.begin(), s.end()};
}

std::vector<uint8_t> param(uint8_t type, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> p(2 + data.size());
  p[0] = type;
  p[1] = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), p.begin() + 2);
  return p;
}

std::vector<uint8_t> join(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The parse result and the text, or "<untouched>" when the buffer was not written. The
// parser sees an exactly sized heap copy, so that the sanitizer catches any read past it.
std::pair<int, std::string> parse(const uint8_t* bytes, size_t size) {
  std::vector<uint8_t> record(bytes, bytes + size);
  char out[kCallerNumberSize + 8];
  std::memset(out, 'X', sizeof out);
  out[sizeof out - 1] = '\0';
  const int rc = parseCallerNumber(record.data(), record.size(), out);
  EXPECT_EQ(out[kCallerNumberSize], 'X') << "wrote past the 61-byte buffer";
  if (out[0] == 'X') return {rc, "<untouched>"};
  return {rc, out};
}
std::pair<int, std::string> parse(const Record& r, size_t size = 64) {
  return parse(r.data(), size);
}

TEST(CallerNumber, SingleDataMessage) {
  EXPECT_EQ(parse(storedRecord(0x04, text("030512345551234"))),
            std::make_pair(kNumberWritten, std::string("5551234")));
  // Only the date and time, or less: an empty number.
  EXPECT_EQ(parse(storedRecord(0x04, text("03051234"))), std::make_pair(1, std::string()));
  EXPECT_EQ(parse(storedRecord(0x04, text("0305"))), std::make_pair(1, std::string()));
  // The longest number a stored record holds (51 characters) comes out whole.
  std::string number;
  for (int i = 0; i < 51; ++i) number += static_cast<char>('0' + i % 10);
  const auto r = parse(storedRecord(0x04, text("03051234" + number)));
  EXPECT_EQ(r.second, number) << "the stored record holds 51 of them";
  EXPECT_EQ(parse(storedRecord(0x04, text("03051234A-B"))).second, "A-B");
}

TEST(CallerNumber, SingleDataCutAtFiftySeven) {
  // A stored record holds at most 51 number characters; a longer one given to the parser
  // still yields no more than 57.
  std::vector<uint8_t> r = {kRecordMessage, 0x04, 68};
  for (char c : std::string("03051234")) r.push_back(static_cast<uint8_t>(c));
  for (int i = 0; i < 60; ++i) r.push_back(static_cast<uint8_t>('0' + i % 10));
  r.push_back(0x55);
  r.push_back(0);
  EXPECT_EQ(parse(r.data(), r.size()).second, std::string(r.begin() + 11, r.begin() + 68));
}

TEST(CallerNumber, MultipleDataMessage) {
  const auto dateTime = param(0x01, text("03051234"));
  const auto name = param(0x07, text("ANN SMITH"));
  EXPECT_EQ(parse(storedRecord(0x80, join({dateTime, param(0x02, text("5551234")), name}))),
            std::make_pair(1, std::string("5551234")));
  EXPECT_EQ(parse(storedRecord(0x80, join({dateTime, name}))), std::make_pair(1, std::string()));
  // Parity bits are cleared; a number parameter is cut at 30 characters.
  EXPECT_EQ(parse(storedRecord(0x80, param(0x02, {0xB5, 0xB5, 0x31}))).second, "551");
  std::string forty(40, '7');
  EXPECT_EQ(parse(storedRecord(0x80, join({dateTime, param(0x02, text(forty))}))).second,
            std::string(30, '7'));
  // A zero-length parameter ahead of the number is stepped over; an empty number is empty.
  EXPECT_EQ(parse(storedRecord(0x80, join({param(0x07, {}), param(0x02, text("12"))}))).second,
            "12");
  EXPECT_EQ(parse(storedRecord(0x80, join({param(0x02, {}), name}))).second, "");
}

TEST(CallerNumber, DigitStringMessage) {
  EXPECT_EQ(parse(storedRecord(0x05, {0xFF, '7', '8', '9', 0x0D})).second, "789");
  EXPECT_EQ(parse(storedRecord(0x05, text("789"))).second, "789");
  EXPECT_EQ(parse(storedRecord(0x05, text("A123#"))).second, "123");
  EXPECT_EQ(parse(storedRecord(0x05, {})), std::make_pair(1, std::string()));
  EXPECT_EQ(parse(storedRecord(0x05, {0xFF})), std::make_pair(1, std::string()));
}

TEST(CallerNumber, StatesAndUnknownTypes) {
  Record r{};
  EXPECT_EQ(parse(r).first, kNothingToRead);  // nothing received yet
  EXPECT_EQ(parse(r).second, "<untouched>");
  r = storedRecord(0x04, text("030512345551234"));
  r[0] = kRecordNoNumber;
  r[1] = 0;
  EXPECT_EQ(parse(r), std::make_pair(kNoNumber, std::string("<untouched>")));
  EXPECT_EQ(parse(storedRecord(0x06, text("5551234"))),
            std::make_pair(kNothingToRead, std::string("<untouched>")));
}

// Records the box must not send, but might: lengths that point past the stored message or
// the body, a message of 0 or 255 bytes. Each stays inside the record.
TEST(CallerNumber, HostileRecordsStayInsideTheRecord) {
  // The length claims 255 bytes; the record holds 60 of body. Stale bytes past the
  // stored zero must not appear.
  auto r = storedRecord(0x05, text(std::string(10, '4')), 255, '9');
  EXPECT_EQ(parse(r).second, std::string(10, '4') + std::string(48, '9'))
      << "read up to the last byte before the record's terminating zero, not beyond";
  r = storedRecord(0x05, text(std::string(80, '4')), 255);
  EXPECT_EQ(parse(r).second, std::string(60, '4'));
  // A length that points past the stored message: bytes after the message are not used.
  r = storedRecord(0x05, text("12"), -1, '9');
  r[2] = 40;
  EXPECT_EQ(parse(r, 6).second, "12") << "cut at the given size";
  // A number parameter that runs past the body is cut at the body's end.
  r = storedRecord(0x80, {0x02, 50, '1', '2', '3'}, -1, '8');
  EXPECT_EQ(parse(r).second, "123");
  // A parameter length that jumps past the body: no number.
  r = storedRecord(0x80, {0x01, 200, 0x02, 3, '1', '2', '3'}, -1, '8');
  EXPECT_EQ(parse(r).second, "");
  // A body full of zero-length parameters ends the walk.
  r = storedRecord(0x80, std::vector<uint8_t>(58, 0), 255, 0);
  EXPECT_EQ(parse(r).second, "");
  // Type 0x02 as the last body byte: its length would lie outside the body.
  r = storedRecord(0x80, {0x07, 0, 0x02}, -1, '5');
  EXPECT_EQ(parse(r).second, "");
  // Zero-length message of each type.
  for (uint8_t type : {0x04, 0x80, 0x05}) EXPECT_EQ(parse(storedRecord(type, {})).second, "");
  // Records shorter than their header.
  r = storedRecord(0x04, {});
  EXPECT_EQ(parse(r, 0).first, kNothingToRead);
  for (size_t size = 1; size < 4; ++size)
    EXPECT_EQ(parse(r, size), std::make_pair(1, std::string()));
}

}  // namespace
}  // namespace tavro
