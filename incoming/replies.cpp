// The reply records whose contents this area keeps: the caller's number, DTMF codes and tone
// reports, the flags value and the device information answers.
#include "incoming/replies.h"
#include "incoming/stores.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>

#include "device/event_sink.h"
#include "device/reply_dispatch.h"
#include "device/state.h"
#include "incoming/caller_record.h"
#include "incoming/rings.h"

namespace tavro {
namespace {

Pending callerNumber(const ReplyRecord& r) {
  if (!statusHas(kInitialisedBit)) return Pending::kKeep;  // dropped
  ReplyStores& s = replyStores();
  if (r[1] == codeOf(CallerNumberKind::kRecord)) {
    // Bytes 1 to byte 3 + 4, kept within the record: at most 63 bytes and the zero, and
    // never more than were received.
    size_t n = size_t{r[3]} + 4;
    if (n > kRecordSize - 1) n = kRecordSize - 1;
    if (r.received < 1) n = 0;
    if (n > r.received - 1) n = r.received - 1;
    MutexLock lock(s.mutex);
    std::memcpy(s.callerNumberRecord.data(), r.bytes + 1, n);
    // The zero after them, and zeros to the end, so that a record cut short by a short
    // read never runs on into an earlier call's digits.
    std::fill(s.callerNumberRecord.begin() + n, s.callerNumberRecord.end(), 0);
  } else if (r[1] == codeOf(CallerNumberKind::kNoNumber)) {
    MutexLock lock(s.mutex);
    s.callerNumberRecord[0] = codeOf(CallerNumberKind::kNoNumber);
    s.callerNumberRecord[1] = 0;
  }
  std::array<uint8_t, kRecordSize> record;
  {
    MutexLock lock(s.mutex);
    record = s.callerNumberRecord;
  }
  setStatusBits(kCallerNumberBit);
  postCallerId(record.data(), record.size());
  return Pending::kClear;
}

Pending toneReport(const ReplyRecord& r) {
  const uint16_t second = static_cast<uint16_t>(r[2] | r[3] << 8);
  appendTone(r[1], second);
  if (second > kToneThreshold) setStatusBits(kToneBit);
  postTone(r[1], second);
  return Pending::kKeep;
}

Pending dtmfCode(const ReplyRecord& r) {
  appendDtmf(r[1]);
  postDtmf(r[1]);
  return Pending::kKeep;
}

Pending flagsValue(const ReplyRecord& r) {
  replyStores().flagsValue.store(le32(r.bytes + 1));
  return Pending::kClear;
}

Pending readyFlagsValue(const ReplyRecord& r) {
  if (r[1] == codeOf(ReadySubType::kFlagsValue)) replyStores().flagsValue.store(le32(r.bytes + 2));
  return Pending::kClear;
}

Pending acknowledge(const ReplyRecord& r) {
  replyStores().acknowledgeByte.store(r[1]);
  return Pending::kClear;
}

Pending typeCode(const ReplyRecord& r) {
  MutexLock lock(replyStores().mutex);
  replyStores().replyBuffer[0] = r[1];
  replyStores().replyBuffer[1] = 0;
  return Pending::kClear;
}

Pending info(const ReplyRecord& r) {
  MutexLock lock(replyStores().mutex);
  std::memcpy(replyStores().replyBuffer.data(), r.bytes + 1, 11);
  replyStores().replyBuffer[11] = 0;
  return Pending::kClear;
}

}  // namespace

void addIncomingReplyHandlers() {
  addReplyHandler(Reply::kCallerNumber, callerNumber);
  addReplyHandler(Reply::kToneReport, toneReport);
  addReplyHandler(Reply::kDtmfCode, dtmfCode);
  addReplyHandler(Reply::kFlagsValue, flagsValue);
  addReplyHandler(Reply::kDeviceReady, readyFlagsValue);
  addReplyHandler(Reply::kAcknowledge, acknowledge);
  addReplyHandler(Reply::kAcknowledge2, acknowledge);
  addReplyHandler(Reply::kTypeCode, typeCode);
  addReplyHandler(Reply::kInfo, info);
}

}  // namespace tavro
