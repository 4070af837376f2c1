#include "platform/usb/descriptors.h"

#include <libusb.h>

#include <algorithm>
#include <cstdio>

namespace tavro::platform::usb {
namespace {

std::string hex2(uint8_t v) {
  char text[5];
  std::snprintf(text, sizeof text, "0x%02x", v);
  return text;
}

}  // namespace

std::string devicePath(libusb_device* dev) {
  uint8_t ports[8];
  const int n = libusb_get_port_numbers(dev, ports, sizeof ports);
  std::string path = "usb:";
  path += std::to_string(libusb_get_bus_number(dev));
  if (n <= 0) {
    path += "-d";
    path += std::to_string(libusb_get_device_address(dev));
    return path;
  }
  for (int i = 0; i < n; ++i) {
    path += i == 0 ? '-' : '.';
    path += std::to_string(ports[i]);
  }
  return path;
}

std::string findBoxEndpoints(const libusb_config_descriptor& config, const DeviceIdentity& id,
                             std::array<Endpoint, kPipeCount>& out) {
  const libusb_interface_descriptor* alt = nullptr;
  for (int i = 0; i < config.bNumInterfaces && alt == nullptr; ++i) {
    const libusb_interface& itf = config.interface[i];
    if (itf.num_altsetting > 0 && itf.altsetting[0].bInterfaceNumber == id.interface) {
      alt = &itf.altsetting[0];
    }
  }
  if (alt == nullptr) return "has no interface " + std::to_string(id.interface);
  for (int pipe = 0; pipe < kPipeCount; ++pipe) {
    const libusb_endpoint_descriptor* ep = nullptr;
    if (id.endpoints) {
      for (int e = 0; e < alt->bNumEndpoints; ++e) {
        if (alt->endpoint[e].bEndpointAddress == (*id.endpoints)[pipe]) ep = &alt->endpoint[e];
      }
      if (ep == nullptr) {
        return "has no endpoint " + hex2((*id.endpoints)[pipe]) + " for pipe " +
               std::to_string(pipe);
      }
    } else if (pipe < alt->bNumEndpoints) {
      ep = &alt->endpoint[pipe];
    } else {
      return "interface " + std::to_string(id.interface) + " has " +
             std::to_string(alt->bNumEndpoints) + " endpoints, a box has 4";
    }
    const bool in = (ep->bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0;
    const std::string which =
        "endpoint " + hex2(ep->bEndpointAddress) + " (pipe " + std::to_string(pipe) + ")";
    if ((ep->bmAttributes & 0x3) != LIBUSB_TRANSFER_TYPE_BULK) return which + " is not bulk";
    if (in != kPipeIn[pipe]) {
      return which + " is " + (in ? "IN" : "OUT") + ", a box's pipe " + std::to_string(pipe) +
             " is " + (kPipeIn[pipe] ? "IN" : "OUT");
    }
    out[pipe].address = ep->bEndpointAddress;
    out[pipe].maxPacket = ep->wMaxPacketSize != 0 ? ep->wMaxPacketSize : 64;
  }
  return {};
}

std::vector<SeenDevice> seeDevices(const UsbConfig& config, bool* ok) {
  std::vector<SeenDevice> seen;
  libusb_context* ctx = nullptr;
  if (ok != nullptr) *ok = false;
  if (libusb_init(&ctx) != 0) return seen;
  if (ok != nullptr) *ok = true;
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(ctx, &list);
  for (ssize_t i = 0; i < n; ++i) {
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(list[i], &desc) != 0) continue;
    SeenDevice d;
    d.path = devicePath(list[i]);
    d.vendor = desc.idVendor;
    d.product = desc.idProduct;
    d.bus = libusb_get_bus_number(list[i]);
    d.address = libusb_get_device_address(list[i]);
    const DeviceIdentity* configured = config.find(desc.idVendor, desc.idProduct);
    d.configured = configured != nullptr;
    libusb_config_descriptor* cd = nullptr;
    if (libusb_get_active_config_descriptor(list[i], &cd) != 0 || cd == nullptr) {
      d.notABox = "no active configuration";
    } else {
      std::array<Endpoint, kPipeCount> endpoints{};
      for (int k = 0; k < cd->bNumInterfaces; ++k) {
        if (cd->interface[k].num_altsetting <= 0) continue;
        DeviceIdentity shape;
        shape.interface = cd->interface[k].altsetting[0].bInterfaceNumber;
        if (findBoxEndpoints(*cd, shape, endpoints).empty()) {
          d.boxShapedInterfaces.push_back(shape.interface);
        }
      }
      d.notABox = findBoxEndpoints(*cd, configured ? *configured : DeviceIdentity{}, endpoints);
      libusb_free_config_descriptor(cd);
    }
    seen.push_back(std::move(d));
  }
  if (n >= 0) libusb_free_device_list(list, 1);
  libusb_exit(ctx);
  std::sort(seen.begin(), seen.end(),
            [](const SeenDevice& a, const SeenDevice& b) { return a.path < b.path; });
  return seen;
}

}  // namespace tavro::platform::usb
