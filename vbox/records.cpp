#include "vbox/records.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string_view>

#include "platform/wire.h"
#include "protocol/packets.h"
#include "vbox/line.h"
#include "vbox/text.h"

namespace tavro::vbox {

// The installed headers spell the wire's values out; they must stay the library's.
static_assert(kReplyPipe == tavro::kReplyPipe && kCommandPipe == tavro::kCommandPipe &&
              kAudioInPipe == tavro::kAudioInPipe && kAudioOutPipe == tavro::kAudioOutPipe &&
              kPipeCount == tavro::kPipeCount);
static_assert(kVendorReadCode == tavro::kVendorRead && kVendorWriteCode == tavro::kVendorWrite &&
              kPipeResetCode == tavro::kPipeReset && kClaimPipesCode == tavro::kClaimPipes &&
              kHolderCode == tavro::kHolder && kProbeIndex == tavro::kProbeIndex &&
              kTransferSetupIndex == tavro::kTransferSetupIndex);
static_assert(kMaxDialDigits == tavro::kMaxDialDigits);
static_assert(std::string_view(kInterfaceClass) == wire::kInterfaceClassName);

Record makeRecord(std::initializer_list<uint8_t> bytes) {
  Record r{};
  std::copy_n(bytes.begin(), std::min(bytes.size(), r.size()), r.begin());
  return r;
}

std::string hexBytes(const uint8_t* p, size_t n) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02x" : "%02x", p[i]);
    s += buf;
  }
  return s;
}

std::string packetText(const Packet& p) {
  size_t n = p.size();
  while (n > 1 && p[n - 1] == 0) --n;
  return hexBytes(p.data(), n);
}

std::string localDateTimeDigits() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[16];
  std::strftime(buf, sizeof buf, "%m%d%H%M", &tm);
  return buf;
}

std::optional<Record> callerIdRecord(CallerIdFormat format, const std::string& number,
                                     std::string dateTime, const std::string& name, bool leadFF) {
  if (dateTime.empty()) dateTime = localDateTimeDigits();
  if (dateTime.size() != 8) return std::nullopt;
  std::string body;
  switch (format) {
    case CallerIdFormat::SingleData:
      body = dateTime + number;
      break;
    case CallerIdFormat::MultipleData:
      if (number.size() > 255 || name.size() > 255) return std::nullopt;
      body += char(0x01);
      body += char(8);
      body += dateTime;
      if (number.empty()) {
        body += char(0x04);
        body += char(1);
        body += 'O';
      } else {
        body += char(0x02);
        body += char(number.size());
        body += number;
      }
      if (!name.empty()) {
        body += char(0x07);
        body += char(name.size());
        body += name;
      }
      break;
    case CallerIdFormat::DigitString:
      if (leadFF) body += char(0xFF);
      body += number;
      if (leadFF) body += char(0x0D);  // the led form ends with one byte after the digits
      break;
    default:
      return std::nullopt;
  }
  if (body.size() > kMaxCallerIdBody) return std::nullopt;
  Record r{};
  r[0] = kCallerIdReply;
  r[1] = 1;
  r[2] = uint8_t(format);
  r[3] = uint8_t(body.size());
  unsigned sum = r[2] + r[3];
  for (size_t i = 0; i < body.size(); ++i) {
    r[4 + i] = uint8_t(body[i]);
    sum += r[4 + i];
  }
  r[4 + body.size()] = uint8_t(0x100 - (sum & 0xFF));
  return r;
}

Record noNumberRecord() {
  return makeRecord({kCallerIdReply, 2});
}
Record dtmfRecord(uint8_t code) {
  return makeRecord({kDtmfReply, code});
}
Record toneRecord(uint8_t first, uint16_t second) {
  return makeRecord({kToneReply, first, uint8_t(second & 0xFF), uint8_t(second >> 8)});
}
Record hookStatusRecord(bool offHook) {
  return makeRecord({kStatusItemReply, 1, uint8_t(offHook ? 1 : 0)});
}
Record playbackFaultRecord() {
  return makeRecord({kStatusItemReply, 3, 0});
}
Record ringRecord() {
  return makeRecord({kRingReply});
}

std::optional<uint8_t> digitCode(char c) {
  if (c >= '1' && c <= '9') return uint8_t(c - '0');
  if (c == '0') return 10;
  if (c == '*') return 11;
  if (c == '#') return 12;
  if (c >= 'A' && c <= 'D') return uint8_t(13 + c - 'A');
  if (c >= 'a' && c <= 'd') return uint8_t(13 + c - 'a');
  return std::nullopt;
}

char digitChar(uint8_t code) {
  static const char kChars[] = "?1234567890*#ABCDEFGHIJKL";
  return code < sizeof kChars - 1 ? kChars[code] : '?';
}

}  // namespace tavro::vbox
