// The status word and the line's switches: hook state, mute, microphone out, line/mic.
#include "device/command.h"
#include "device/state.h"
#include "platform/platform.h"
#include "tavro/CKusb_IO.h"

using namespace tavro;

namespace {

constexpr uint8_t kPutDownCommand = 3;
constexpr uint8_t kPickUpCommand = 4;
constexpr uint8_t kMuteCommand = 17;
constexpr uint8_t kMicOutCommand = 18;
constexpr uint8_t kLineMicCommand = 21;
constexpr int kHookPolls = 30;
constexpr int kSwitchPolls = 100;

int sendSwitch(uint8_t command, bool on) {
  if (linkDown()) return -1;
  return commandRoundTrip(makePacket({command, static_cast<uint8_t>(on ? 1 : 0)}), kSwitchPolls);
}

}  // namespace

uint32_t CKusb_IO::GetTelStatus() {
  return statusWord();
}

void CKusb_IO::SetTelStatus(uint32_t value) {
  // The link-down bit belongs to the link; one compare-and-swap keeps a concurrent change
  // of it by the reply reader.
  auto& word = state().statusWord;
  uint32_t current = word.load(std::memory_order_acquire);
  while (!word.compare_exchange_weak(current, (value & ~kLinkDownBit) | (current & kLinkDownBit),
                                     std::memory_order_acq_rel, std::memory_order_acquire)) {
  }
  notifyStateChange();
}

// The hook bit changes before the command goes out and stays changed whatever the box
// answers: the application's view of the line follows its request.
int CKusb_IO::PickUp() {
  if (linkDown()) return -1;
  if (statusHas(kOffHookBit)) return 1;
  setStatusBits(kOffHookBit);
  return commandRoundTrip(makePacket({kPickUpCommand}), kHookPolls);
}

int CKusb_IO::PutDown() {
  if (linkDown()) return -1;
  if (!statusHas(kOffHookBit)) return 1;
  clearStatusBits(kOffHookBit);
  return commandRoundTrip(makePacket({kPutDownCommand}), kHookPolls);
}

int CKusb_IO::IfMute(bool on) {
  return sendSwitch(kMuteCommand, on);
}
int CKusb_IO::IfMicOut(bool on) {
  return sendSwitch(kMicOutCommand, on);
}
int CKusb_IO::GetLine_Mic(bool on) {
  return sendSwitch(kLineMicCommand, on);
}

void CKusb_IO::TelSleep(uint32_t milliseconds) {
  platform::sleepFor(std::chrono::milliseconds(milliseconds));
}
