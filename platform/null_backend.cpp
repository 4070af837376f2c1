// The "null" backend: no devices. A process that names it alone finds no box anywhere.
#include "platform/backend.h"

namespace tavro::platform {
namespace {

class NullBackend : public Backend {
 public:
  const char* name() const override { return "null"; }
  std::vector<DeviceListing> enumerate() override { return {}; }
  Opened open(const std::string&) override {
    return {nullptr, DeviceState::kFails, "no devices on the null backend"};
  }
  // Nothing ever comes or goes.
  bool watchChanges(std::function<void(bool)>) override { return true; }
};

}  // namespace

std::unique_ptr<Backend> makeNullBackend() {
  return std::make_unique<NullBackend>();
}

}  // namespace tavro::platform
