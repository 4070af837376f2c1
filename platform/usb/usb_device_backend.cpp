#include "platform/usb/usb_device_backend.h"

#include <cstdio>

#include "platform/usb/usb_backend.h"

namespace tavro::platform::usb {
namespace {

class Pipe : public BackendPipe {
 public:
  explicit Pipe(std::unique_ptr<UsbPipe> pipe) : pipe_(std::move(pipe)) {}
  bool read(void* buffer, uint32_t n, uint32_t* got) override {
    return pipe_->read(buffer, n, got);
  }
  bool readHeld(void* buffer, uint32_t n, uint32_t* got) override {
    return pipe_->readHeld(buffer, n, got);
  }
  bool write(const void* buffer, uint32_t n, uint32_t* written) override {
    return pipe_->write(buffer, n, written);
  }
  void cancel() override { pipe_->cancel(); }
  bool reset() override { return pipe_->reset(); }

 private:
  std::unique_ptr<UsbPipe> pipe_;
};

class Device : public BackendDevice {
 public:
  Device(std::unique_ptr<UsbDevice> device, std::chrono::milliseconds limit)
      : device_(std::move(device)), limit_(limit) {}
  bool vendorRequest(bool in, uint32_t value, uint32_t index, void* data,
                     uint16_t length) override {
    if (value > 0xFFFF || index > 0xFFFF) return false;
    return device_->vendorRequest(in, static_cast<uint16_t>(value), static_cast<uint16_t>(index),
                                  data, length, limit_);
  }
  void cancel() override { device_->cancel(); }
  std::unique_ptr<BackendPipe> openPipe(int number) override {
    auto pipe = device_->openPipe(number);
    if (pipe == nullptr || device_->gone()) return nullptr;
    return std::make_unique<Pipe>(std::move(pipe));
  }
  std::string requestText() const override {
    char text[16];
    std::snprintf(text, sizeof text, "request 0x%02x", device_->request());
    return text;
  }

 private:
  std::unique_ptr<UsbDevice> device_;
  std::chrono::milliseconds limit_;
};

constexpr char kPathPrefix[] = "usb:";

// With no box configured, libusb is not even started: a process that uses only the virtual
// wire gets no USB thread.
class UsbDeviceBackend : public Backend {
 public:
  UsbDeviceBackend(UsbConfig config, std::chrono::milliseconds limit)
      : notes_(std::move(config.problems)),
        usb_(config.devices.empty() ? nullptr : std::make_unique<UsbBackend>(std::move(config))),
        limit_(limit) {
    if (usb_ == nullptr) {
      notes_.push_back("no USB ids configured (TAVRO_USB_IDS, " + configFilePath() + ")");
    } else if (!usb_->available()) {
      notes_.push_back("libusb could not be started");
    }
  }
  const char* name() const override { return "usb"; }
  std::vector<DeviceListing> enumerate() override {
    std::vector<DeviceListing> listings;
    if (usb_ == nullptr) return listings;
    for (auto& itf : usb_->enumerate()) {
      listings.push_back({itf.path, itf.description, itf.isBox, itf.reason});
    }
    return listings;
  }
  std::unique_ptr<BackendDevice> open(const std::string& path, std::string* reason,
                                      bool* busy) override {
    if (busy != nullptr) *busy = false;
    OpenResult result = OpenResult::kAbsent;
    auto device =
        usb_ != nullptr && path.starts_with(kPathPrefix) ? usb_->open(path, &result) : nullptr;
    if (device == nullptr) {
      if (reason != nullptr) *reason = describe(result);
      if (busy != nullptr) *busy = result == OpenResult::kBusy;
      return nullptr;
    }
    return std::make_unique<Device>(std::move(device), limit_);
  }
  bool watchChanges(std::function<void(bool arrived)> changed) override {
    if (usb_ == nullptr) return true;  // nothing configured can arrive
    return usb_->setChangeHandler(std::move(changed));
  }
  std::vector<std::string> notes() override { return notes_; }

 private:
  std::vector<std::string> notes_;
  std::unique_ptr<UsbBackend> usb_;
  std::chrono::milliseconds limit_;
};

}  // namespace

std::unique_ptr<Backend> makeUsbDeviceBackend(UsbConfig config,
                                              std::chrono::milliseconds requestLimit) {
  return std::make_unique<UsbDeviceBackend>(std::move(config), requestLimit);
}

}  // namespace tavro::platform::usb
