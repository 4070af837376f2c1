// Dialling and the parameters that go with it.
#include "device/binding.h"
#include "device/command.h"
#include "device/state.h"
#include "line/dial_packet.h"
#include "line/dial_parameters.h"
#include "tavro/CKusb_IO.h"

using namespace tavro;

namespace {

constexpr size_t kCStrDialDigits = 40;

}  // namespace

int CKusb_IO::SetDialPara(uint32_t p1, uint32_t p2, uint32_t p3) {
  TAVRO_BIND_OBJECT();
  dialParameters().dialPara1.store(p1);
  dialParameters().dialPara2.store(p2);
  dialParameters().dialPara3.store(p3);
  return 1;
}

int CKusb_IO::SetNextCallDelay(unsigned char delay) {
  TAVRO_BIND_OBJECT();
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  return commandRoundTrip(commands::kNextCallDelay, {delay});
}

int CKusb_IO::DialNmb(const char* number) {
  TAVRO_BIND_OBJECT();
  if (number == nullptr) return TAVRO_ERROR_INVALID_ARGUMENT;
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  if (!statusHas(kOffHookBit)) return TAVRO_ERROR_ON_HOOK;
  Packet packet;
  // A character without a digit code refuses the whole number: dialling it with a
  // made-up code would reach a wrong party.
  if (buildDialPacket(number, kMaxDialDigits, dialParameters().dialPara1.load(),
                      dialParameters().dialPara2.load(), dialParameters().dialPara3.load(),
                      packet) <= 0)
    return TAVRO_ERROR_INVALID_ARGUMENT;
  return commandRoundTrip(packet, commands::kDial.polls);
}

int CKusb_IO::DialNmbCStr(CString number) {
  TAVRO_BIND_OBJECT();
  if (number.empty()) return TAVRO_ERROR_INVALID_ARGUMENT;
  return DialNmb(number.substr(0, kCStrDialDigits).c_str());
}
