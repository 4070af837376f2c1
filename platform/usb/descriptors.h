// What a USB device's descriptors say about it: its path, whether an interface has the
// shape of a box, and the devices that could be boxes. Descriptors only: nothing here
// opens a device or sends it anything, so it is safe on any device of the machine.
#ifndef TAVRO_PLATFORM_USB_DESCRIPTORS_H
#define TAVRO_PLATFORM_USB_DESCRIPTORS_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/usb/config.h"
#include "protocol/pipes.h"

struct libusb_device;
struct libusb_config_descriptor;

namespace tavro::platform::usb {

struct Endpoint {
  uint8_t address = 0;
  uint16_t maxPacket = 64;
};

// "usb:<bus>-<port>[.<port>...]": stays the same across a replug.
std::string devicePath(libusb_device* dev);

// Finds the four pipes of a box (bulk IN, OUT, IN, OUT) on the interface `id` names, in
// descriptor order or as `id.endpoints` gives them. The empty text when they are all there
// with the right direction and type, else why not.
std::string findBoxEndpoints(const libusb_config_descriptor& config, const DeviceIdentity& id,
                             std::array<Endpoint, kPipeCount>& out);

// A USB device of the machine, as its descriptors describe it.
struct SeenDevice {
  std::string path;
  uint16_t vendor = 0;
  uint16_t product = 0;
  int bus = 0;
  int address = 0;
  // The interfaces whose endpoints, in descriptor order, are a box's four pipes.
  std::vector<int> boxShapedInterfaces;
  // Why the device is not a box as `config` describes it (its options, or the defaults
  // when it is not configured); empty when it is one.
  std::string notABox;
  bool configured = false;  // its id is in `config`
};

// Every USB device of the machine, sorted by path; `ok` false when USB cannot be used.
std::vector<SeenDevice> seeDevices(const UsbConfig& config, bool* ok = nullptr);

}  // namespace tavro::platform::usb

#endif  // TAVRO_PLATFORM_USB_DESCRIPTORS_H
