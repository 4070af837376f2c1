// Device backends: where boxes are found, chosen when the process starts.
//
// A backend enumerates device interfaces (each with a stable path and a description) and
// opens one: a device with a control channel for the driver requests and four pipes by
// number. Every backend is one row of kBackends (backend.cpp), in the fixed order: "wire"
// (boxes on the virtual wire), "usb" (boxes on USB), "null" (no devices; only by name).
// TAVRO_BACKENDS ("usb", "wire,usb", "null") narrows the list for a process; by default
// every real backend is used.
#ifndef TAVRO_PLATFORM_BACKEND_H
#define TAVRO_PLATFORM_BACKEND_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tavro/devices.h"

namespace tavro::platform {

// The claim of a box: a box belongs to one program at a time. kGranted: this program holds
// it now. kBusy: another program holds it; its pipes refuse this one. kNotKnown: the box
// knows no claims (it belongs to whoever uses it). kNoAnswer: the box did not answer.
enum class Claim { kGranted, kBusy, kNotKnown, kNoAnswer };

// One pipe of an opened device. Every call may come from another thread than the one
// that opened it; cancel() wakes a blocked read or write at once and fails later ones.
class BackendPipe {
 public:
  virtual ~BackendPipe() = default;
  // One record (reply pipe), or exactly n bytes (audio-in stream) unless a transfer fails.
  // False on end-of-stream or error; *got is the count received.
  virtual bool read(void* buffer, uint32_t n, uint32_t* got) = 0;
  // What the pipe holds now, at most n bytes, without waiting for more to come (a bus that
  // cannot tell what it holds waits a moment for it); *got is 0 when nothing is held.
  // False on end-of-stream or error. A backend that cannot look holds nothing.
  virtual bool readHeld(void* /*buffer*/, uint32_t /*n*/, uint32_t* got) {
    *got = 0;
    return true;
  }
  // One packet of n bytes. False unless all n bytes were sent.
  virtual bool write(const void* buffer, uint32_t n, uint32_t* written) = 0;
  // Whether the box has closed the pipe, seen without a transfer. Where a write ends once
  // the packet is queued (the virtual wire), the box may close the pipe before it took what
  // was queued, and nothing fails; where a write ends only when the box has taken it, a
  // failure always shows in a transfer: false.
  virtual bool hungUp() { return false; }
  virtual void cancel() = 0;
  virtual bool reset() = 0;  // clears the pipe after a failed transfer
};

// An opened device: its control channel and its pipes.
class BackendDevice {
 public:
  virtual ~BackendDevice() = default;
  // A vendor request: device to host (`in`, the device probe) or host to device (the
  // transfer setup). True when the box accepted it. The answer is awaited for at most 2 s
  // of library time; a device whose answer did not come may refuse later requests. A
  // backend whose bus carries 16-bit fields refuses a value or index that does not fit.
  virtual bool vendorRequest(bool in, uint32_t value, uint32_t index, void* data,
                             uint16_t length) = 0;
  virtual void cancel() = 0;
  // Pipes 0 to 3; nullptr when the pipe cannot be opened. A pipe stays usable after its
  // device is closed.
  virtual std::unique_ptr<BackendPipe> openPipe(int number) = 0;
  // Claims the box for this program before its pipes are used. A backend whose open
  // already claims it (a USB interface) has nothing more to ask.
  virtual Claim claim() { return Claim::kGranted; }
  // After a busy claim: which program holds the box, for people ("process 1234 (recorder)");
  // empty when the box does not say.
  virtual std::string holder() { return {}; }
  // For a shared box (one that tavrod publishes for a box it holds): what it stands for, the
  // lines of the wire's sharing request; empty for any other box.
  virtual std::string sharing() { return {}; }
  // The claim, its answer awaited until `deadline` at most: kNoAnswer when it has not come
  // by then (or the box went away). The request goes out once: a later call waits on for
  // the same answer. A backend whose claim does not wait claims as claim() does.
  virtual Claim claimUntil(std::chrono::steady_clock::time_point /*deadline*/) { return claim(); }
  // How the backend sends a vendor request, for a message about one that was refused
  // ("request 0x00"); empty when there is nothing to say.
  virtual std::string requestText() const { return {}; }
};

// What an open came to: the device when it opened (state kOpens), else the state (kBusy:
// another program holds it; kNotABox; kFails) and, for people, why.
struct Opened {
  std::shared_ptr<BackendDevice> device;
  DeviceState state = DeviceState::kFails;
  std::string reason;
};

struct DeviceListing {
  std::string path;
  std::string description;
  bool opens = false;  // it is a box and nothing keeps it from opening
  std::string reason;  // when it does not: why
};

class Backend {
 public:
  virtual ~Backend() = default;
  virtual const char* name() const = 0;
  // The device interfaces present, in the backend's fixed order.
  virtual std::vector<DeviceListing> enumerate() = 0;
  // A path of another backend is not opened.
  virtual Opened open(const std::string& path) = 0;
  // Calls `changed` (from any thread, without blocking) when a device may have come
  // (`arrived` true) or gone (false). False when the backend cannot tell; then the caller
  // looks again by itself.
  virtual bool watchChanges(std::function<void(bool arrived)> changed) = 0;
  // What stands in the way of finding its boxes, in words: configuration that was not
  // understood, nothing configured, a bus that cannot be reached.
  virtual std::vector<std::string> notes() { return {}; }
};

// One row of the backend table: a backend's name, how to make it, and whether a process
// uses it without naming it in TAVRO_BACKENDS.
struct BackendEntry {
  const char* name;
  std::unique_ptr<Backend> (*make)();
  bool byDefault;
};
extern const std::vector<BackendEntry> kBackends;

// The backends a TAVRO_BACKENDS value names, in the fixed order. An empty or missing value
// gives every backend used by default; one not used by default is used only when it is the
// only one named. Unknown names are left out and named in *unknown.
std::vector<std::string> chooseBackends(const char* value, std::vector<std::string>* unknown);

// The backends a TAVRO_BACKENDS value (`value`, the environment's when null) enables, made
// fresh, in the fixed order, as the library makes them; *unknown gets names it does not know.
std::vector<std::unique_ptr<Backend>> makeBackends(const char* value = nullptr,
                                                   std::vector<std::string>* unknown = nullptr);

// Whether `path` has the form of a device path of some backend: an absolute path (the
// virtual wire's, tavrod's shared boxes among them) or "usb:" and a port path. Says
// nothing of whether the device is there.
bool devicePathForm(const std::string& path);

std::unique_ptr<Backend> makeNullBackend();
// Boxes published on the virtual wire (platform/wire.h).
std::unique_ptr<Backend> makeWireBackend();
// Boxes on USB, as usb.conf and TAVRO_USB_IDS configure them (platform/usb/).
std::unique_ptr<Backend> makeUsbBackend();

}  // namespace tavro::platform

#endif  // TAVRO_PLATFORM_BACKEND_H
