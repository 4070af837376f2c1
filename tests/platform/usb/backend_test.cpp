// The USB backend against emulated devices.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include "platform/usb/emulated_usb.h"
#include "platform/usb/usb_backend.h"
#include "support/conditions.h"

namespace tavro::platform::usb {
namespace {

using namespace std::chrono_literals;
using test::EmulatedUsbDevice;
using test::UsbDeviceLayout;
using test::UsbTestbed;

constexpr uint16_t kVendor = 0x1d50;
constexpr uint16_t kProduct = 0x6a01;

// Answers every control request with 0x5A bytes and keeps what the host wrote.
class Side : public test::UsbDeviceSide {
 public:
  bool control(const test::ControlSetup& setup, std::vector<uint8_t>& data) override {
    if (setup.requestType & 0x80) std::fill(data.begin(), data.end(), 0x5A);
    return accept.load();
  }
  void bulkOut(int pipe, const std::vector<uint8_t>& data) override {
    std::lock_guard<std::mutex> lock(mutex);
    written.emplace_back(pipe, data);
  }
  std::vector<std::pair<int, std::vector<uint8_t>>> writes() {
    std::lock_guard<std::mutex> lock(mutex);
    return written;
  }
  std::atomic<bool> accept{true};

 private:
  std::mutex mutex;
  std::vector<std::pair<int, std::vector<uint8_t>>> written;
};

UsbConfig boxConfig(uint8_t request = kDefaultRequest) {
  UsbConfig config;
  DeviceIdentity id;
  id.vendor = kVendor;
  id.product = kProduct;
  id.request = request;
  config.devices.push_back(id);
  return config;
}

class UsbBackendTest : public ::testing::Test {
 protected:
  UsbTestbed bed;  // before the backend: libusb must find the emulated system
  Side side;
};

TEST_F(UsbBackendTest, EnumeratesConfiguredDevicesOnlyAndSaysWhyOneIsNotABox) {
  {
    UsbBackend backend(boxConfig());
    ASSERT_TRUE(backend.available());
    EXPECT_TRUE(backend.enumerate().empty());
  }
  bed.add(3, {}, &side);
  bed.add(1, {}, &side);
  UsbDeviceLayout other;
  other.product = 0x0001;  // not configured: not listed
  bed.add(2, other, &side);
  UsbDeviceLayout wrong;
  wrong.endpoints = {{0x81}, {0x02}, {0x83}};  // three pipes only
  bed.add(4, wrong, &side);

  UsbBackend backend(boxConfig());
  const auto found = backend.enumerate();
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].path, "usb:1-1");
  EXPECT_EQ(found[1].path, "usb:1-3");
  EXPECT_EQ(found[2].path, "usb:1-4");
  EXPECT_TRUE(found[0].opens);
  EXPECT_TRUE(found[1].opens);
  EXPECT_FALSE(found[2].opens);
  EXPECT_NE(found[2].reason.find("3 endpoints"), std::string::npos) << found[2].reason;
  EXPECT_NE(found[0].description.find("1d50:6a01"), std::string::npos);

  EXPECT_EQ(backend.open("usb:1-4").state, DeviceState::kNotABox);
  EXPECT_EQ(backend.open("usb:1-4").reason, "not a box");
  EXPECT_EQ(backend.open("usb:1-2").reason, "not present");
  const Opened opened = backend.open("usb:1-1");
  EXPECT_NE(opened.device, nullptr);
  EXPECT_EQ(opened.state, DeviceState::kOpens);

  UsbBackend unconfigured(UsbConfig{});
  EXPECT_TRUE(unconfigured.enumerate().empty());
}

TEST_F(UsbBackendTest, EndpointDirectionsAndTypesAreChecked) {
  struct Case {
    std::vector<test::EndpointLayout> endpoints;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {{{0x01}, {0x02}, {0x83}, {0x04}}, "pipe 0) is OUT"},
      {{{0x81}, {0x82}, {0x83}, {0x04}}, "pipe 1) is IN"},
      {{{0x81}, {0x02}, {0x83, 3}, {0x04}}, "pipe 2) is not bulk"},
      {{{0x02}, {0x81}, {0x04}, {0x83}}, "pipe 0) is OUT"},
  };
  int port = 1;
  for (const auto& c : cases) {
    UsbDeviceLayout layout;
    layout.endpoints = c.endpoints;
    bed.add(port++, layout, &side);
  }
  UsbBackend backend(boxConfig());
  const auto found = backend.enumerate();
  ASSERT_EQ(found.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_FALSE(found[i].opens);
    EXPECT_NE(found[i].reason.find(cases[i].reason), std::string::npos) << found[i].reason;
  }

  // An explicit endpoint list picks the pipes out of another order.
  UsbConfig config = boxConfig();
  config.devices[0].endpoints = std::array<uint8_t, 4>{0x81, 0x02, 0x83, 0x04};
  UsbBackend listed(config);
  const auto again = listed.enumerate();
  EXPECT_TRUE(again[3].opens) << again[3].reason;
  EXPECT_NE(again[0].reason.find("no endpoint 0x81"), std::string::npos) << again[0].reason;
}

TEST_F(UsbBackendTest, ABoxClaimedElsewhereIsBusyAndOpensInOneProcessShareTheClaim) {
  EmulatedUsbDevice& box = bed.add(1, {}, &side);
  UsbBackend backend(boxConfig());
  box.setClaimedElsewhere(true);
  const Opened busy = backend.open("usb:1-1");
  EXPECT_EQ(busy.device, nullptr);
  EXPECT_EQ(busy.state, DeviceState::kBusy);
  EXPECT_EQ(busy.reason, "busy: claimed by another program");

  box.setClaimedElsewhere(false);
  auto first = backend.open("usb:1-1").device;
  ASSERT_NE(first, nullptr);
  auto second = backend.open("usb:1-1").device;
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(box.claimed());
  first.reset();
  EXPECT_TRUE(box.claimed());
  second.reset();
  EXPECT_TRUE(test::eventually([&] { return !box.claimed(); }));
}

TEST_F(UsbBackendTest, VendorRequestsBecomeVendorControlTransfers) {
  EmulatedUsbDevice& box = bed.add(1, {}, &side);
  for (uint8_t request : {kDefaultRequest, uint8_t{0x42}}) {
    UsbBackend backend(boxConfig(request));
    auto device = backend.open("usb:1-1").device;
    ASSERT_NE(device, nullptr);
    uint8_t probe = 0;
    EXPECT_TRUE(device->vendorRequest(true, 0, 0x0472, &probe, 1));
    EXPECT_EQ(probe, 0x5A);
    uint8_t setup[6] = {0, 0, 0, 0x40, 0, 0x81};
    EXPECT_TRUE(device->vendorRequest(false, 0, 0x0471, setup, 6));
    side.accept = false;
    EXPECT_FALSE(device->vendorRequest(true, 0, 0x0472, &probe, 1));
    side.accept = true;

    const auto log = box.controlTransfers();
    ASSERT_GE(log.size(), 3u);
    const auto& read = log[log.size() - 3];
    const auto& write = log[log.size() - 2];
    EXPECT_EQ(read.setup.requestType, 0xC0);  // vendor, device, device to host
    EXPECT_EQ(read.setup.request, request);
    EXPECT_EQ(read.setup.value, 0);
    EXPECT_EQ(read.setup.index, 0x0472);
    EXPECT_EQ(read.setup.length, 1);
    EXPECT_EQ(write.setup.requestType, 0x40);  // vendor, device, host to device
    EXPECT_EQ(write.setup.request, request);
    EXPECT_EQ(write.setup.index, 0x0471);
    EXPECT_EQ(write.data, std::vector<uint8_t>(setup, setup + 6));
  }
}

TEST_F(UsbBackendTest, PipesCarryRecordsCommandsAndTheAudioStream) {
  EmulatedUsbDevice& box = bed.add(1, {}, &side);
  UsbBackend backend(boxConfig());
  auto device = backend.open("usb:1-1").device;
  ASSERT_NE(device, nullptr);
  auto replies = device->openPipe(0);
  auto commands = device->openPipe(1);
  auto audioIn = device->openPipe(2);
  ASSERT_NE(replies, nullptr);
  EXPECT_EQ(device->openPipe(4), nullptr);

  std::vector<uint8_t> packet(64, 0x11);
  uint32_t done = 0;
  EXPECT_TRUE(commands->write(packet.data(), 64, &done));
  EXPECT_EQ(done, 64u);
  EXPECT_TRUE(test::eventually([&] { return !side.writes().empty(); }));
  EXPECT_EQ(side.writes()[0], std::make_pair(1, packet));
  EXPECT_FALSE(commands->read(packet.data(), 64, &done));  // the wrong direction

  // A record read asks for one packet, even with a larger buffer.
  box.sendIn(0, std::vector<uint8_t>(64, 0x22));
  box.sendIn(0, std::vector<uint8_t>(64, 0x33));
  uint8_t record[80] = {};
  EXPECT_TRUE(replies->read(record, sizeof record, &done));
  EXPECT_EQ(done, 64u);
  EXPECT_EQ(record[63], 0x22);
  EXPECT_TRUE(replies->read(record, sizeof record, &done));
  EXPECT_EQ(record[0], 0x33);

  // The stream waits for all the bytes asked for.
  box.sendIn(2, std::vector<uint8_t>(100, 0x44));
  box.sendIn(2, std::vector<uint8_t>(300, 0x55));
  uint8_t frame[256] = {};
  EXPECT_TRUE(audioIn->read(frame, sizeof frame, &done));
  EXPECT_EQ(done, 256u);
  EXPECT_EQ(frame[99], 0x44);
  EXPECT_EQ(frame[100], 0x55);
}

TEST_F(UsbBackendTest, ResetClearsTheHaltAfterAFailedTransfer) {
  EmulatedUsbDevice& box = bed.add(1, {}, &side);
  UsbBackend backend(boxConfig());
  auto device = backend.open("usb:1-1").device;
  auto replies = device->openPipe(0);
  box.halt(0);
  uint8_t record[64];
  uint32_t got = 0;
  EXPECT_FALSE(replies->read(record, sizeof record, &got));
  EXPECT_FALSE(replies->read(record, sizeof record, &got));  // stays halted
  EXPECT_TRUE(replies->reset());
  EXPECT_EQ(box.clearedHalts(), std::vector<int>{0});
  box.sendIn(0, std::vector<uint8_t>(64, 0x66));
  EXPECT_TRUE(replies->read(record, sizeof record, &got));
  EXPECT_EQ(record[0], 0x66);
}

// Unplugs the box while a read waits on the pipe: the read fails at once.
void unplugUnderAWaitingRead(EmulatedUsbDevice& box, BackendPipe& pipe) {
  auto reader = std::async(std::launch::async, [&] {
    uint8_t record[64];
    uint32_t got = 0;
    return pipe.read(record, sizeof record, &got);
  });
  ASSERT_TRUE(box.waitForPendingReads(0, 1, test::kGenerous));
  box.unplug();
  ASSERT_EQ(reader.wait_for(test::kGenerous), std::future_status::ready);
  EXPECT_FALSE(reader.get());
}

TEST_F(UsbBackendTest, UnplugFailsABlockedReadAtOnceAndReplugOpensAgain) {
  EmulatedUsbDevice& box = bed.add(1, {}, &side);
  UsbBackend backend(boxConfig());
  auto device = backend.open("usb:1-1").device;
  auto replies = device->openPipe(0);
  ASSERT_NO_FATAL_FAILURE(unplugUnderAWaitingRead(box, *replies));
  EXPECT_EQ(device->openPipe(1), nullptr) << "gone";
  uint8_t record[64];
  uint32_t got = 0;
  EXPECT_FALSE(replies->read(record, sizeof record, &got));
  uint8_t probe = 0;
  EXPECT_FALSE(device->vendorRequest(true, 0, 0x0472, &probe, 1));
  EXPECT_TRUE(test::eventually([&] { return backend.enumerate().empty(); }));

  box.plug();
  ASSERT_TRUE(test::eventually([&] { return backend.enumerate().size() == 1; }));
  EXPECT_EQ(backend.enumerate()[0].path, "usb:1-1");
  auto again = backend.open("usb:1-1").device;
  ASSERT_NE(again, nullptr);
  auto pipe = again->openPipe(0);
  box.sendIn(0, std::vector<uint8_t>(64, 0x77));
  EXPECT_TRUE(pipe->read(record, sizeof record, &got));
  EXPECT_EQ(record[0], 0x77);
}

int openDescriptors() {
  int n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++n;
  }
  return n;
}

// Each replug ends with the box opened, read from and closed: the descriptors of the
// device that left (the backend's and the emulation's) are all gone again.
TEST_F(UsbBackendTest, ReplugsLeaveNoDescriptorsBehind) {
  EmulatedUsbDevice& box = bed.add(1, {}, &side);
  UsbBackend backend(boxConfig());
  backend.watchChanges([](bool) {});
  auto replug = [&] {
    auto device = backend.open("usb:1-1").device;
    ASSERT_NE(device, nullptr);
    auto replies = device->openPipe(0);
    ASSERT_NO_FATAL_FAILURE(unplugUnderAWaitingRead(box, *replies));
    replies.reset();
    device.reset();
    box.plug();
    ASSERT_TRUE(test::eventually([&] { return backend.enumerate().size() == 1; }));
  };
  replug();  // the first open and replug set up what stays for the process
  const int before = openDescriptors();
  for (int i = 0; i < 5 && !HasFatalFailure(); ++i) replug();
  EXPECT_TRUE(test::eventually([&] { return openDescriptors() == before; }))
      << openDescriptors() << " descriptors open, " << before << " before";
}

TEST_F(UsbBackendTest, CancelEndsABlockedReadAtOnceAndEveryLaterOne) {
  EmulatedUsbDevice& box = bed.add(1, {}, &side);
  UsbBackend backend(boxConfig());
  auto device = backend.open("usb:1-1").device;
  auto replies = device->openPipe(0);
  auto audioIn = device->openPipe(2);
  auto reader = std::async(std::launch::async, [&] {
    uint8_t frame[256];
    uint32_t got = 0;
    return audioIn->read(frame, sizeof frame, &got);
  });
  ASSERT_TRUE(box.waitForPendingReads(2, 1, test::kGenerous));
  audioIn->cancel();
  ASSERT_EQ(reader.wait_for(test::kGenerous), std::future_status::ready);
  EXPECT_FALSE(reader.get());
  uint8_t frame[256];
  uint32_t got = 0;
  box.sendIn(2, std::vector<uint8_t>(256, 1));
  EXPECT_FALSE(audioIn->read(frame, sizeof frame, &got));
  EXPECT_EQ(box.pendingReads(2), 0u);

  // The other pipes and the control channel are not touched, until cancelled themselves.
  box.sendIn(0, std::vector<uint8_t>(64, 2));
  EXPECT_TRUE(replies->read(frame, 64, &got));
  uint8_t probe = 0;
  EXPECT_TRUE(device->vendorRequest(true, 0, 0x0472, &probe, 1));
  device->cancel();
  EXPECT_FALSE(device->vendorRequest(true, 0, 0x0472, &probe, 1));
}

TEST_F(UsbBackendTest, ArrivalAndDepartureOfABoxAreSignalled) {
  UsbBackend backend(boxConfig());
  std::atomic<int> arrivals{0}, departures{0};
  if (!backend.watchChanges([&](bool arrived) { ++(arrived ? arrivals : departures); }))
    GTEST_SKIP() << "no hotplug here";
  EmulatedUsbDevice& box = bed.add(1, {}, &side);
  EXPECT_TRUE(test::eventually([&] { return arrivals.load() >= 1; }));
  const int seen = arrivals.load();
  box.unplug();
  EXPECT_TRUE(test::eventually([&] { return departures.load() >= 1; }));
  UsbDeviceLayout other;
  other.product = 0x0001;
  bed.add(2, other, &side);
  box.plug();
  EXPECT_TRUE(test::eventually([&] { return arrivals.load() > seen; }));
  EXPECT_EQ(departures.load(), 1);
}

}  // namespace
}  // namespace tavro::platform::usb
