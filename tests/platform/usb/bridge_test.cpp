// The virtual box seen over emulated USB through the wire bridge.
#include <gtest/gtest.h>

#include "platform/usb/emulated_usb.h"
#include "platform/usb/usb_backend.h"
#include "platform/usb/wire_bridge.h"
#include "support/conditions.h"
#include "support/runtime_dir.h"
#include "vbox/virtual_box.h"

namespace tavro::platform::usb {
namespace {

using namespace std::chrono_literals;

TEST(WireBridgeTest, TheVirtualBoxAnswersOverUsb) {
  test::RuntimeDir runtime;
  vbox::VirtualBox box;
  test::UsbTestbed bed;
  test::WireBridge bridge(box.devicePath());
  test::EmulatedUsbDevice& usbBox = bed.add(1, {}, &bridge);
  ASSERT_TRUE(bridge.connect(usbBox));

  UsbConfig config;
  parseIdList("1d50:6a01", config);
  UsbBackend backend(config);
  auto device = backend.open("usb:1-1").device;
  ASSERT_NE(device, nullptr);
  uint8_t probe = 0;
  EXPECT_TRUE(device->vendorRequest(true, 0, 0x0472, &probe, 1));
  box.setProbeFails(true);
  EXPECT_FALSE(device->vendorRequest(true, 0, 0x0472, &probe, 1));
  ASSERT_GE(box.controlRequests().size(), 2u);
  EXPECT_EQ(box.controlRequests()[0].index, 0x0472u);

  auto replies = device->openPipe(0);
  auto commands = device->openPipe(1);
  uint8_t packet[64] = {27};  // the device type
  uint32_t done = 0;
  ASSERT_TRUE(commands->write(packet, sizeof packet, &done));
  uint8_t record[64] = {};
  ASSERT_TRUE(replies->read(record, sizeof record, &done));
  EXPECT_EQ(done, 64u);
  ASSERT_TRUE(box.waitForCommands(1, test::kGenerous));
  EXPECT_EQ(box.commands()[0].packet[0], 27);

  auto audioOut = device->openPipe(3);
  EXPECT_TRUE(audioOut->reset());
  EXPECT_TRUE(test::eventually([&] {
    const auto log = box.controlRequests();
    return !log.empty() && log.back().code == 0x00220008u && log.back().value == 3u;
  }));
  bridge.disconnect();
}

}  // namespace
}  // namespace tavro::platform::usb
