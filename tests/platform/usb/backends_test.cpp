// The backend table: which backends a process uses, and the USB one behind the interface.
#include <gtest/gtest.h>
#include "support/environment.h"

#include <atomic>
#include <cstdlib>
#include <string>

#include "device/pipes.h"
#include "platform/backend.h"
#include "platform/platform.h"
#include "platform/usb/emulated_usb.h"
#include "platform/usb/usb_backend.h"
#include "support/conditions.h"
#include "tavro/notice.h"

namespace tavro::platform {
namespace {

using namespace std::chrono_literals;

TEST(BackendChoiceTest, FixedOrderWhateverTheListSays) {
  using List = std::vector<std::string>;
  std::vector<std::string> unknown;
  EXPECT_EQ(chooseBackends(nullptr, &unknown), (List{"wire", "usb"}));
  EXPECT_EQ(chooseBackends("", &unknown), (List{"wire", "usb"}));
  EXPECT_EQ(chooseBackends("usb", &unknown), (List{"usb"}));
  EXPECT_EQ(chooseBackends("usb, wire", &unknown), (List{"wire", "usb"}));
  EXPECT_EQ(chooseBackends("null", &unknown), (List{"null"}));
  EXPECT_EQ(chooseBackends("null,usb", &unknown), (List{"usb"}));
  EXPECT_TRUE(unknown.empty());
  EXPECT_EQ(chooseBackends("serial,wire", &unknown), (List{"wire"}));
  EXPECT_EQ(unknown, (List{"serial"}));
  EXPECT_TRUE(chooseBackends("serial", nullptr).empty());

  auto none = makeNullBackend();
  EXPECT_STREQ(none->name(), "null");
  EXPECT_TRUE(none->enumerate().empty());
  const Opened opened = none->open("anything");
  EXPECT_EQ(opened.device, nullptr);
  EXPECT_FALSE(opened.reason.empty());
}

class Answering : public test::UsbDeviceSide {
 public:
  bool control(const test::ControlSetup& setup, std::vector<uint8_t>& data) override {
    if (setup.requestType & 0x80) std::fill(data.begin(), data.end(), 1);
    return true;
  }
  void bulkOut(int pipe, const std::vector<uint8_t>& data) override {
    // Every command is answered with a record that starts with its code.
    if (pipe == 1 && box != nullptr) {
      std::vector<uint8_t> record(64, 0);
      record[0] = data.at(0);
      box->sendIn(0, record);
    }
  }
  test::EmulatedUsbDevice* box = nullptr;
};

TEST(UsbDeviceBackendTest, ABoxBehindTheBackendInterface) {
  test::UsbTestbed bed;
  Answering side;
  test::UsbDeviceLayout layout;
  test::UsbDeviceLayout wrong;
  wrong.endpoints = {{0x01}, {0x02}, {0x83}, {0x04}};
  side.box = &bed.add(1, layout, &side);
  bed.add(2, wrong, &side);

  usb::UsbConfig config;
  usb::parseIdList("1d50:6a01", config);
  auto backend = std::make_unique<usb::UsbBackend>(config);
  EXPECT_STREQ(backend->name(), "usb");
  const auto listed = backend->enumerate();
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_TRUE(listed[0].opens);
  EXPECT_FALSE(listed[1].opens);
  EXPECT_NE(listed[1].reason.find("pipe 0"), std::string::npos);

  EXPECT_EQ(backend->open(listed[1].path).reason, "not a box");
  auto device = backend->open(listed[0].path).device;
  ASSERT_NE(device, nullptr);
  uint8_t probe = 0;
  EXPECT_TRUE(device->vendorRequest(true, 0, 0x0472, &probe, 1));
  EXPECT_EQ(probe, 1);
  auto replies = device->openPipe(0);
  auto commands = device->openPipe(1);
  ASSERT_NE(commands, nullptr);
  uint8_t packet[64] = {4};
  uint32_t done = 0;
  ASSERT_TRUE(commands->write(packet, sizeof packet, &done));
  uint8_t record[64] = {};
  ASSERT_TRUE(replies->read(record, sizeof record, &done));
  EXPECT_EQ(record[0], 4);

  std::atomic<int> changes{0};
  if (backend->watchChanges([&](bool) { ++changes; })) {
    side.box->unplug();
    EXPECT_TRUE(test::eventually([&] { return changes.load() > 0; }));
    EXPECT_FALSE(replies->read(record, sizeof record, &done));
    EXPECT_EQ(device->openPipe(2), nullptr);
  }
}

// The library's own discovery over USB: the box is found, its pipes open by number, and a
// box another program has claimed is in use, not absent.
TEST(UsbDiscoveryTest, ABoxOnUsbIsFoundAndOneClaimedElsewhereIsInUse) {
  test::UsbTestbed bed;
  Answering side;
  test::UsbDeviceLayout layout;
  side.box = &bed.add(1, layout, &side);
  test::EnvironmentSetting backends("TAVRO_BACKENDS", "usb");
  test::EnvironmentSetting ids("TAVRO_USB_IDS", "1d50:6a01");

  EXPECT_EQ(boxPaths().size(), 1u);
  auto commands = OpenPipe(kCommandPipe);
  auto replies = OpenPipe(kReplyPipe);
  ASSERT_NE(commands, nullptr);
  ASSERT_NE(replies, nullptr);
  EXPECT_FALSE(boxInUse());
  uint8_t packet[64] = {9};
  uint32_t done = 0;
  ASSERT_TRUE(commands->write(packet, sizeof packet, &done));
  uint8_t record[64] = {};
  ASSERT_TRUE(replies->read(record, sizeof record, &done));
  EXPECT_EQ(record[0], 9);
  EXPECT_FALSE(commands->read(record, sizeof record, &done)) << "a pipe of the other way";
  commands.reset();
  replies.reset();
  EXPECT_TRUE(test::eventually([&] { return !side.box->claimed(); }));

  side.box->setClaimedElsewhere(true);
  char path[kDevicePathSize] = {};
  EXPECT_EQ(openDevice("usb:1-1").state, DeviceState::kBusy);
  EXPECT_EQ(FindAndOpenDevice(path), nullptr);
  EXPECT_STREQ(path, "usb:1-1");
  EXPECT_TRUE(boxInUse());

  side.box->setClaimedElsewhere(false);
  auto device = OpenDeviceControl();
  EXPECT_NE(device, nullptr);
  EXPECT_FALSE(boxInUse());
  device.reset();
  const Opened absent = openDevice("usb:1-9");
  EXPECT_EQ(absent.device, nullptr);
  EXPECT_EQ(absent.state, DeviceState::kFails);
}

}  // namespace
}  // namespace tavro::platform
