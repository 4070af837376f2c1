// The backend table, the backends in use and the devices opened on them.
#include "platform/backend.h"

#include <algorithm>
#include <cstdlib>

#include "platform/lasting.h"
#include "platform/platform.h"
#include "platform/thread_safety.h"
#include "platform/usb/usb_backend.h"
#include "protocol/control.h"
#include "protocol/pipes.h"

namespace tavro::platform {

using namespace std::chrono_literals;

// How long a USB vendor request may wait for the box, in library time.
constexpr std::chrono::milliseconds kRequestLimit = 2000ms;

std::unique_ptr<Backend> makeUsbBackend() {
  const auto limit = std::chrono::ceil<std::chrono::milliseconds>(realDuration(kRequestLimit));
  return std::make_unique<usb::UsbBackend>(usb::loadUsbConfig(), std::max(limit, 1ms));
}

const std::vector<BackendEntry> kBackends = {
    {"wire", makeWireBackend, true},
    {"usb", makeUsbBackend, true},
    {"null", makeNullBackend, false},
};

namespace {

const BackendEntry* entryNamed(std::string_view name) {
  for (const auto& entry : kBackends)
    if (name == entry.name) return &entry;
  return nullptr;
}

struct Table {
  std::vector<std::unique_ptr<Backend>> backends;
};

// A hold that is told of device changes.
struct Listener {
  const BackendHold* hold;
  std::function<void(bool arrived)> changed;
};

struct Holds {
  Mutex mutex;
  int count TAVRO_GUARDED_BY(mutex) = 0;
  std::shared_ptr<Table> table TAVRO_GUARDED_BY(mutex);
  // The held table's backends tell of every change.
  bool watched TAVRO_GUARDED_BY(mutex) = false;
  // Every hold's listener: the backends of the held table tell all of them. Its own lock,
  // held while they are told, so that a hold that ends is told nothing after.
  Mutex listenersMutex;
  std::vector<Listener> listeners TAVRO_GUARDED_BY(listenersMutex);
  // The table that open devices and pipes still use: while one is open, every open shares
  // it, so that opens of one box share its claim.
  std::weak_ptr<Table> inUse TAVRO_GUARDED_BY(mutex);
};

// Never destroyed: a hold may end, and a device close, while the process exits.
Holds& holds() {
  return lasting<Holds>();
}

std::shared_ptr<Table> makeTable() {
  auto table = std::make_shared<Table>();
  table->backends = makeBackends();
  return table;
}

// The held table, else the one open devices use, else one made for the caller.
std::shared_ptr<Table> tableInUse() {
  Holds& h = holds();
  {
    MutexLock lock(h.mutex);
    if (h.table) return h.table;
    if (auto table = h.inUse.lock()) return table;
  }
  auto made = makeTable();
  MutexLock lock(h.mutex);
  if (h.table) return h.table;
  if (auto table = h.inUse.lock()) return table;  // made meanwhile by another caller
  h.inUse = made;
  return made;
}

// An open device or pipe keeps the backends it came from.
template <typename T>
std::shared_ptr<T> keepingTable(std::shared_ptr<Table> table, std::shared_ptr<T> object) {
  if (object == nullptr) return nullptr;
  struct Kept {
    std::shared_ptr<Table> table;
    std::shared_ptr<T> object;  // ends before the backends
  };
  auto kept = std::make_shared<Kept>(Kept{std::move(table), object});
  return std::shared_ptr<T>(kept, object.get());
}

constexpr const char* kHeldElsewhere = "another program holds it";

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

// Opens, claims and probes a box as the library does when it connects: whether the library
// could use it, and when not, why.
DeviceState checkBox(Backend& backend, const std::string& path, std::string* reason,
                     std::string* description) {
  Opened opened = backend.open(path);
  if (opened.device == nullptr) {
    const bool busy = opened.state == DeviceState::kBusy;
    *reason = busy ? kHeldElsewhere : opened.reason;
    return busy ? DeviceState::kBusy : DeviceState::kFails;
  }
  BackendDevice& device = *opened.device;
  const Claim claim = device.claim();
  if (claim == Claim::kBusy) {
    const std::string holder = device.holder();
    *reason = holder.empty() ? kHeldElsewhere : std::string(kHeldElsewhere) + ": " + holder;
    return DeviceState::kBusy;
  }
  if (claim == Claim::kNoAnswer) {
    *reason = "does not answer the claim";
    return DeviceState::kFails;
  }
  uint8_t answer = 0;
  if (!device.vendorRequest(true, 0, kProbeIndex, &answer, 1)) {
    const std::string how = device.requestText();
    *reason = "does not answer the device probe" + (how.empty() ? "" : " (" + how + ")");
    return DeviceState::kFails;
  }
  const std::string sharing = device.sharing();
  if (!sharing.empty()) *description = sharedDescription(sharing);
  reason->clear();
  return DeviceState::kOpens;
}

}  // namespace

std::vector<std::string> chooseBackends(const char* value, std::vector<std::string>* unknown) {
  std::vector<std::string> chosen;
  if (value == nullptr || *value == '\0') {
    for (const auto& entry : kBackends)
      if (entry.byDefault) chosen.emplace_back(entry.name);
    return chosen;
  }
  std::vector<std::string> named;
  std::string_view text(value);
  while (true) {
    const auto comma = text.find(',');
    std::string_view item = text.substr(0, comma);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
    if (!item.empty()) {
      if (entryNamed(item) != nullptr) {
        named.emplace_back(item);
      } else if (unknown != nullptr) {
        unknown->emplace_back(item);
      }
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  auto isNamed = [&](const char* name) {
    return std::find(named.begin(), named.end(), name) != named.end();
  };
  for (const auto& entry : kBackends)
    if (entry.byDefault && isNamed(entry.name)) chosen.emplace_back(entry.name);
  if (chosen.empty()) {
    for (const auto& entry : kBackends)
      if (!entry.byDefault && isNamed(entry.name)) chosen.emplace_back(entry.name);
  }
  return chosen;
}

std::vector<std::unique_ptr<Backend>> makeBackends(const char* value,
                                                   std::vector<std::string>* unknown) {
  if (value == nullptr) value = std::getenv("TAVRO_BACKENDS");
  std::vector<std::unique_ptr<Backend>> backends;
  for (const auto& name : chooseBackends(value, unknown))
    backends.push_back(entryNamed(name)->make());
  return backends;
}

void tellDeviceChange(bool arrived) {
  Holds& h = holds();
  MutexLock told(h.listenersMutex);
  for (const Listener& l : h.listeners) l.changed(arrived);
}

BackendHold::BackendHold() {
  Holds& h = holds();
  MutexLock lock(h.mutex);
  if (h.count++ == 0) {
    h.table = h.inUse.lock();
    if (!h.table) h.table = makeTable();
    h.inUse = h.table;
    // One watch per backend for every hold: each change is told to each listener.
    bool all = true;
    for (auto& backend : h.table->backends) all = backend->watchChanges(tellDeviceChange) && all;
    h.watched = all;
  }
}

BackendHold::~BackendHold() {
  Holds& h = holds();
  {
    MutexLock lock(h.listenersMutex);
    std::erase_if(h.listeners, [&](const Listener& l) { return l.hold == this; });
  }
  std::shared_ptr<Table> last;
  {
    MutexLock lock(h.mutex);
    if (--h.count == 0) {
      last = std::move(h.table);
      h.watched = false;
    }
  }
  // Its watches end here, outside the lock: their threads are joined.
  last.reset();
}

bool BackendHold::watchChanges(std::function<void(bool arrived)> changed) {
  Holds& h = holds();
  {
    MutexLock lock(h.listenersMutex);
    h.listeners.push_back({this, std::move(changed)});
  }
  MutexLock lock(h.mutex);
  return h.watched;
}

bool devicePathForm(const std::string& path) {
  if (path.empty() || path.size() > 255) return false;
  if (path.starts_with("usb:")) return path.size() > 4;
  return path.front() == '/' && path.find(wire::kPipeSeparator) == std::string::npos;
}

std::vector<std::string> boxPaths() {
  const auto table = tableInUse();
  std::vector<std::string> paths;
  for (auto& backend : table->backends) {
    for (auto& device : backend->enumerate())
      if (device.opens) paths.push_back(device.path);
  }
  return paths;
}

Opened openDevice(const std::string& path) {
  const auto table = tableInUse();
  Opened result{nullptr, DeviceState::kFails, "no backend has it"};
  for (auto& backend : table->backends) {
    Opened opened = backend->open(path);
    if (opened.device != nullptr) {
      opened.device = keepingTable(table, std::move(opened.device));
      return opened;
    }
    if (opened.state == DeviceState::kBusy) result = std::move(opened);
  }
  return result;
}

std::shared_ptr<BackendPipe> openPipe(BackendDevice& device, int number) {
  if (number < 0 || number >= kPipeCount) return nullptr;
  // The device keeps its table in use: this is the same one.
  std::shared_ptr<BackendPipe> pipe = device.openPipe(number);
  return keepingTable(tableInUse(), std::move(pipe));
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
      ListedDevice device{name, found.path, found.description, DeviceState::kNotABox, found.reason};
      if (found.opens)
        device.state = checkBox(*backend, found.path, &device.reason, &device.description);
      list.devices.push_back(std::move(device));
    }
  }
  return list;
}

}  // namespace tavro::platform
