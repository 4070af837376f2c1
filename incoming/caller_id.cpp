// Ring detection, the caller's number and the flags value.
#include <array>
#include <cstring>
#include <mutex>
#include <string>

#include "device/command.h"
#include "device/event_sink.h"
#include "device/state.h"
#include "incoming/caller_number.h"
#include "incoming/caller_record.h"
#include "incoming/stores.h"
#include "tavro/CKusb_IO.h"
#include "tavro/events.h"

using namespace tavro;

int CKusb_IO::DetectRing() {
  if (linkDown()) return -1;
  return commandRoundTrip(commands::kDetectRing);
}

int CKusb_IO::Read_Call_Nmb(unsigned char* number) {
  if (number == nullptr) return -2;
  if (linkDown()) return -1;
  // Clear the bit before taking the copy: a record that arrives after the copy sets it
  // again, so no call goes unnoticed.
  clearStatusBits(kCallerNumberBit);
  std::array<uint8_t, 64> record;
  {
    // The reply reader replaces the record under this lock; the copy is one call's record.
    std::lock_guard<std::mutex> lock(replyStores().mutex);
    record = replyStores().callerNumberRecord;
  }
  char text[kCallerNumberSize];
  const int rc = parseCallerNumber(record.data(), record.size(), text);
  if (rc == kNoNumber) return -2;
  if (rc == kNumberWritten) {
    size_t i = 0;
    do {
      number[i] = static_cast<unsigned char>(text[i]);
    } while (text[i++] != '\0');
  }
  return 1;
}

CString CKusb_IO::ReadstrCallNmb() {
  unsigned char buffer[64] = {};
  const int rc = Read_Call_Nmb(buffer);
  if (rc != 1) return std::to_string(rc);
  return CString(reinterpret_cast<const char*>(buffer));
}

int CKusb_IO::ReaddiFlagsValue() {
  if (linkDown()) return -1;
  // While a playback runs the box is not asked: the last stored value is the answer.
  if (!playbackRuns()) {
    const int rc = commandRoundTrip(commands::kReadFlags);
    if (rc < 1) return rc;
  }
  return static_cast<int>(replyStores().flagsValue.load(std::memory_order_acquire));
}

void tavro::postCallerId(const uint8_t* record, size_t size) {
  tavro_event e;
  std::memset(&e, 0, sizeof e);
  e.kind = TAVRO_EVENT_CALLER_ID;
  if (decodeCallerId(record, size, &e.u.caller_id)) postEvent(e);
}

int CKusb_IO::ReadCallerId(tavro_caller_id* callerId) {
  if (callerId == nullptr) return -2;
  if (linkDown()) return -1;
  std::array<uint8_t, 64> record;
  {
    std::lock_guard<std::mutex> lock(replyStores().mutex);
    record = replyStores().callerNumberRecord;
  }
  return decodeCallerId(record.data(), record.size(), callerId) ? 1 : 0;
}

int tavro_read_caller_id(CKusb_IO* io, tavro_caller_id* callerId) {
  if (io == nullptr) return -2;
  return io->ReadCallerId(callerId);
}
