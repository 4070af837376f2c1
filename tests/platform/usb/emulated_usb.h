// An emulated USB device for tests: sysfs entries, a device node and its usbdevfs calls,
// served in process under the umockdev preload, so that libusb runs its real code.
//
// The test binary must run under the preload (usb_main.cpp re-executes itself with it).
#ifndef TAVRO_TESTS_USB_EMULATED_USB_H
#define TAVRO_TESTS_USB_EMULATED_USB_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tavro::test {

struct EndpointLayout {
  uint8_t address = 0;     // bit 7 set: device to host
  uint8_t attributes = 2;  // 2 bulk, 3 interrupt
  uint16_t maxPacket = 64;
};

struct UsbDeviceLayout {
  uint16_t vendor = 0x1d50;
  uint16_t product = 0x6a01;
  uint8_t interface = 0;
  // A box's four pipes by default.
  std::vector<EndpointLayout> endpoints = {{0x81}, {0x02}, {0x83}, {0x04}};
};

struct ControlSetup {
  uint8_t requestType = 0;
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
  uint16_t length = 0;
};

// The device's side of the traffic. Called on the emulation's thread, without its lock
// held: a call may queue data with EmulatedUsbDevice::sendIn.
class UsbDeviceSide {
 public:
  virtual ~UsbDeviceSide() = default;
  // A control transfer. For device to host, fill `data` (it has setup.length bytes); for
  // host to device it holds the data stage. False stalls the request.
  virtual bool control(const ControlSetup& setup, std::vector<uint8_t>& data) = 0;
  // Bytes the host wrote to the OUT pipe `pipe` (the endpoint's place in the interface).
  virtual void bulkOut(int pipe, const std::vector<uint8_t>& data) = 0;
  virtual void clearHalt(int /*pipe*/) {}
};

struct LoggedControlTransfer {
  ControlSetup setup;
  std::vector<uint8_t> data;  // the data stage, either way
  bool accepted = false;
};

class UsbTestbed;

class EmulatedUsbDevice {
 public:
  ~EmulatedUsbDevice();
  EmulatedUsbDevice(const EmulatedUsbDevice&) = delete;
  EmulatedUsbDevice& operator=(const EmulatedUsbDevice&) = delete;

  // Queues bytes on the IN pipe `pipe`; a read takes at most what it asked for, the rest
  // stays for the next. A read takes from several pieces while they are whole packets (a
  // piece that ends in a short packet ends it), as a device fills a transfer.
  void sendIn(int pipe, const std::vector<uint8_t>& bytes);
  // Transfers on the pipe fail (a stall) until the host clears the halt.
  void halt(int pipe);
  // Another program holds the interface: claiming it is refused as busy.
  void setClaimedElsewhere(bool claimed);

  // Unplugging fails every pending transfer and every later call, and tells the system
  // the device left; plugging adds it again at the same port with a new device number.
  void unplug();
  void plug();
  bool plugged() const;

  std::vector<LoggedControlTransfer> controlTransfers() const;
  std::vector<int> clearedHalts() const;  // pipe numbers, in order
  size_t pendingReads(int pipe) const;    // IN transfers waiting for data
  bool waitForPendingReads(int pipe, size_t n, std::chrono::milliseconds timeout) const;
  bool claimed() const;  // some open file holds the interface

  struct Instance;
  struct Shared;

 private:
  friend class UsbTestbed;
  EmulatedUsbDevice(UsbTestbed& bed, std::string name, int bus, UsbDeviceLayout layout,
                    UsbDeviceSide* side);
  UsbTestbed& bed_;
  std::shared_ptr<Shared> shared_;
};

// The emulated system's devices. Make it before the USB library is initialised.
class UsbTestbed {
 public:
  UsbTestbed();
  ~UsbTestbed();
  UsbTestbed(const UsbTestbed&) = delete;
  UsbTestbed& operator=(const UsbTestbed&) = delete;

  // Adds a device at port `port` of bus 1 (sysfs name "1-<port>"), plugged in. `side`
  // must outlive the device.
  EmulatedUsbDevice& add(int port, UsbDeviceLayout layout, UsbDeviceSide* side);

  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
  std::vector<std::unique_ptr<EmulatedUsbDevice>> devices_;
};

}  // namespace tavro::test

#endif  // TAVRO_TESTS_USB_EMULATED_USB_H
