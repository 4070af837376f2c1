#include "tools/session.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tavro/devices.h"
#include "tavro/notice.h"
#include "tavro/status.h"
#include "tools/signals.h"

namespace tavro::tool {

namespace {

constexpr const char* kInUseText = "the box is in use by another program";
constexpr const char* kHeldPrefix = "another program holds it: ";

// The in-use message, with the program that holds the box where the box says which.
std::string inUseText(const DeviceList& list) {
  for (const ListedDevice& d : list.devices) {
    if (d.state == DeviceState::kBusy && d.reason.starts_with(kHeldPrefix))
      return std::string(kInUseText) + ": " +
             terminalText(std::string_view(d.reason).substr(std::strlen(kHeldPrefix)));
  }
  return kInUseText;
}

// Whether any box is published, up or not; a configured device that is not a box does not
// count.
bool anyBoxPublished() {
  const DeviceList list = listDevices();
  return std::any_of(list.devices.begin(), list.devices.end(),
                     [](const ListedDevice& d) { return d.state != DeviceState::kNotABox; });
}

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

std::string inUseText() {
  return inUseText(listDevices());
}

Session::~Session() = default;

bool Session::linkUp() {
  return io_ && (io_->GetTelStatus() & kLinkDownBit) == 0;
}

int Session::open(bool mayWait) {
  if (io_) return kExitOk;
  // The library's worker threads must never take the tool's signals: they are started
  // with SIGINT and SIGTERM blocked, which they inherit; a signal that arrives meanwhile
  // is handled once they run.
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  io_ = std::make_unique<CKusb_IO>();
  pthread_sigmask(SIG_SETMASK, &old, nullptr);

  if (mayWait) return interrupted() ? kExitInterrupted : kExitOk;
  // The library has looked for a box once. With nothing published at all there is nothing
  // to wait for; a box that is there but not up yet is given the wait time.
  if (!linkUp() && !boxInUse() && !anyBoxPublished()) {
    return fail(kExitNoBox,
                "no box: no telephone-line box is there (is tavro-box running, or a box "
                "plugged into USB? `tavro devices` lists what is found)");
  }
  Clock::time_point start = Clock::now();
  while (!linkUp() && !interrupted() && secondsSince(start) < waitSeconds_) nap(50);
  if (interrupted()) return kExitInterrupted;
  if (!linkUp() && boxInUse()) return fail(kExitBoxInUse, inUseText());
  if (!linkUp()) {
    // Boxes are looked for on the virtual wire and on USB: the hint names both.
    char buf[192];
    std::snprintf(buf, sizeof buf,
                  "no box: no telephone-line box answered within %.1f s (is tavro-box running, "
                  "or a box plugged into USB? `tavro devices` lists what is found)",
                  waitSeconds_);
    return fail(kExitNoBox, buf);
  }
  return kExitOk;
}

}  // namespace tavro::tool
