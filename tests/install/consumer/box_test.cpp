// An application's own test, built against an installed Tavro: it starts the virtual box in
// its process, scripts a call and checks what the library made of it and what it sent.
//   box_test
#include <tavro/CKusb_IO.h>
#include <tavro/vbox/virtual_box.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>

namespace {

int fail(const char* what) {
  std::fprintf(stderr, "box_test: %s\n", what);
  return 1;
}

// Polls, as an application of the status word does, for up to ten seconds.
bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace

int main() {
  using tavro::vbox::CallerIdFormat;
  tavro::vbox::VirtualBox box;
  CKusb_IO io;
  if (io.GetTelStatus() & tavro::kLinkDownBit) return fail("the library does not see the box");

  if (!box.sendCallerId(CallerIdFormat::SingleData, "5551234", "12081530"))
    return fail("the box could not send the caller ID");
  if (!eventually([&] { return (io.GetTelStatus() & tavro::kCallerNumberBit) != 0; }))
    return fail("no caller number");
  unsigned char number[64] = {};
  if (io.Read_Call_Nmb(number) != 1) return fail("Read_Call_Nmb failed");
  if (std::strstr(reinterpret_cast<char*>(number), "5551234") == nullptr)
    return fail("the caller number is not the one the box sent");

  if (io.PickUp() != 1) return fail("PickUp failed");
  if (!box.lineState().offHook) return fail("the box's line is not off hook after PickUp");
  if (box.commands().empty()) return fail("the box logged no command");
  if (io.PutDown() != 1 || box.lineState().offHook) return fail("PutDown failed");
  std::printf("box_test: caller %s, %zu commands seen by the box\n",
              reinterpret_cast<char*>(number), box.commands().size());
  return 0;
}
