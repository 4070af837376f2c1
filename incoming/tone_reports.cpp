// DTMF codes and tone reports heard on the line, and the commands that steer detection.
#include "device/binding.h"
#include "device/command.h"
#include "device/state.h"
#include "incoming/rings.h"
#include "tavro/CKusb_IO.h"

using namespace tavro;

int CKusb_IO::GetDTMFCode(unsigned char* code) {
  TAVRO_BIND_OBJECT();
  if (code == nullptr) return TAVRO_ERROR_INVALID_ARGUMENT;
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  return takeDtmf(code) ? TAVRO_SUCCESS : TAVRO_ERROR_NO_DIGIT;
}

int CKusb_IO::Get450HzRecd(unsigned short* report) {
  TAVRO_BIND_OBJECT();
  if (report == nullptr) return TAVRO_ERROR_INVALID_ARGUMENT;
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  return takeTone(report) ? TAVRO_SUCCESS : TAVRO_ERROR_NO_DATA;
}

int CKusb_IO::SetCheckDTMFCall(bool on) {
  TAVRO_BIND_OBJECT();
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  return commandRoundTrip(commands::kCheckDtmf, {static_cast<uint8_t>(on ? 1 : 0)});
}

// The flag is not sent: command 13 carries no argument.
int CKusb_IO::SetContinueReturn450Hz(bool /*on*/) {
  TAVRO_BIND_OBJECT();
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  const int rc = commandRoundTrip(commands::kContinueTone);
  if (rc < TAVRO_SUCCESS) return rc;  // unanswered: the waiting reports stay
  emptyToneRing();
  return TAVRO_SUCCESS;
}
