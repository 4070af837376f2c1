// Ring detection, the caller's number and the flags value.
#include <array>
#include <mutex>
#include <string>

#include "device/command.h"
#include "device/state.h"
#include "incoming/caller_number.h"
#include "tavro/CKusb_IO.h"

using namespace tavro;

namespace {

constexpr uint8_t kReadFlagsCommand = 24;
constexpr uint8_t kDetectRingCommand = 26;
constexpr int kPolls = 100;

}  // namespace

int CKusb_IO::DetectRing() {
  if (linkDown()) return -1;
  return commandRoundTrip(makePacket({kDetectRingCommand}), kPolls);
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
    std::lock_guard<std::mutex> lock(state().storeMutex);
    record = state().callerNumberRecord;
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
  auto& s = state();
  // While a playback runs the box is not asked: the last stored value is the answer.
  if (s.audioOut.playbackFlag.load(std::memory_order_acquire) == 0) {
    const int rc = commandRoundTrip(makePacket({kReadFlagsCommand}), kPolls);
    if (rc < 1) return rc;
  }
  return static_cast<int>(s.flagsValue.load(std::memory_order_acquire));
}
