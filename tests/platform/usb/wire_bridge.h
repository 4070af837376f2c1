// A box on the virtual wire shown as an emulated USB device: the bridge carries the USB
// traffic to the box's pipes and control requests and back, so that the emulated device
// behaves exactly as the virtual box does.
#ifndef TAVRO_TESTS_USB_WIRE_BRIDGE_H
#define TAVRO_TESTS_USB_WIRE_BRIDGE_H

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "platform/usb/emulated_usb.h"

namespace tavro::test {

class WireBridge : public UsbDeviceSide {
 public:
  // `devicePath`: the box's device path on the virtual wire.
  explicit WireBridge(std::string devicePath);
  ~WireBridge() override;  // disconnects
  WireBridge(const WireBridge&) = delete;
  WireBridge& operator=(const WireBridge&) = delete;

  // Connects to the box's four pipes; what the box sends goes to `device`'s IN pipes.
  bool connect(EmulatedUsbDevice& device);
  void disconnect();

  // A box whose firmware answers the vendor requests under another request code: the
  // others stall. By default every code is answered.
  void answerOnlyRequest(int request) { onlyRequest_ = request; }

  bool control(const ControlSetup& setup, std::vector<uint8_t>& data) override;
  void bulkOut(int pipe, const std::vector<uint8_t>& data) override;
  void clearHalt(int pipe) override;

 private:
  void forward(int pipe, int fd);
  std::string devicePath_;
  EmulatedUsbDevice* device_ = nullptr;
  std::mutex mutex_;  // the control connection and the OUT pipes
  int pipes_[4] = {-1, -1, -1, -1};
  int control_ = -1;
  std::thread readers_[2];
  std::atomic<int> onlyRequest_{-1};
};

}  // namespace tavro::test

#endif  // TAVRO_TESTS_USB_WIRE_BRIDGE_H
