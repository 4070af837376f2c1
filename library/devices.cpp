// tavro/devices.h: the devices the library finds, with whether it could use each.
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tavro/devices.h"

namespace {

// The list and everything its pointers point to, in one allocation that the caller frees.
struct OwnedDeviceList : tavro_device_list {
  tavro::DeviceList source;
  std::vector<tavro_device> deviceRecords;
  std::vector<const char*> backendTexts;
  std::vector<const char*> noteTexts;
};

std::vector<const char*> texts(const std::vector<std::string>& strings) {
  std::vector<const char*> out;
  out.reserve(strings.size());
  for (const std::string& s : strings) out.push_back(s.c_str());
  return out;
}

}  // namespace

tavro::DeviceList tavro::listDevices() {
  return platform::checkDevices();
}

tavro_device_list* tavro_list_devices(void) {
  try {
    auto owned = std::make_unique<OwnedDeviceList>();
    owned->source = tavro::listDevices();
    for (const tavro::ListedDevice& d : owned->source.devices)
      owned->deviceRecords.push_back({d.backend.c_str(), d.path.c_str(), d.description.c_str(),
                                      static_cast<int>(d.state), d.reason.c_str()});
    owned->backendTexts = texts(owned->source.backends);
    owned->noteTexts = texts(owned->source.notes);
    owned->device_count = owned->deviceRecords.size();
    owned->devices = owned->deviceRecords.data();
    owned->backend_count = owned->backendTexts.size();
    owned->backends = owned->backendTexts.data();
    owned->note_count = owned->noteTexts.size();
    owned->notes = owned->noteTexts.data();
    return owned.release();
  } catch (...) {  // nothing may cross into C
    return nullptr;
  }
}

void tavro_free_device_list(tavro_device_list* list) {
  delete static_cast<OwnedDeviceList*>(list);
}

const char* tavro_device_state_name(int state) {
  switch (state) {
    case TAVRO_DEVICE_OPENS:
    case TAVRO_DEVICE_BUSY:
    case TAVRO_DEVICE_FAILS:
    case TAVRO_DEVICE_NOT_A_BOX:
      return tavro::deviceStateName(static_cast<tavro::DeviceState>(state));
    default:
      return "fails";
  }
}
