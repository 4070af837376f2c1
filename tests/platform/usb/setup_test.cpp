// Setting a box up over emulated USB: the candidates come from descriptors alone, and
// usb-setup writes usb.conf and the udev rule (and takes them back) in a temporary root.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/usb/config.h"
#include "platform/usb/descriptors.h"
#include "platform/usb/emulated_usb.h"
#include "support/environment.h"
#include "support/runtime_dir.h"
#include "tools/text.h"
#include "tools/usb_setup.h"

namespace tavro {
namespace {

namespace usb = platform::usb;

// A device that stalls every request: a box whose firmware refuses the probe.
class RefusingSide : public test::UsbDeviceSide {
 public:
  bool control(const test::ControlSetup&, std::vector<uint8_t>&) override { return false; }
  void bulkOut(int, const std::vector<uint8_t>&) override {}
};

std::string readFile(const std::filesystem::path& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

class UsbSetupTest : public ::testing::Test {
 protected:
  UsbSetupTest() {
    test::UsbDeviceLayout otherShape;  // an interrupt endpoint where a box has bulk ones
    otherShape.product = 0x6a02;
    otherShape.endpoints = {{0x81, 3}, {0x02}, {0x83}, {0x04}};
    test::UsbDeviceLayout refusing;
    refusing.product = 0x6a03;
    devices_ = {&bed_.add(1, {}, &side_), &bed_.add(2, otherShape, &side_),
                &bed_.add(3, refusing, &side_)};
  }
  ~UsbSetupTest() override {
    for (auto* d : devices_) EXPECT_TRUE(d->controlTransfers().empty()) << "a request was sent";
  }

  int setup(std::vector<std::string> words, bool remove = false) {
    tool::UsbSetupRequest request{words[0], {words.begin() + 1, words.end()}, remove, root_.path()};
    out_.clear();
    err_.clear();
    return tool::usbSetup(request, out_, err_);
  }
  std::filesystem::path conf() const {
    return std::filesystem::path(root_.path()) / usb::configFilePath().substr(1);
  }
  std::filesystem::path rules() const {
    return std::filesystem::path(root_.path()) / (tool::kUdevRulesFile + 1);
  }

  test::UsbTestbed bed_;
  RefusingSide side_;
  std::vector<test::EmulatedUsbDevice*> devices_;
  test::RuntimeDir root_;
  std::string out_;
  std::string err_;
};

TEST_F(UsbSetupTest, CandidatesAreTheDevicesShapedLikeABox) {
  test::EnvironmentSetting ids("TAVRO_USB_IDS", "1d50:6a01");
  const auto seen = usb::seeDevices(usb::loadUsbConfig());
  EXPECT_EQ(tool::candidateLines(seen),
            (std::vector<std::string>{
                "usb:1-1  1d50:6a01  interface 0  configured",
                "usb:1-3  1d50:6a03  interface 0  not configured (tavro usb-setup 1d50:6a03, "
                "as root)",
            }));
  EXPECT_EQ(tool::candidatesJson(seen).rfind(
                "{\"candidates\":[{\"path\":\"usb:1-1\",\"id\":\"1d50:6a01\",\"interfaces\":[0],"
                "\"configured\":true,\"reason\":null},",
                0),
            0u);
}

TEST_F(UsbSetupTest, RefusesWhatIsNotABoxHereAndWritesNothing) {
  EXPECT_EQ(setup({"1d50:7777"}), tool::kExitNoBox);
  EXPECT_NE(err_.find("no USB device 1d50:7777 is plugged in"), std::string::npos) << err_;
  EXPECT_EQ(setup({"1d50:6a02"}), tool::kExitUsage);
  EXPECT_NE(err_.find("usb:1-2 (1d50:6a02) is not shaped like a box: endpoint 0x81 (pipe 0) "
                      "is not bulk"),
            std::string::npos)
      << err_;
  EXPECT_EQ(setup({"1d50:6a01", "colour=red"}), tool::kExitUsage);
  EXPECT_EQ(setup({"1d50:6a01", "request=0x02\n0000:0000"}), tool::kExitUsage);
  EXPECT_EQ(setup({"1d50:6a01", "request=0x02#"}), tool::kExitUsage);
  EXPECT_TRUE(std::filesystem::is_empty(root_.path()));
}

TEST_F(UsbSetupTest, WritesTheIdAndTheRuleAndTakesThemBack) {
  std::filesystem::create_directories(conf().parent_path());
  std::ofstream(conf()) << "# the desk\n0abc:1234\n1D50:6A01 request=0x01\n";

  ASSERT_EQ(setup({"1D50:6A01", "request=0x02"}), tool::kExitOk) << err_;
  EXPECT_NE(out_.find("wrote " + conf().string() + ": 1d50:6a01 request=0x02\n"), std::string::npos)
      << out_;
  EXPECT_EQ(readFile(conf()), "# the desk\n0abc:1234\n1d50:6a01 request=0x02\n");
  usb::UsbConfig read;
  usb::parseConfigFile(readFile(conf()), "usb.conf", read);
  ASSERT_NE(read.find(0x1d50, 0x6a01), nullptr);
  EXPECT_EQ(read.find(0x1d50, 0x6a01)->request, 0x02);
  const std::string rule =
      "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"1d50\", "
      "ATTR{idProduct}==\"6a01\", TAG+=\"uaccess\", TAG+=\"systemd\", "
      "ENV{SYSTEMD_WANTS}+=\"tavrod.service\"\n";
  EXPECT_NE(out_.find("wrote " + rules().string() + ": " + rule), std::string::npos) << out_;

  // The box that refuses the probe is set up from its descriptors alone.
  ASSERT_EQ(setup({"1d50:6a03"}), tool::kExitOk) << err_;
  const std::string rules2 = readFile(rules());
  EXPECT_NE(rules2.find(rule), std::string::npos);
  EXPECT_NE(rules2.find("ATTR{idProduct}==\"6a03\""), std::string::npos);
  EXPECT_EQ(std::filesystem::status(rules()).permissions(), std::filesystem::perms(0644));

  ASSERT_EQ(setup({"1d50:6a01"}, true), tool::kExitOk) << err_;
  EXPECT_EQ(readFile(conf()), "# the desk\n0abc:1234\n1d50:6a03\n");
  EXPECT_EQ(readFile(rules()).find("6a01"), std::string::npos);
  ASSERT_EQ(setup({"1d50:6a03"}, true), tool::kExitOk) << err_;
  EXPECT_FALSE(std::filesystem::exists(rules())) << "a file of no rules is left behind";
  // Taking out what is not there is no failure, and needs no device.
  ASSERT_EQ(setup({"1d50:7777"}, true), tool::kExitOk) << err_;
  EXPECT_NE(out_.find("1d50:7777 was not in"), std::string::npos) << out_;
}

}  // namespace
}  // namespace tavro
