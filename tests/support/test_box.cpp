#include "support/test_box.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#ifdef TAVRO_TEST_USB
#include "platform/usb/emulated_usb.h"
#include "platform/usb/wire_bridge.h"
#endif

namespace tavro::test {

Transport testTransport() {
  static const Transport transport = [] {
    const char* name = std::getenv("TAVRO_TEST_TRANSPORT");
    return name != nullptr && std::strcmp(name, "usb") == 0 ? Transport::kUsb : Transport::kWire;
  }();
  return transport;
}

#ifdef TAVRO_TEST_USB

struct TestBox::Usb {
  explicit Usb(const std::string& devicePath) : bridge(devicePath) {}
  UsbTestbed bed;  // before the library starts: libusb must find the emulated system
  WireBridge bridge;
  EmulatedUsbDevice* device = nullptr;
};

TestBox::TestBox(vbox::BoxOptions options, Transport transport) : VirtualBox(std::move(options)) {
  if (transport != Transport::kUsb) return;
  usb_ = std::make_unique<Usb>(devicePath());
  usb_->device = &usb_->bed.add(1, {}, &usb_->bridge);
  // Connected after the device is in place: what the box sends waits in its IN queues.
  if (!usb_->bridge.connect(*usb_->device)) throw std::runtime_error("bridge: cannot connect");
}

TestBox::~TestBox() {
  if (usb_ == nullptr) return;
  usb_->device->unplug();
  usb_->bridge.disconnect();
  usb_.reset();
}

void TestBox::unplug() {
  if (usb_ != nullptr) {
    usb_->device->unplug();
    usb_->bridge.disconnect();
  }
  VirtualBox::unplug();
}

void TestBox::plug() {
  VirtualBox::plug();
  if (usb_ != nullptr && !usb_->device->plugged()) {
    usb_->bridge.connect(*usb_->device);
    usb_->device->plug();
  }
}

void TestBox::failPipe(int pipe) {
  if (usb_ != nullptr)
    usb_->device->halt(pipe);
  else
    dropPipe(pipe);
}

#else

TestBox::TestBox(vbox::BoxOptions options, Transport transport) : VirtualBox(std::move(options)) {
  if (transport == Transport::kUsb) throw std::runtime_error("built without the USB emulation");
}
TestBox::~TestBox() = default;
void TestBox::unplug() {
  VirtualBox::unplug();
}
void TestBox::plug() {
  VirtualBox::plug();
}
void TestBox::failPipe(int pipe) {
  dropPipe(pipe);
}

#endif

}  // namespace tavro::test
