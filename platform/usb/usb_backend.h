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

#include "platform/usb/config.h"
#include "platform/usb/descriptors.h"

namespace tavro::platform::usb {

enum class OpenResult { kOpened, kAbsent, kNotABox, kBusy, kNoAccess, kFailed };
const char* describe(OpenResult result);

// A configured device as enumeration sees it.
struct UsbInterface {
  std::string path;         // "usb:<bus>-<port>[.<port>...]": stays the same across a replug
  std::string description;  // "USB 0abc:1234, bus 1 device 5"
  bool isBox = false;       // its interface and endpoints are a box's
  std::string reason;       // when not: why
};

struct Session;
struct Context;

// One pipe of an opened box.
class UsbPipe {
 public:
  ~UsbPipe();
  UsbPipe(const UsbPipe&) = delete;
  UsbPipe& operator=(const UsbPipe&) = delete;

  int number() const { return number_; }
  bool deviceToHost() const;

  // Pipe 0: one packet (at most n bytes). Pipe 2: exactly n bytes unless a transfer fails.
  // False on a failed transfer, on a pipe of the other direction, and after cancel().
  bool read(void* buffer, uint32_t n, uint32_t* got);
  // What the device holds for an IN pipe now, at most n bytes: one transfer that ends after
  // a moment (a few milliseconds) when nothing comes. *got is 0 then.
  bool readHeld(void* buffer, uint32_t n, uint32_t* got);
  // False unless all n bytes were sent.
  bool write(const void* buffer, uint32_t n, uint32_t* written);
  // Makes the transfer in progress, and every later one, fail at once.
  void cancel();
  // Clears a halt on the pipe's endpoint after a failed transfer.
  bool reset();

 private:
  friend class UsbDevice;
  struct State;
  UsbPipe(std::shared_ptr<Session> session, int number);
  std::shared_ptr<Session> session_;
  int number_;
  std::unique_ptr<State> state_;
};

// An opened box: its control channel, and its pipes by number.
class UsbDevice {
 public:
  ~UsbDevice();
  UsbDevice(const UsbDevice&) = delete;
  UsbDevice& operator=(const UsbDevice&) = delete;

  const std::string& path() const;
  // The control-transfer request code its vendor requests use.
  uint8_t request() const;
  // A vendor request on the default control pipe: vendor type, device recipient, the
  // configured request code, wValue = value, wIndex = index, wLength = length; device to
  // host when `in`. Gives up after `limit`. True when the box accepted it.
  bool vendorRequest(bool in, uint16_t value, uint16_t index, void* data, uint16_t length,
                     std::chrono::milliseconds limit);
  // Makes the request in progress, and every later one, fail at once.
  void cancel();
  // nullptr for a number outside 0 to 3.
  std::unique_ptr<UsbPipe> openPipe(int number);
  // The box has been unplugged: every transfer fails.
  bool gone() const;

 private:
  friend class UsbBackend;
  struct State;
  explicit UsbDevice(std::shared_ptr<Session> session);
  std::shared_ptr<Session> session_;
  std::unique_ptr<State> state_;
};

class UsbBackend {
 public:
  explicit UsbBackend(UsbConfig config);
  ~UsbBackend();  // opened devices and pipes stay usable until they are closed
  UsbBackend(const UsbBackend&) = delete;
  UsbBackend& operator=(const UsbBackend&) = delete;

  // libusb could be initialised.
  bool available() const;
  const UsbConfig& config() const { return config_; }

  // The configured devices present, sorted by path: boxes and devices that are not.
  std::vector<UsbInterface> enumerate();
  // Opens the box at `path`; nullptr and *result (when given) tell why not.
  std::unique_ptr<UsbDevice> open(const std::string& path, OpenResult* result = nullptr);

  // Called on the event thread when a configured device arrives (true) or leaves (false);
  // must not block. False when the system cannot tell (then nothing is called).
  bool setChangeHandler(std::function<void(bool arrived)> handler);

 private:
  UsbConfig config_;
  std::shared_ptr<Context> context_;
};

}  // namespace tavro::platform::usb

#endif  // TAVRO_PLATFORM_USB_USB_BACKEND_H
