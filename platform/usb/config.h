// Which USB devices are boxes, and how to talk to them.
//
// A box's vendor and product id are not built in: they come from TAVRO_USB_IDS
// ("vvvv:pppp[,vvvv:pppp...]") and from the file usb.conf in the system configuration
// folder. Each line of that file names one device and may add options after it:
//
//   # comment
//   0abc:1234
//   0abc:1235 interface=1 request=0x02 endpoints=0x81,0x02,0x83,0x04 detach=yes
//
// interface=N       the interface that carries the four pipes (default 0)
// request=0xNN      the control-transfer request code of the two vendor requests
// endpoints=a,b,c,d the endpoint addresses of pipes 0 to 3 (default: the interface's
//                   endpoints in descriptor order)
// detach=yes        detach a kernel driver bound to the interface before claiming it
//
// The default request code, kDefaultRequest, is an assumption: the host driver's vendor
// request record carries no request code, so the chip's firmware is taken to answer a
// fixed one. Confirm it on a real box (docs/usb.md says how).
#ifndef TAVRO_PLATFORM_USB_CONFIG_H
#define TAVRO_PLATFORM_USB_CONFIG_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavro::platform::usb {

inline constexpr uint8_t kDefaultRequest = 0x00;

struct DeviceIdentity {
  uint16_t vendor = 0;
  uint16_t product = 0;
  int interface = 0;
  uint8_t request = kDefaultRequest;
  std::optional<std::array<uint8_t, 4>> endpoints;  // pipes 0 to 3
  bool detachKernelDriver = false;
};

struct UsbConfig {
  std::vector<DeviceIdentity> devices;
  std::vector<std::string> problems;  // lines that were not understood, with their place

  // The identity of vendor:product, or nullptr when that device is not a box.
  const DeviceIdentity* find(uint16_t vendor, uint16_t product) const;
};

// Adds the ids of a TAVRO_USB_IDS value ("vvvv:pppp[,vvvv:pppp...]").
void parseIdList(std::string_view text, UsbConfig& config);
// Adds the devices of a usb.conf text; `origin` names it in problems.
void parseConfigFile(std::string_view text, const std::string& origin, UsbConfig& config);

// The configuration of this process: TAVRO_USB_IDS, then the installation's usb.conf.
UsbConfig loadUsbConfig();
// Where usb.conf is looked for: in the configuration folder of the installation that this
// code was loaded from (configFolderFor), found from the library's own place at run time,
// so that an installation moved with `cmake --install --prefix` finds its own.
std::string configFilePath();
// The configuration folder for a library (or a program) at `objectPath`, installed in
// PREFIX/`libdir` (or PREFIX/bin): /etc/tavro for the system prefixes /usr and /, else
// PREFIX/etc/tavro. Outside an installation (a build tree) it is /etc/tavro.
std::string configFolderFor(const std::string& objectPath, std::string_view libdir);

}  // namespace tavro::platform::usb

#endif  // TAVRO_PLATFORM_USB_CONFIG_H
