// Boxes on USB, through libusb.
//
// A box is one USB interface with four bulk pipes: pipe 0 device to host (reply records),
// pipe 1 host to device (command packets), pipe 2 device to host (the audio byte stream),
// pipe 3 host to device (audio packets); and two vendor requests on the default control
// pipe. Which devices are boxes is configuration (platform/usb/config.h).
//
// Every transfer is asynchronous underneath: one event thread per backend completes them,
// and the thread that waits for a transfer can be woken at once by cancel(), whatever the
// box does. A box that is unplugged ends every pending transfer with a failure.
//
// Every open of a box shares one claim of its interface; the claim is released when the
// last open of it is closed. A box claimed by another program is busy.
#ifndef TAVRO_PLATFORM_USB_USB_BACKEND_H
#define TAVRO_PLATFORM_USB_USB_BACKEND_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/backend.h"
#include "platform/usb/config.h"
#include "platform/usb/descriptors.h"

namespace tavro::platform::usb {

struct Session;
struct Context;

// One pipe of an opened box.
class UsbPipe : public BackendPipe {
 public:
  ~UsbPipe() override;
  UsbPipe(const UsbPipe&) = delete;
  UsbPipe& operator=(const UsbPipe&) = delete;

  // Pipe 0: one packet (at most n bytes). Pipe 2: exactly n bytes unless a transfer fails.
  // False on a failed transfer, on a pipe of the other direction, and after cancel().
  bool read(void* buffer, uint32_t n, uint32_t* got) override;
  // What the device holds for an IN pipe now, at most n bytes: one transfer that ends after
  // a moment (a few milliseconds) when nothing comes. *got is 0 then.
  bool readHeld(void* buffer, uint32_t n, uint32_t* got) override;
  bool write(const void* buffer, uint32_t n, uint32_t* written) override;
  // Makes the transfer in progress, and every later one, fail at once.
  void cancel() override;
  // Clears a halt on the pipe's endpoint after a failed transfer.
  bool reset() override;

 private:
  friend class UsbDevice;
  struct State;
  UsbPipe(std::shared_ptr<Session> session, int number);
  bool deviceToHost() const;
  std::shared_ptr<Session> session_;
  int number_;
  std::unique_ptr<State> state_;
};

// An opened box: its control channel, and its pipes by number.
class UsbDevice : public BackendDevice {
 public:
  ~UsbDevice() override;
  UsbDevice(const UsbDevice&) = delete;
  UsbDevice& operator=(const UsbDevice&) = delete;

  // A vendor request on the default control pipe: vendor type, device recipient, the
  // configured request code, wValue = value, wIndex = index, wLength = length; device to
  // host when `in`. Gives up after the backend's request limit. True when the box accepted
  // it; a value or index beyond 16 bits is refused.
  bool vendorRequest(bool in, uint32_t value, uint32_t index, void* data, uint16_t length) override;
  // Makes the request in progress, and every later one, fail at once.
  void cancel() override;
  // nullptr for a number outside 0 to 3, and once the box has been unplugged.
  std::unique_ptr<BackendPipe> openPipe(int number) override;
  // "request 0x<code>": the control-transfer request code its vendor requests use.
  std::string requestText() const override;

 private:
  friend class UsbBackend;
  struct State;
  UsbDevice(std::shared_ptr<Session> session, std::chrono::milliseconds limit);
  std::shared_ptr<Session> session_;
  std::unique_ptr<State> state_;
  std::chrono::milliseconds limit_;
};

// The "usb" backend. With no box configured, libusb is not even started: a process that
// uses only the virtual wire gets no USB thread.
class UsbBackend : public Backend {
 public:
  // `requestLimit`: how long a vendor request may wait for the box.
  explicit UsbBackend(UsbConfig config,
                      std::chrono::milliseconds requestLimit = std::chrono::milliseconds(2000));
  ~UsbBackend() override;  // opened devices and pipes stay usable until they are closed
  UsbBackend(const UsbBackend&) = delete;
  UsbBackend& operator=(const UsbBackend&) = delete;

  const char* name() const override { return "usb"; }
  // libusb could be initialised.
  bool available() const;
  const UsbConfig& config() const { return config_; }

  // The configured devices present, sorted by path ("usb:<bus>-<port>[.<port>...]", the
  // same across a replug): boxes and devices that are not, with why not.
  std::vector<DeviceListing> enumerate() override;
  // Opens the box at `path`: not present, not a box, busy (claimed by another program), no
  // permission.
  Opened open(const std::string& path) override;
  // Calls `changed` on the event thread when a configured device arrives (true) or leaves
  // (false); it must not block. False when the system cannot tell (then nothing is called).
  bool watchChanges(std::function<void(bool arrived)> changed) override;
  std::vector<std::string> notes() override { return notes_; }

 private:
  UsbConfig config_;
  std::chrono::milliseconds limit_;
  std::vector<std::string> notes_;
  std::shared_ptr<Context> context_;
};

}  // namespace tavro::platform::usb

#endif  // TAVRO_PLATFORM_USB_USB_BACKEND_H
