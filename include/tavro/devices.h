#ifndef TAVRO_DEVICES_H
#define TAVRO_DEVICES_H

#include <string>
#include <vector>

#include "tavro/export.h"

namespace tavro {

// What became of the attempt to open a listed device.
enum class DeviceState {
  kOpens,    // a box, and this program may use it
  kBusy,     // a box that another program holds
  kFails,    // a box that could not be opened or did not answer; `reason` says how
  kNotABox,  // a configured device that is not a box; `reason` says why
};

// "opens", "busy", "fails", "not a box".
inline const char* deviceStateName(DeviceState state) {
  switch (state) {
    case DeviceState::kOpens:
      return "opens";
    case DeviceState::kBusy:
      return "busy";
    case DeviceState::kFails:
      return "fails";
    case DeviceState::kNotABox:
      return "not a box";
  }
  return "fails";
}

struct ListedDevice {
  std::string backend;      // "wire" (the virtual wire) or "usb"
  std::string path;         // the device path the library opens it by
  std::string description;  // for people: "virtual wire box box0", "USB 0abc:1234, bus 1 device 5"
  DeviceState state = DeviceState::kFails;
  std::string reason;  // empty when it opens
};

struct DeviceList {
  std::vector<std::string> backends;  // the backends in use (TAVRO_BACKENDS), in their order
  std::vector<ListedDevice> devices;  // every device they found, in the order the library
                                      // tries them
  // What stands in the way of finding a box: lines of the USB configuration that were not
  // understood, no USB ids configured, unknown names in TAVRO_BACKENDS.
  std::vector<std::string> notes;
};

// Every device on every backend in use, each one opened, claimed and sent the device probe
// once to tell whether the library could use it; it is closed again before the call
// returns. Any thread may call it, also while a library object runs: a box that this
// program's library object holds opens. Checking a box on the virtual wire makes this
// program its holder, until the program ends or for the box's grace time (about 2 s)
// after the check. A box that does not answer takes up to 2 s.
TAVRO_API DeviceList listDevices();

}  // namespace tavro

#endif  // TAVRO_DEVICES_H
