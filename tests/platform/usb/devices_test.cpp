// The device list over emulated USB: a box, a configured device that is not one, and a box
// whose firmware answers another request code, as `tavro devices` shows them.
#include <gtest/gtest.h>
#include "support/environment.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/usb/emulated_usb.h"
#include "platform/usb/wire_bridge.h"
#include "support/runtime_dir.h"
#include "tavro/devices.h"
#include "tools/text.h"
#include "vbox/virtual_box.h"

namespace tavro {
namespace {

TEST(UsbDeviceListTest, ABoxOpensAndADeviceThatIsNotOneSaysWhy) {
  test::RuntimeDir runtime;
  vbox::VirtualBox box;
  test::UsbTestbed bed;
  test::WireBridge bridge(box.devicePath());
  test::EmulatedUsbDevice& usbBox = bed.add(1, {}, &bridge);
  ASSERT_TRUE(bridge.connect(usbBox));
  test::UsbDeviceLayout swapped;
  swapped.endpoints = {{0x01}, {0x82}, {0x83}, {0x04}};
  bed.add(2, swapped, &bridge);
  test::EnvironmentSetting backends("TAVRO_BACKENDS", "usb");
  test::EnvironmentSetting ids("TAVRO_USB_IDS", "1d50:6a01");

  DeviceList list = listDevices();
  EXPECT_EQ(list.backends, std::vector<std::string>{"usb"});
  ASSERT_EQ(list.devices.size(), 2u);
  const std::string first = list.devices[0].description;
  const std::string second = list.devices[1].description;
  EXPECT_EQ(tool::deviceLines(list),
            (std::vector<std::string>{
                "usb  usb:1-1  (" + first + ")  opens",
                "usb  usb:1-2  (" + second +
                    ")  not a box: endpoint 0x01 (pipe 0) is OUT, a box's pipe 0 is IN",
            }));
  EXPECT_EQ(first.rfind("USB 1d50:6a01, bus 1 device ", 0), 0u) << first;

  // Firmware that takes its vendor requests under another code than the one configured.
  bridge.answerOnlyRequest(0x02);
  list = listDevices();
  ASSERT_EQ(list.devices.size(), 2u);
  EXPECT_EQ(list.devices[0].state, DeviceState::kFails);
  EXPECT_EQ(list.devices[0].reason, "does not answer the device probe (request 0x00)");
  bridge.disconnect();
}

}  // namespace
}  // namespace tavro
