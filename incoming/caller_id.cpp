// Ring detection, the caller's number and the flags value.
#include <array>
#include <cstring>
#include <mutex>
#include <string>

#include "device/binding.h"
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
  TAVRO_BIND_OBJECT();
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  return commandRoundTrip(commands::kDetectRing);
}

int CKusb_IO::Read_Call_Nmb(unsigned char* number) {
  TAVRO_BIND_OBJECT();
  if (number == nullptr) return TAVRO_ERROR_INVALID_ARGUMENT;
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  // Clear the bit before taking the copy: a record that arrives after the copy sets it
  // again, so no call goes unnoticed.
  clearStatusBits(kCallerNumberBit);
  std::array<uint8_t, 64> record;
  {
    // The reply reader replaces the record under this lock; the copy is one call's record.
    MutexLock lock(replyStores().mutex);
    record = replyStores().callerNumberRecord;
  }
  char text[kCallerNumberSize];
  const int rc = parseCallerNumber(record.data(), record.size(), text);
  if (rc == kNoNumber) return TAVRO_ERROR_NO_DATA;
  if (rc == kNumberWritten) {
    size_t i = 0;
    do {
      number[i] = static_cast<unsigned char>(text[i]);
    } while (text[i++] != '\0');
  }
  return TAVRO_SUCCESS;
}

CKusb_IO::CString CKusb_IO::ReadstrCallNmb() {
  TAVRO_BIND_OBJECT();
  unsigned char buffer[64] = {};
  const int rc = Read_Call_Nmb(buffer);
  if (rc != TAVRO_SUCCESS) return std::to_string(rc);
  return CString(reinterpret_cast<const char*>(buffer));
}

int CKusb_IO::ReaddiFlagsValue() {
  TAVRO_BIND_OBJECT();
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  // While a playback runs the box is not asked: the last stored value is the answer.
  if (!playbackRuns()) {
    const int rc = commandRoundTrip(commands::kReadFlags);
    if (rc < TAVRO_SUCCESS) return rc;
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
  TAVRO_BIND_OBJECT();
  if (callerId == nullptr) return TAVRO_ERROR_INVALID_ARGUMENT;
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  std::array<uint8_t, 64> record;
  {
    MutexLock lock(replyStores().mutex);
    record = replyStores().callerNumberRecord;
  }
  if (!decodeCallerId(record.data(), record.size(), callerId)) return 0;  // none yet
  return TAVRO_SUCCESS;
}
