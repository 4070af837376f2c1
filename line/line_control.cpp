// The status word and the line's switches: hook state, mute, microphone out, line/mic.
#include "device/binding.h"
#include "device/command.h"
#include "device/event_sink.h"
#include "device/state.h"
#include "platform/platform.h"
#include "tavro/CKusb_IO.h"

using namespace tavro;

namespace {

int sendSwitch(const CommandSpec& command, bool on) {
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  return commandRoundTrip(command, {static_cast<uint8_t>(on ? 1 : 0)});
}

}  // namespace

uint32_t CKusb_IO::GetTelStatus() {
  TAVRO_BIND_OBJECT();
  return statusWord();
}

void CKusb_IO::SetTelStatus(uint32_t value) {
  TAVRO_BIND_OBJECT();
  // The link-down bit belongs to the link; one atomic change keeps a concurrent change of
  // it by the reply reader.
  linkState().statusWord.update(
      [&](uint32_t current) { return (value & ~kLinkDownBit) | (current & kLinkDownBit); });
}

uint32_t CKusb_IO::AckTelStatus(uint32_t mask) {
  TAVRO_BIND_OBJECT();
  const uint32_t clear = mask & ~kLinkDownBit;
  const uint32_t old = linkState().statusWord.fetch_and(~clear, std::memory_order_acq_rel);
  return old & clear;
}

// The hook bit changes before the command goes out and stays changed whatever the box
// answers: the application's view of the line follows its request.
int CKusb_IO::PickUp() {
  TAVRO_BIND_OBJECT();
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  if (statusHas(kOffHookBit)) return TAVRO_SUCCESS;
  setStatusBits(kOffHookBit);
  postHook(true, TAVRO_HOOK_BY_CALL);
  return commandRoundTrip(commands::kPickUp);
}

int CKusb_IO::PutDown() {
  TAVRO_BIND_OBJECT();
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  if (!statusHas(kOffHookBit)) return TAVRO_SUCCESS;
  clearStatusBits(kOffHookBit);
  postHook(false, TAVRO_HOOK_BY_CALL);
  return commandRoundTrip(commands::kPutDown);
}

int CKusb_IO::IfMute(bool on) {
  TAVRO_BIND_OBJECT();
  return sendSwitch(commands::kMute, on);
}
int CKusb_IO::IfMicOut(bool on) {
  TAVRO_BIND_OBJECT();
  return sendSwitch(commands::kMicOut, on);
}
int CKusb_IO::GetLine_Mic(bool on) {
  TAVRO_BIND_OBJECT();
  return sendSwitch(commands::kLineMic, on);
}

void CKusb_IO::TelSleep(uint32_t milliseconds) {
  TAVRO_BIND_OBJECT();
  platform::sleepFor(std::chrono::milliseconds(milliseconds));
}
