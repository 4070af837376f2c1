// Which devices are boxes: the id list and the configuration file.
#include <gtest/gtest.h>

#include "platform/usb/config.h"

namespace tavro::platform::usb {
namespace {

TEST(UsbConfigTest, IdListAndFileLinesWithOptions) {
  UsbConfig config;
  parseIdList("1d50:6a01, 0ABC:1234,,bad", config);
  parseConfigFile(
      "# boxes\n"
      "\n"
      "0abc:1235 interface=1 request=0x02 endpoints=0x81,0x02,0x83,0x04 detach=yes  # lab\n"
      "0abc:1236 request=300\n"
      "0abc:1237 endpoints=0x81,0x02\n"
      "abc:1238\n"
      "0abc:1239 colour=red\n",
      "usb.conf", config);
  ASSERT_EQ(config.devices.size(), 3u);
  EXPECT_EQ(config.devices[0].vendor, 0x1d50);
  EXPECT_EQ(config.devices[1].vendor, 0x0abc);
  EXPECT_EQ(config.devices[1].product, 0x1234);
  EXPECT_EQ(config.devices[0].request, kDefaultRequest);
  EXPECT_FALSE(config.devices[0].endpoints.has_value());

  const DeviceIdentity* lab = config.find(0x0abc, 0x1235);
  ASSERT_NE(lab, nullptr);
  EXPECT_EQ(lab->interface, 1);
  EXPECT_EQ(lab->request, 0x02);
  EXPECT_TRUE(lab->detachKernelDriver);
  ASSERT_TRUE(lab->endpoints.has_value());
  EXPECT_EQ((*lab->endpoints)[2], 0x83);
  EXPECT_EQ(config.find(0x0abc, 0x1236), nullptr);

  ASSERT_EQ(config.problems.size(), 5u);
  EXPECT_NE(config.problems[0].find("bad"), std::string::npos);
  EXPECT_EQ(config.problems[1].rfind("usb.conf:4: ", 0), 0u) << config.problems[1];
  EXPECT_EQ(config.problems[2].rfind("usb.conf:5: ", 0), 0u);
  EXPECT_EQ(config.problems[3].rfind("usb.conf:6: ", 0), 0u);
  EXPECT_EQ(config.problems[4].rfind("usb.conf:7: ", 0), 0u);
}

// usb.conf belongs to the installation the library (or the tool) was loaded from.
TEST(UsbConfigTest, ConfigurationFolderFollowsTheInstallation) {
  const std::string debianLib = "lib/x86_64-linux-gnu";
  EXPECT_EQ(configFolderFor("/usr/lib/x86_64-linux-gnu/libtavro.so.1", debianLib), "/etc/tavro");
  EXPECT_EQ(configFolderFor("/usr/bin/tavro", debianLib), "/etc/tavro");
  EXPECT_EQ(configFolderFor("/opt/tavro/lib/libtavro.so.1", "lib"), "/opt/tavro/etc/tavro");
  EXPECT_EQ(configFolderFor("/opt/tavro/bin/../lib/libtavro.so.1", "lib"), "/opt/tavro/etc/tavro");
  EXPECT_EQ(configFolderFor("/home/ann/.local/bin/tavro", "lib"), "/home/ann/.local/etc/tavro");
  EXPECT_EQ(configFolderFor("/usr/local/lib/libtavro.so.1", "lib"), "/usr/local/etc/tavro");
  // Not installed (a build tree): the system's folder.
  EXPECT_EQ(configFolderFor("/src/tavro/build/libtavro.so.1", "lib"), "/etc/tavro");
  EXPECT_EQ(configFolderFor("", "lib"), "/etc/tavro");
}

}  // namespace
}  // namespace tavro::platform::usb
