#include "platform/usb/emulated_usb.h"

#include <fcntl.h>
#include <glib-object.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <deque>
#include <filesystem>
#include <list>
#include <map>
#include <stdexcept>
#include <utility>

#include "platform/usb/usbfs_device.h"

namespace tavro::test {

struct UsbTestbed::Impl {
  UMockdevTestbed* testbed = nullptr;
  std::string root;
  int nextDevnum = 2;  // device numbers are unique on the bus, also across replugs
};

namespace {

std::vector<uint8_t> descriptors(const UsbDeviceLayout& layout) {
  std::vector<uint8_t> d = {18,
                            1,
                            0x00,
                            0x02,
                            0,
                            0,
                            0,
                            64,
                            static_cast<uint8_t>(layout.vendor),
                            static_cast<uint8_t>(layout.vendor >> 8),
                            static_cast<uint8_t>(layout.product),
                            static_cast<uint8_t>(layout.product >> 8),
                            0x00,
                            0x01,
                            0,
                            0,
                            0,
                            1};
  const size_t total = 9 + 9 + 7 * layout.endpoints.size();
  const std::vector<uint8_t> config = {
      9, 2, static_cast<uint8_t>(total), static_cast<uint8_t>(total >> 8), 1, 1, 0, 0x80, 50};
  d.insert(d.end(), config.begin(), config.end());
  const std::vector<uint8_t> itf = {
      9, 4, layout.interface, 0, static_cast<uint8_t>(layout.endpoints.size()), 0xFF, 0, 0, 0};
  d.insert(d.end(), itf.begin(), itf.end());
  for (const auto& e : layout.endpoints) {
    const std::vector<uint8_t> ep = {7,
                                     5,
                                     e.address,
                                     e.attributes,
                                     static_cast<uint8_t>(e.maxPacket),
                                     static_cast<uint8_t>(e.maxPacket >> 8),
                                     0};
    d.insert(d.end(), ep.begin(), ep.end());
  }
  return d;
}

// Removes the folders of testbeds whose process was killed before it could.
void removeStaleTestbeds() {
  namespace fs = std::filesystem;
  std::error_code ec;
  const auto now = fs::file_time_type::clock::now();
  for (const auto& entry : fs::directory_iterator("/tmp", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("umockdev.", 0) != 0) continue;
    struct stat st {};
    if (::lstat(entry.path().c_str(), &st) != 0 || st.st_uid != ::getuid()) continue;
    const auto age = now - fs::last_write_time(entry.path(), ec);
    if (!ec && age > std::chrono::minutes(30)) fs::remove_all(entry.path(), ec);
  }
}

}  // namespace

EmulatedUsbDevice::EmulatedUsbDevice(UsbTestbed& bed, std::string name, int bus,
                                     UsbDeviceLayout layout, UsbDeviceSide* side)
    : bed_(bed), shared_(std::make_shared<Shared>()) {
  shared_->layout = std::move(layout);
  shared_->side = side;
  shared_->name = std::move(name);
  shared_->bus = bus;
  shared_->halted.assign(shared_->layout.endpoints.size(), false);
  shared_->inQueues.resize(shared_->layout.endpoints.size());
  plug();
}

// The testbed disconnects and releases the instances.
EmulatedUsbDevice::~EmulatedUsbDevice() = default;

void EmulatedUsbDevice::plug() {
  UMockdevTestbed* tb = bed_.impl().testbed;
  auto inst = std::make_unique<Instance>();
  inst->shared = shared_.get();
  std::vector<Instance*> gone;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->current != nullptr) return;
    inst->devnum = bed_.impl().nextDevnum++;
    for (auto& old : shared_->instances) {
      if (old->removed && old->attached) gone.push_back(old.get());
    }
  }
  // The nodes of the earlier plugs go now, long after the system was told of the removal.
  for (Instance* old : gone) {
    umockdev_testbed_detach_ioctl(tb, old->devnode.c_str(), nullptr);
    ::unlink((bed_.impl().root + old->devnode).c_str());
    old->attached = false;
  }
  char node[64];
  std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", shared_->bus, inst->devnum);
  inst->devnode = node;
  inst->handler = umockdev_ioctl_base_new();
  g_signal_connect(inst->handler, "handle-ioctl", G_CALLBACK(Shared::onIoctl), inst.get());
  g_signal_connect(inst->handler, "client-vanished", G_CALLBACK(Shared::onVanished), inst.get());
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(tb, node, inst->handler, &error)) {
    const std::string why = error != nullptr ? error->message : "?";
    g_clear_error(&error);
    throw std::runtime_error("attach_ioctl: " + why);
  }
  inst->attached = true;
  // sysfs attributes end with a newline.
  const std::string bus = std::to_string(shared_->bus) + "\n";
  const std::string devnum = std::to_string(inst->devnum) + "\n";
  const std::string dev =
      "189:" + std::to_string((shared_->bus - 1) * 128 + inst->devnum - 1) + "\n";
  char busText[8];
  char devText[8];
  std::snprintf(busText, sizeof busText, "%03d", shared_->bus);
  std::snprintf(devText, sizeof devText, "%03d", inst->devnum);
  // Adding a device tells the system of it at once, before its node and descriptors are
  // there: a host that opened it then met no node, and the preload, on every failed open
  // of a device node, leaves a socket open (two descriptors, its end and the server's).
  // So the device is added with no address, which that first "add" gives no host, and
  // told of once it is complete.
  gchar* syspath =
      umockdev_testbed_add_device(tb, "usb", shared_->name.c_str(), nullptr, nullptr, nullptr);
  if (syspath == nullptr) throw std::runtime_error("add_device failed");
  inst->syspath = syspath;
  g_free(syspath);
  const char* path = inst->syspath.c_str();
  for (const auto& [name, value] : {std::pair<const char*, std::string>{"busnum", bus},
                                    {"devnum", devnum},
                                    {"speed", "480\n"},
                                    {"bConfigurationValue", "1\n"},
                                    {"dev", dev}})
    umockdev_testbed_set_attribute(tb, path, name, value.c_str());
  std::vector<uint8_t> desc = descriptors(shared_->layout);
  umockdev_testbed_set_attribute_binary(tb, path, "descriptors", desc.data(),
                                        static_cast<gint>(desc.size()));
  umockdev_testbed_set_property(tb, path, "DEVTYPE", "usb_device");
  umockdev_testbed_set_property(tb, path, "DEVNAME", node);
  umockdev_testbed_set_property(tb, path, "BUSNUM", busText);
  umockdev_testbed_set_property(tb, path, "DEVNUM", devText);

  // A plain file polls ready all the time: make the node a pipe that is kept full.
  const std::string fifo = bed_.impl().root + node;
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(fifo).parent_path(), ec);
  ::unlink(fifo.c_str());
  if (::mkfifo(fifo.c_str(), 0666) != 0) {
    throw std::runtime_error("mkfifo " + fifo + ": " + std::strerror(errno));
  }
  inst->fifo = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (inst->fifo < 0) throw std::runtime_error("open " + fifo);
  uint8_t chunk[kFifoChunk] = {};
  while (::write(inst->fifo, chunk, sizeof chunk) == static_cast<ssize_t>(sizeof chunk)) {
  }
  const std::string added = inst->syspath;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->current = inst.get();
    shared_->instances.push_back(std::move(inst));
    shared_->changed.notify_all();
  }
  // Told once the device is complete, node and all.
  umockdev_testbed_uevent(tb, added.c_str(), "add");
}

void EmulatedUsbDevice::unplug() {
  Instance* inst;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    inst = shared_->current;
    if (inst == nullptr) return;
    shared_->current = nullptr;
    inst->removed = true;
    for (auto& u : inst->pending) {
      u.status = -ESHUTDOWN;
      inst->completed[u.client].push_back(std::move(u));
    }
    inst->pending.clear();
    inst->claims.clear();
    for (auto& q : shared_->inQueues) q.clear();
    std::fill(shared_->halted.begin(), shared_->halted.end(), false);
    shared_->updateReady(*inst);
    shared_->changed.notify_all();
  }
  // The system is told before the device's entries go. A host that has not yet taken the
  // removal in may still open the node: it stays, its calls failing as the device's do,
  // until the next plug, since the preload leaves a socket open for every failed open of a
  // device node.
  UMockdevTestbed* tb = bed_.impl().testbed;
  umockdev_testbed_uevent(tb, inst->syspath.c_str(), "remove");
  umockdev_testbed_remove_device(tb, inst->syspath.c_str());
  const std::string fifo = bed_.impl().root + inst->devnode;
  if (::access(fifo.c_str(), F_OK) != 0) ::mkfifo(fifo.c_str(), 0666);
}

bool EmulatedUsbDevice::plugged() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->current != nullptr;
}

void EmulatedUsbDevice::sendIn(int pipe, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (pipe < 0 || pipe >= static_cast<int>(shared_->inQueues.size()) || bytes.empty()) return;
  shared_->inQueues[pipe].push_back(bytes);
  if (shared_->current != nullptr) shared_->serveLocked(*shared_->current);
}

void EmulatedUsbDevice::halt(int pipe) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (pipe < 0 || pipe >= static_cast<int>(shared_->halted.size())) return;
  shared_->halted[pipe] = true;
  if (shared_->current != nullptr) shared_->serveLocked(*shared_->current);
}

void EmulatedUsbDevice::setClaimedElsewhere(bool claimed) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->claimedElsewhere = claimed;
}

std::vector<LoggedControlTransfer> EmulatedUsbDevice::controlTransfers() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->controls;
}

std::vector<int> EmulatedUsbDevice::clearedHalts() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->clearedHalts;
}

size_t EmulatedUsbDevice::pendingReads(int pipe) const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (shared_->current == nullptr) return 0;
  return static_cast<size_t>(std::count_if(shared_->current->pending.begin(),
                                           shared_->current->pending.end(),
                                           [&](const Urb& u) { return u.pipe == pipe; }));
}

bool EmulatedUsbDevice::waitForPendingReads(int pipe, size_t n,
                                            std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  return shared_->changed.wait_for(lock, timeout, [&] {
    if (shared_->current == nullptr) return false;
    return static_cast<size_t>(std::count_if(shared_->current->pending.begin(),
                                             shared_->current->pending.end(),
                                             [&](const Urb& u) { return u.pipe == pipe; })) >= n;
  });
}

bool EmulatedUsbDevice::claimed() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->current != nullptr && !shared_->current->claims.empty();
}

UsbTestbed::UsbTestbed() : impl_(std::make_unique<Impl>()) {
  if (std::getenv("TAVRO_UMOCKDEV_PRELOADED") == nullptr) {
    throw std::runtime_error("the umockdev preload is not loaded");
  }
  removeStaleTestbeds();
  impl_->testbed = umockdev_testbed_new();
  gchar* root = umockdev_testbed_get_root_dir(impl_->testbed);
  impl_->root = root;
  g_free(root);
}

UsbTestbed::~UsbTestbed() {
  for (auto& d : devices_) {
    for (auto& inst : d->shared_->instances) {
      g_signal_handlers_disconnect_by_data(inst->handler, inst.get());
    }
  }
  g_object_unref(impl_->testbed);
  for (auto& d : devices_) {
    std::lock_guard<std::mutex> lock(d->shared_->mutex);
    for (auto& inst : d->shared_->instances) {
      for (auto& u : inst->pending) release(u);
      for (auto& [client, urbs] : inst->completed) {
        for (auto& u : urbs) release(u);
      }
      inst->pending.clear();
      inst->completed.clear();
      if (inst->fifo >= 0) ::close(inst->fifo);
      inst->fifo = -1;
      g_object_unref(inst->handler);
    }
  }
  devices_.clear();
}

EmulatedUsbDevice& UsbTestbed::add(int port, UsbDeviceLayout layout, UsbDeviceSide* side) {
  devices_.push_back(std::unique_ptr<EmulatedUsbDevice>(
      new EmulatedUsbDevice(*this, "1-" + std::to_string(port), 1, std::move(layout), side)));
  return *devices_.back();
}

}  // namespace tavro::test
