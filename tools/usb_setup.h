// Setting up a box on USB: `tavro devices --candidates` finds the devices that could be
// boxes, `tavro usb-setup` makes one usable. Both read USB descriptors only and send
// nothing to a device.
#ifndef TAVRO_TOOLS_USB_SETUP_H
#define TAVRO_TOOLS_USB_SETUP_H

#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <vector>

#include "platform/usb/descriptors.h"

namespace tavro::tool {

class Session;

// The lines of `tavro devices --candidates`: each device with an interface shaped like a
// box, and whether it is configured; a line saying so when there is none.
std::vector<std::string> candidateLines(const std::vector<platform::usb::SeenDevice>& seen);
std::string candidatesJson(const std::vector<platform::usb::SeenDevice>& seen);
// kExitOk when there is a candidate, kExitNoBox when there is none, kExitFailed when USB
// cannot be used.
int runCandidates(bool json);

// The udev rules file that `tavro usb-setup` writes, below the root.
inline constexpr const char* kUdevRulesFile = "/etc/udev/rules.d/70-tavro-boxes.rules";

struct UsbSetupRequest {
  std::string id;                     // vvvv:pppp
  std::vector<std::string> settings;  // usb.conf options for the id ("request=0x02")
  bool remove = false;
  std::string root = "/";  // the system's files are written below it
};

// Writes the id into usb.conf (the installation's, below the root) and a udev rule that
// tags the device uaccess, or takes both out again; reloads udev when the root is the
// running system's and udev runs there. What was done goes to `out`, a refusal to `err`.
// Returns the exit code.
int usbSetup(const UsbSetupRequest& request, std::string& out, std::string& err);

// Adds `usb-setup` to the tool; parsing it sets `run`.
void addUsbSetupCommand(CLI::App& app, std::function<int(Session&)>& run);

}  // namespace tavro::tool

#endif  // TAVRO_TOOLS_USB_SETUP_H
