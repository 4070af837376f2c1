// The backends in use and the handles on their devices and pipes: the Windows-shaped calls
// of platform.h over whichever backend a device belongs to.
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/usb/config.h"
#include "platform/usb/usb_device_backend.h"
#include "tavro/devices.h"

namespace tavro::platform {
namespace {

using namespace std::chrono_literals;

// The library's device path buffer holds 255 characters and the zero.
constexpr size_t kPathBufferSize = 256;
// How long a USB vendor request may wait for the box, in library time.
constexpr std::chrono::milliseconds kRequestLimit = 2000ms;

// ---- The backend table ----------------------------------------------------------------

struct Table {
  std::vector<std::unique_ptr<Backend>> backends;
};

std::unique_ptr<Backend> makeBackend(const std::string& name) {
  if (name == "wire") return makeWireBackend();
  if (name == "usb") {
    const auto limit = std::chrono::ceil<std::chrono::milliseconds>(realDuration(kRequestLimit));
    return usb::makeUsbDeviceBackend(usb::loadUsbConfig(), std::max(limit, 1ms));
  }
  return makeNullBackend();
}

std::shared_ptr<Table> makeTable() {
  auto table = std::make_shared<Table>();
  table->backends = makeBackends();
  return table;
}

struct Holds {
  std::mutex mutex;
  int count = 0;
  std::shared_ptr<Table> table;
  // The table that open handles still use: while one is open, every open shares it, so
  // that opens of one box share its claim.
  std::weak_ptr<Table> inUse;
};

// Never destroyed: a hold may end while the process exits.
Holds& holds() {
  static Holds& h = *new Holds;
  return h;
}

// The held table, else the one open handles use, else one made for the caller.
std::shared_ptr<Table> tableInUse() {
  Holds& h = holds();
  {
    std::lock_guard<std::mutex> lock(h.mutex);
    if (h.table) return h.table;
    if (auto table = h.inUse.lock()) return table;
  }
  auto made = makeTable();
  std::lock_guard<std::mutex> lock(h.mutex);
  if (h.table) return h.table;
  if (auto table = h.inUse.lock()) return table;  // made meanwhile by another caller
  h.inUse = made;
  return made;
}

// ---- Handles ----------------------------------------------------------------------------

struct OpenHandle {
  std::shared_ptr<Table> table;           // the backends it came from
  std::shared_ptr<BackendDevice> device;  // a device handle
  std::shared_ptr<BackendPipe> pipe;      // a pipe handle
  void cancel() {
    if (device) device->cancel();
    if (pipe) pipe->cancel();
  }
};

// Handles are small numbers of our own: the device or pipe behind one is destroyed only
// when no call is using it any more, so a closed handle can never reach another's.
std::mutex gHandlesMutex;
// Never destroyed: the library's threads may still use their handles while the process
// exits.
std::map<Handle, std::shared_ptr<OpenHandle>>& gHandles =
    *new std::map<Handle, std::shared_ptr<OpenHandle>>;
Handle gNextHandle = 1;

thread_local uint32_t tLastError = 0;

Handle add(std::shared_ptr<OpenHandle> handle) {
  std::lock_guard<std::mutex> lock(gHandlesMutex);
  const Handle h = gNextHandle++;
  gHandles.emplace(h, std::move(handle));
  return h;
}

std::shared_ptr<OpenHandle> lookUp(Handle h) {
  std::lock_guard<std::mutex> lock(gHandlesMutex);
  auto it = gHandles.find(h);
  return it == gHandles.end() ? nullptr : it->second;
}

std::shared_ptr<BackendPipe> pipeOf(Handle h) {
  const auto handle = lookUp(h);
  return handle ? handle->pipe : nullptr;
}

std::shared_ptr<BackendDevice> deviceOf(Handle h) {
  const auto handle = lookUp(h);
  return handle ? handle->device : nullptr;
}

}  // namespace

std::vector<std::unique_ptr<Backend>> makeBackends(const char* value,
                                                   std::vector<std::string>* unknown) {
  if (value == nullptr) value = std::getenv("TAVRO_BACKENDS");
  std::vector<std::unique_ptr<Backend>> backends;
  for (const auto& name : chooseBackends(value, unknown)) backends.push_back(makeBackend(name));
  return backends;
}

BackendHold::BackendHold() {
  Holds& h = holds();
  std::lock_guard<std::mutex> lock(h.mutex);
  if (h.count++ == 0) {
    h.table = h.inUse.lock();
    if (!h.table) h.table = makeTable();
    h.inUse = h.table;
  }
}

BackendHold::~BackendHold() {
  std::shared_ptr<Table> last;
  {
    Holds& h = holds();
    std::lock_guard<std::mutex> lock(h.mutex);
    if (--h.count == 0) last = std::move(h.table);
  }
  // Its watches end here, outside the lock: their threads are joined.
  last.reset();
}

bool watchDeviceChanges(std::function<void(bool arrived)> changed) {
  Holds& h = holds();
  std::lock_guard<std::mutex> lock(h.mutex);
  if (!h.table) return false;
  bool all = true;
  for (auto& backend : h.table->backends) all = backend->watchChanges(changed) && all;
  return all;
}

std::vector<FoundDevice> findDevices() {
  const auto table = tableInUse();
  std::vector<FoundDevice> listed;
  for (auto& backend : table->backends) {
    for (auto& device : backend->enumerate()) listed.push_back({backend->name(), device});
  }
  return listed;
}

namespace {

constexpr const char* kHeldElsewhere = "another program holds it";

// Opens, claims and probes a box as the library does when it connects: whether the library
// could use it, and when not, why.
// A shared box's description says what it stands for: "shared: wire <path> (<description>),
// 2 programs".
std::string sharedDescription(const std::string& sharing) {
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t end; (end = sharing.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(sharing.substr(at, end - at));
  if (lines.size() < 4) return "shared";
  const std::string& count = lines[3];
  return "shared: " + lines[0] + " " + lines[1] + " (" + lines[2] + "), " + count +
         (count == "1" ? " other program" : " other programs");
}

tavro::DeviceState checkBox(Backend& backend, const std::string& path, std::string* reason,
                            std::string* description) {
  bool busy = false;
  const std::unique_ptr<BackendDevice> device = backend.open(path, reason, &busy);
  if (device == nullptr) {
    if (busy) *reason = kHeldElsewhere;
    return busy ? tavro::DeviceState::kBusy : tavro::DeviceState::kFails;
  }
  const Claim claim = device->claim();
  if (claim == Claim::kBusy) {
    const std::string holder = device->holder();
    *reason = holder.empty() ? kHeldElsewhere : std::string(kHeldElsewhere) + ": " + holder;
    return tavro::DeviceState::kBusy;
  }
  if (claim == Claim::kNoAnswer) {
    *reason = "does not answer the claim";
    return tavro::DeviceState::kFails;
  }
  uint8_t answer = 0;
  if (!device->vendorRequest(true, 0, wire::kProbeIndex, &answer, 1)) {
    const std::string how = device->requestText();
    *reason = "does not answer the device probe" + (how.empty() ? "" : " (" + how + ")");
    return tavro::DeviceState::kFails;
  }
  const std::string sharing = device->sharing();
  if (!sharing.empty()) *description = sharedDescription(sharing);
  reason->clear();
  return tavro::DeviceState::kOpens;
}

}  // namespace

struct DeviceInfoSet::Impl {
  std::vector<std::string> paths;  // the boxes' device paths, in the backends' order
};

DeviceInfoSet::DeviceInfoSet(const InterfaceClass& cls) : impl_(std::make_unique<Impl>()) {
  if (std::memcmp(cls.bytes, kBoxInterfaceClass.bytes, sizeof cls.bytes) != 0) return;
  for (auto& listed : findDevices()) {
    if (listed.device.opens) impl_->paths.push_back(listed.device.path);
  }
}

DeviceInfoSet::~DeviceInfoSet() = default;

size_t DeviceInfoSet::count() const {
  return impl_->paths.size();
}

bool DeviceInfoSet::enumInterface(uint32_t index, uint32_t* error) const {
  if (index < impl_->paths.size()) {
    if (error != nullptr) *error = 0;
    return true;
  }
  if (error != nullptr) *error = kErrorNoMoreItems;
  return false;
}

bool DeviceInfoSet::interfaceDetail(uint32_t index, char* buffer, size_t size,
                                    size_t* required) const {
  if (index >= impl_->paths.size()) {
    if (required != nullptr) *required = 0;
    return false;
  }
  const std::string& path = impl_->paths[index];
  const size_t need = path.size() + 1;
  if (required != nullptr) *required = need;
  if (buffer == nullptr || size < need) return false;
  std::memcpy(buffer, path.c_str(), need);
  return true;
}

uint32_t lastError() {
  return tLastError;
}

Handle createFile(const char* path) {
  tLastError = kErrorFileNotFound;
  if (path == nullptr) return kInvalidHandle;
  const size_t length = ::strnlen(path, kPathBufferSize);
  if (length == 0 || length >= kPathBufferSize) return kInvalidHandle;
  const std::string text(path, length);
  const auto table = tableInUse();
  bool heldElsewhere = false;
  for (auto& backend : table->backends) {
    bool busy = false;
    std::unique_ptr<BackendDevice> device = backend->open(text, nullptr, &busy);
    heldElsewhere |= busy;
    if (device == nullptr) continue;
    auto handle = std::make_shared<OpenHandle>();
    handle->table = table;
    handle->device = std::move(device);
    tLastError = 0;
    return add(std::move(handle));
  }
  if (heldElsewhere) tLastError = kErrorSharingViolation;
  return kInvalidHandle;
}

Handle openPipe(Handle device, int number) {
  const auto owner = lookUp(device);
  if (owner == nullptr || owner->device == nullptr || number < 0 || number >= wire::kPipeCount)
    return kInvalidHandle;
  std::unique_ptr<BackendPipe> pipe = owner->device->openPipe(number);
  if (pipe == nullptr) return kInvalidHandle;
  auto handle = std::make_shared<OpenHandle>();
  handle->table = owner->table;
  handle->pipe = std::move(pipe);
  return add(std::move(handle));
}

bool readFile(Handle h, void* buffer, uint32_t n, uint32_t* got) {
  if (got != nullptr) *got = 0;
  const auto pipe = pipeOf(h);
  if (pipe == nullptr || (buffer == nullptr && n > 0)) return false;
  if (n == 0) return true;
  return pipe->read(buffer, n, got);
}

bool readHeld(Handle h, void* buffer, uint32_t n, uint32_t* got) {
  *got = 0;
  const auto pipe = pipeOf(h);
  if (pipe == nullptr || buffer == nullptr) return false;
  if (n == 0) return true;
  return pipe->readHeld(buffer, n, got);
}

bool writeFile(Handle h, const void* buffer, uint32_t n, uint32_t* written) {
  if (written != nullptr) *written = 0;
  const auto pipe = pipeOf(h);
  if (pipe == nullptr || (buffer == nullptr && n > 0)) return false;
  return pipe->write(buffer, n, written);
}

bool pipeHungUp(Handle h) {
  const auto pipe = pipeOf(h);
  return pipe != nullptr && pipe->hungUp();
}

bool deviceIoControl(Handle h, uint32_t code, const VendorRequest* request) {
  switch (code) {
    case kVendorRead:
    case kVendorWrite: {
      const auto device = deviceOf(h);
      if (device == nullptr || request == nullptr) return false;
      if (request->length > wire::kMaxDataStage) return false;
      if (request->length > 0 && request->data == nullptr) return false;
      return device->vendorRequest(code == kVendorRead, request->value, request->index,
                                   request->data, static_cast<uint16_t>(request->length));
    }
    case kPipeReset: {
      const auto pipe = pipeOf(h);
      return pipe != nullptr && pipe->reset();
    }
    default:
      return false;
  }
}

Claim claimDevice(Handle h, Clock::time_point deadline) {
  const auto device = deviceOf(h);
  return device == nullptr ? Claim::kNoAnswer : device->claimUntil(deadline);
}

void closeHandle(Handle h) {
  std::shared_ptr<OpenHandle> handle;
  {
    std::lock_guard<std::mutex> lock(gHandlesMutex);
    auto it = gHandles.find(h);
    if (it == gHandles.end()) return;
    handle = std::move(it->second);
    gHandles.erase(it);
  }
  // Wakes a call still blocked on it; the device or pipe ends when the last call returns.
  handle->cancel();
}

void cancelHandle(Handle h) {
  if (const auto handle = lookUp(h)) handle->cancel();
}

DeviceList checkDevices() {
  DeviceList list;
  std::vector<std::string> unknown;
  chooseBackends(std::getenv("TAVRO_BACKENDS"), &unknown);
  for (const auto& name : unknown) list.notes.push_back("TAVRO_BACKENDS: no backend " + name);
  const auto table = tableInUse();
  for (auto& backend : table->backends) {
    const std::string name = backend->name();
    list.backends.push_back(name);
    for (auto& note : backend->notes()) list.notes.push_back(name + ": " + note);
    for (auto& found : backend->enumerate()) {
      tavro::ListedDevice device{name, found.path, found.description, DeviceState::kNotABox,
                                 found.reason};
      if (found.opens)
        device.state = checkBox(*backend, found.path, &device.reason, &device.description);
      list.devices.push_back(std::move(device));
    }
  }
  return list;
}

}  // namespace tavro::platform
