// DTMF codes and tone reports heard on the line, and the commands that steer detection.
#include "device/command.h"
#include "device/state.h"
#include "incoming/rings.h"
#include "tavro/CKusb_IO.h"

using namespace tavro;

int CKusb_IO::GetDTMFCode(unsigned char* code) {
  if (code == nullptr) return -2;
  if (linkDown()) return -1;
  return takeDtmf(code) ? 1 : -4;
}

int CKusb_IO::Get450HzRecd(unsigned short* report) {
  if (report == nullptr) return -2;
  if (linkDown()) return -1;
  return takeTone(report) ? 1 : -2;
}

int CKusb_IO::SetCheckDTMFCall(bool on) {
  if (linkDown()) return -1;
  return commandRoundTrip(commands::kCheckDtmf, {static_cast<uint8_t>(on ? 1 : 0)});
}

// The flag is not sent: command 13 carries no argument.
int CKusb_IO::SetContinueReturn450Hz(bool /*on*/) {
  if (linkDown()) return -1;
  const int rc = commandRoundTrip(commands::kContinueTone);
  if (rc < 1) return rc;  // unanswered: the waiting reports stay
  emptyToneRing();
  return 1;
}
