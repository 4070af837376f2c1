#include "platform/usb/usb_device_backend.h"

#include "platform/usb/usb_backend.h"

namespace tavro::platform::usb {
namespace {

class Pipe : public BackendPipe {
 public:
  explicit Pipe(std::unique_ptr<UsbPipe> pipe) : pipe_(std::move(pipe)) {}
  bool read(void* buffer, uint32_t n, uint32_t* got) override {
    return pipe_->read(buffer, n, got);
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
  bool vendorRequest(bool in, uint16_t value, uint16_t index, void* data,
                     uint16_t length) override {
    return device_->vendorRequest(in, value, index, data, length, limit_);
  }
  void cancel() override { device_->cancel(); }
  std::unique_ptr<BackendPipe> openPipe(int number) override {
    auto pipe = device_->openPipe(number);
    if (pipe == nullptr || device_->gone()) return nullptr;
    return std::make_unique<Pipe>(std::move(pipe));
  }

 private:
  std::unique_ptr<UsbDevice> device_;
  std::chrono::milliseconds limit_;
};

class UsbDeviceBackend : public Backend {
 public:
  UsbDeviceBackend(UsbConfig config, std::chrono::milliseconds limit)
      : usb_(std::move(config)), limit_(limit) {}
  const char* name() const override { return "usb"; }
  std::vector<DeviceListing> enumerate() override {
    std::vector<DeviceListing> listings;
    for (auto& itf : usb_.enumerate()) {
      listings.push_back({itf.path, itf.description, itf.isBox, itf.reason});
    }
    return listings;
  }
  std::unique_ptr<BackendDevice> open(const std::string& path, std::string* reason) override {
    OpenResult result = OpenResult::kFailed;
    auto device = usb_.open(path, &result);
    if (device == nullptr) {
      if (reason != nullptr) *reason = describe(result);
      return nullptr;
    }
    return std::make_unique<Device>(std::move(device), limit_);
  }
  bool watchChanges(std::function<void()> changed) override {
    return usb_.setChangeHandler(std::move(changed));
  }

 private:
  UsbBackend usb_;
  std::chrono::milliseconds limit_;
};

}  // namespace

std::unique_ptr<Backend> makeUsbDeviceBackend(UsbConfig config,
                                              std::chrono::milliseconds requestLimit) {
  return std::make_unique<UsbDeviceBackend>(std::move(config), requestLimit);
}

}  // namespace tavro::platform::usb
