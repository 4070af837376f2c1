#include "tools/session.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tavro/devices.h"
#include "tavro/events.h"
#include "tavro/notice.h"
#include "tavro/status.h"
#include "tools/signals.h"

namespace tavro::tool {

namespace {

constexpr const char* kInUseText = "the box is in use by another program";
constexpr const char* kHeldPrefix = "another program holds it: ";

// The in-use message, with the program that holds the box where the box says which.
std::string inUseText(const DeviceList& list, const std::string& device) {
  const std::string text =
      device.empty() ? std::string(kInUseText)
                     : "the box " + terminalText(device) + " is in use by another program";
  for (const ListedDevice& d : list.devices) {
    if (!device.empty() && d.path != device) continue;
    if (d.state == DeviceState::kBusy && d.reason.starts_with(kHeldPrefix))
      return text + ": " +
             terminalText(std::string_view(d.reason).substr(std::strlen(kHeldPrefix)));
  }
  return text;
}

// Whether a box is published at `device` (any box when empty), up or not; a configured
// device that is not a box does not count.
bool boxPublished(const std::string& device) {
  const DeviceList list = listDevices();
  return std::any_of(list.devices.begin(), list.devices.end(), [&](const ListedDevice& d) {
    return d.state != DeviceState::kNotABox && (device.empty() || d.path == device);
  });
}

// How to find out what is there, for the messages about no box.
constexpr const char* kNoBoxHint =
    "(is tavro-box running, or a box plugged into USB? `tavro devices` lists what is found)";
constexpr const char* kDeviceHint = "(`tavro devices` lists what is found)";

}  // namespace

void fail(const Failure& f) {
  std::fprintf(stderr, "tavro: %s\n", f.message.c_str());
}

int fail(int code, const std::string& message) {
  std::fprintf(stderr, "tavro: %s\n", message.c_str());
  return code;
}

int check(int result, OpKind kind, const char* what) {
  Failure f = describeResult(result, kind, what);
  if (f.exitCode != kExitOk) fail(f);
  return f.exitCode;
}

std::string inUseText(const std::string& device) {
  return inUseText(listDevices(), device);
}

std::unique_ptr<CKusb_IO> openObject(const std::string& device) {
  // The library's worker threads must never take the tool's signals: they are started
  // with SIGINT and SIGTERM blocked, which they inherit; a signal that arrives meanwhile
  // is handled once they run.
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  std::unique_ptr<CKusb_IO> io(device.empty() ? new CKusb_IO : tavro_open_device(device.c_str()));
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return io;
}

Session::~Session() = default;

bool Session::linkUp() {
  return io_ && (io_->GetTelStatus() & kLinkDownBit) == 0;
}

bool Session::boxInUse() const {
  return io_ && tavro::boxInUse(*io_);
}

int Session::open(bool mayWait) {
  if (io_) return kExitOk;
  io_ = openObject(device_);
  if (!io_) {
    return fail(kExitUsage, "--device " + terminalText(device_) +
                                " is not a device path: give it as `tavro devices` prints it");
  }
  const std::string at = terminalText(device_);
  if (mayWait) return interrupted() ? kExitInterrupted : kExitOk;
  // The library has looked for a box once. With nothing published at all there is nothing
  // to wait for; a box that is there but not up yet is given the wait time.
  if (!linkUp() && !boxInUse() && !boxPublished(device_)) {
    return fail(kExitNoBox,
                device_.empty()
                    ? std::string("no box: no telephone-line box is there ") + kNoBoxHint
                    : "no box: there is no box at " + at + " " + kDeviceHint);
  }
  Clock::time_point start = Clock::now();
  while (!linkUp() && !interrupted() && secondsSince(start) < waitSeconds_) nap(50);
  if (interrupted()) return kExitInterrupted;
  if (!linkUp() && boxInUse()) return fail(kExitBoxInUse, inUseText(device_));
  if (!linkUp()) {
    char within[32];
    std::snprintf(within, sizeof within, "%.1f s", waitSeconds_);
    return fail(kExitNoBox, device_.empty()
                                ? std::string("no box: no telephone-line box answered "
                                              "within ") +
                                      within + " " + kNoBoxHint
                                : "no box: the box at " + at + " did not answer within " + within +
                                      " " + kDeviceHint);
  }
  return kExitOk;
}

}  // namespace tavro::tool
