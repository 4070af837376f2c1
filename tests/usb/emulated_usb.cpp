#include "usb/emulated_usb.h"

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

namespace tavro::test {

struct UsbTestbed::Impl {
  UMockdevTestbed* testbed = nullptr;
  std::string root;
  int nextDevnum = 2;  // device numbers are unique on the bus, also across replugs
};

namespace {

constexpr size_t kFifoChunk = 4096;  // one page: one slot of the pipe buffer

struct Urb {
  UMockdevIoctlClient* client = nullptr;
  UMockdevIoctlData* urbData = nullptr;
  UMockdevIoctlData* bufData = nullptr;
  unsigned long address = 0;  // the URB's address in the caller
  uint8_t type = 0;
  uint8_t endpoint = 0;
  int pipe = -1;
  int length = 0;
  int status = 0;
  int actual = 0;
  size_t dataOffset = 0;    // 8 for a control URB: the data stage follows the setup
  std::vector<uint8_t> in;  // bytes for the caller's buffer
  uint64_t sequence = 0;
};

void release(Urb& u) {
  if (u.bufData != nullptr) g_object_unref(u.bufData);
  if (u.urbData != nullptr) g_object_unref(u.urbData);
  u.bufData = nullptr;
  u.urbData = nullptr;
}

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

// One plug of the device: its device node, its open files and their URBs.
struct EmulatedUsbDevice::Instance {
  Shared* shared = nullptr;
  int devnum = 0;
  std::string devnode;
  std::string syspath;
  int fifo = -1;
  bool ready = false;  // the node polls writable: a URB can be reaped
  bool removed = false;
  UMockdevIoctlBase* handler = nullptr;
  std::list<Urb> pending;
  std::map<UMockdevIoctlClient*, std::deque<Urb>> completed;
  std::map<unsigned, UMockdevIoctlClient*> claims;
};

struct EmulatedUsbDevice::Shared {
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  UsbDeviceLayout layout;
  UsbDeviceSide* side = nullptr;
  std::string name;
  int bus = 1;
  bool claimedElsewhere = false;
  std::vector<bool> halted;
  std::vector<std::deque<std::vector<uint8_t>>> inQueues;
  std::vector<std::unique_ptr<Instance>> instances;
  Instance* current = nullptr;
  std::vector<LoggedControlTransfer> controls;
  std::vector<int> clearedHalts;
  uint64_t sequence = 0;

  int pipeOf(uint8_t endpoint) const {
    for (size_t i = 0; i < layout.endpoints.size(); ++i) {
      if (layout.endpoints[i].address == endpoint) return static_cast<int>(i);
    }
    return -1;
  }

  // The node polls writable exactly while some URB waits to be reaped: the pipe buffer
  // is full otherwise, so that the host's event loop sleeps.
  void updateReady(Instance& inst) {
    if (inst.fifo < 0) return;
    bool any = false;
    for (const auto& [client, urbs] : inst.completed) any = any || !urbs.empty();
    if (any != inst.ready) {
      uint8_t chunk[kFifoChunk] = {};
      const ssize_t n =
          any ? ::read(inst.fifo, chunk, sizeof chunk) : ::write(inst.fifo, chunk, sizeof chunk);
      if (n == static_cast<ssize_t>(sizeof chunk)) inst.ready = any;
    }
    // Unplugged, with its last URB reaped: nothing can become ready any more, so the node
    // is let go, full, and a file the host still has open on it keeps polling not ready.
    // (The host's close cannot be waited for: umockdev does not report it.)
    if (inst.removed && !inst.ready) {
      ::close(inst.fifo);
      inst.fifo = -1;
    }
  }

  void completeLocked(Instance& inst, Urb&& u, int status) {
    u.status = status;
    inst.completed[u.client].push_back(std::move(u));
    updateReady(inst);
    changed.notify_all();
  }

  // Hands queued IN bytes to waiting reads, and fails the reads of a halted pipe.
  void serveLocked(Instance& inst) {
    for (auto it = inst.pending.begin(); it != inst.pending.end();) {
      const int pipe = it->pipe;
      if (halted[pipe]) {
        Urb u = std::move(*it);
        it = inst.pending.erase(it);
        completeLocked(inst, std::move(u), -EPIPE);
        continue;
      }
      auto& queue = inQueues[pipe];
      if (queue.empty()) {
        ++it;
        continue;
      }
      Urb u = std::move(*it);
      it = inst.pending.erase(it);
      // As many of the queued bytes as the transfer asked for, as a device fills it with
      // full packets; a piece that ends in a short packet ends the transfer.
      const size_t packet = layout.endpoints[static_cast<size_t>(pipe)].maxPacket;
      while (!queue.empty() && u.in.size() < static_cast<size_t>(u.length)) {
        auto& front = queue.front();
        const size_t n = std::min(front.size(), static_cast<size_t>(u.length) - u.in.size());
        u.in.insert(u.in.end(), front.begin(), front.begin() + static_cast<std::ptrdiff_t>(n));
        front.erase(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(n));
        if (!front.empty()) break;
        queue.pop_front();
        if (packet == 0 || u.in.size() % packet != 0) break;
      }
      u.actual = static_cast<int>(u.in.size());
      completeLocked(inst, std::move(u), 0);
    }
  }

  static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* inst = static_cast<Instance*>(user);
    inst->shared->handle(*inst, client);
    return TRUE;
  }

  static void onVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* inst = static_cast<Instance*>(user);
    Shared& s = *inst->shared;
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto it = inst->pending.begin(); it != inst->pending.end();) {
      if (it->client == client) {
        release(*it);
        it = inst->pending.erase(it);
      } else {
        ++it;
      }
    }
    if (auto it = inst->completed.find(client); it != inst->completed.end()) {
      for (auto& u : it->second) release(u);
      inst->completed.erase(it);
    }
    for (auto it = inst->claims.begin(); it != inst->claims.end();) {
      it = it->second == client ? inst->claims.erase(it) : std::next(it);
    }
    s.updateReady(*inst);
    s.changed.notify_all();
  }

  // Reads the 32-bit number the ioctl's argument points to.
  static bool argNumber(UMockdevIoctlClient* client, unsigned& out) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* v = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
    if (v == nullptr) return false;
    std::memcpy(&out, v->data, sizeof out);
    g_object_unref(v);
    return true;
  }

  void handle(Instance& inst, UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    bool gone;
    {
      std::lock_guard<std::mutex> lock(mutex);
      gone = inst.removed;
    }
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) return reap(inst, client);
    if (gone) return umockdev_ioctl_client_complete(client, -1, ENODEV);
    unsigned number = 0;
    switch (request) {
      case USBDEVFS_SUBMITURB:
        return submit(inst, client);
      case USBDEVFS_DISCARDURB:
        return discard(inst, client);
      case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        UMockdevIoctlData* v = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
        if (v == nullptr) return umockdev_ioctl_client_complete(client, -1, EFAULT);
        uint32_t caps = 0;
        umockdev_ioctl_data_update(v, 0, reinterpret_cast<guint8*>(&caps), sizeof caps);
        g_object_unref(v);
        return umockdev_ioctl_client_complete(client, 0, 0);
      }
      case USBDEVFS_CLAIMINTERFACE:
      case USBDEVFS_DISCONNECT_CLAIM: {
        if (!argNumber(client, number)) return umockdev_ioctl_client_complete(client, -1, EFAULT);
        std::lock_guard<std::mutex> lock(mutex);
        if (number != layout.interface) return umockdev_ioctl_client_complete(client, -1, ENOENT);
        auto it = inst.claims.find(number);
        if (claimedElsewhere || (it != inst.claims.end() && it->second != client)) {
          return umockdev_ioctl_client_complete(client, -1, EBUSY);
        }
        inst.claims[number] = client;
        changed.notify_all();
        return umockdev_ioctl_client_complete(client, 0, 0);
      }
      case USBDEVFS_RELEASEINTERFACE: {
        if (!argNumber(client, number)) return umockdev_ioctl_client_complete(client, -1, EFAULT);
        std::lock_guard<std::mutex> lock(mutex);
        auto it = inst.claims.find(number);
        if (it == inst.claims.end() || it->second != client) {
          return umockdev_ioctl_client_complete(client, -1, EINVAL);
        }
        inst.claims.erase(it);
        changed.notify_all();
        return umockdev_ioctl_client_complete(client, 0, 0);
      }
      case USBDEVFS_CLEAR_HALT: {
        if (!argNumber(client, number)) return umockdev_ioctl_client_complete(client, -1, EFAULT);
        int pipe;
        {
          std::lock_guard<std::mutex> lock(mutex);
          pipe = pipeOf(static_cast<uint8_t>(number));
          if (pipe < 0) return umockdev_ioctl_client_complete(client, -1, ENOENT);
          halted[pipe] = false;
          clearedHalts.push_back(pipe);
          changed.notify_all();
        }
        side->clearHalt(pipe);
        return umockdev_ioctl_client_complete(client, 0, 0);
      }
      case USBDEVFS_GETDRIVER:
      case USBDEVFS_IOCTL:
        return umockdev_ioctl_client_complete(client, -1, ENODATA);
      case USBDEVFS_SETINTERFACE:
      case USBDEVFS_SETCONFIGURATION:
      case USBDEVFS_RESET:
        return umockdev_ioctl_client_complete(client, 0, 0);
      default:
        return umockdev_ioctl_client_complete(client, -1, ENOTTY);
    }
  }

  void submit(Instance& inst, UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    Urb u;
    u.client = client;
    u.urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    if (u.urbData == nullptr) return umockdev_ioctl_client_complete(client, -1, EFAULT);
    usbdevfs_urb raw{};
    std::memcpy(&raw, u.urbData->data, sizeof raw);
    u.address = u.urbData->client_addr;
    u.type = raw.type;
    u.endpoint = raw.endpoint;
    u.length = raw.buffer_length;
    if (u.length < 0) {
      release(u);
      return umockdev_ioctl_client_complete(client, -1, EINVAL);
    }
    if (u.length > 0) {
      u.bufData = umockdev_ioctl_data_resolve(u.urbData, offsetof(usbdevfs_urb, buffer),
                                              static_cast<gsize>(u.length), nullptr);
      if (u.bufData == nullptr) {
        release(u);
        return umockdev_ioctl_client_complete(client, -1, EFAULT);
      }
    }
    if (u.type == USBDEVFS_URB_TYPE_CONTROL) return control(inst, client, std::move(u));
    if (u.type != USBDEVFS_URB_TYPE_BULK) {
      release(u);
      return umockdev_ioctl_client_complete(client, -1, EINVAL);
    }

    std::unique_lock<std::mutex> lock(mutex);
    // Removed since the ioctl began: a URB queued now would never be completed.
    if (inst.removed) {
      release(u);
      return umockdev_ioctl_client_complete(client, -1, ENODEV);
    }
    u.pipe = pipeOf(u.endpoint);
    if (u.pipe < 0) {
      release(u);
      return umockdev_ioctl_client_complete(client, -1, ENOENT);
    }
    u.sequence = ++sequence;
    if (halted[u.pipe]) {
      completeLocked(inst, std::move(u), -EPIPE);
    } else if (u.endpoint & 0x80) {
      inst.pending.push_back(std::move(u));
      serveLocked(inst);
      changed.notify_all();
    } else {
      std::vector<uint8_t> out(u.bufData != nullptr ? u.bufData->data : nullptr,
                               u.bufData != nullptr ? u.bufData->data + u.length : nullptr);
      const int pipe = u.pipe;
      u.actual = u.length;
      completeLocked(inst, std::move(u), 0);
      lock.unlock();
      side->bulkOut(pipe, out);
    }
    umockdev_ioctl_client_complete(client, 0, 0);
  }

  void control(Instance& inst, UMockdevIoctlClient* client, Urb u) {
    if (u.length < 8 || u.bufData == nullptr) {
      release(u);
      return umockdev_ioctl_client_complete(client, -1, EINVAL);
    }
    const uint8_t* b = u.bufData->data;
    LoggedControlTransfer log;
    log.setup.requestType = b[0];
    log.setup.request = b[1];
    log.setup.value = static_cast<uint16_t>(b[2] | b[3] << 8);
    log.setup.index = static_cast<uint16_t>(b[4] | b[5] << 8);
    log.setup.length = static_cast<uint16_t>(b[6] | b[7] << 8);
    const bool in = (log.setup.requestType & 0x80) != 0;
    const size_t length = std::min<size_t>(log.setup.length, static_cast<size_t>(u.length - 8));
    log.data.assign(b + 8, b + 8 + (in ? 0 : length));
    if (in) log.data.resize(length);
    log.accepted = side->control(log.setup, log.data);
    u.dataOffset = 8;
    if (log.accepted) {
      u.actual = static_cast<int>(length);
      if (in) u.in.assign(log.data.begin(), log.data.begin() + static_cast<std::ptrdiff_t>(length));
    }
    std::lock_guard<std::mutex> lock(mutex);
    controls.push_back(log);
    // Removed meanwhile: its node may be gone, and a URB queued now would never be reaped.
    if (inst.removed) {
      release(u);
      return umockdev_ioctl_client_complete(client, -1, ENODEV);
    }
    completeLocked(inst, std::move(u), log.accepted ? 0 : -EPIPE);
    umockdev_ioctl_client_complete(client, 0, 0);
  }

  void discard(Instance& inst, UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    unsigned long address = 0;
    std::memcpy(&address, arg->data, std::min<size_t>(sizeof address, arg->data_len));
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = inst.pending.begin(); it != inst.pending.end(); ++it) {
      if (it->client == client && it->address == address) {
        Urb u = std::move(*it);
        inst.pending.erase(it);
        completeLocked(inst, std::move(u), -ENOENT);
        return umockdev_ioctl_client_complete(client, 0, 0);
      }
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
  }

  void reap(Instance& inst, UMockdevIoctlClient* client) {
    Urb u;
    {
      std::lock_guard<std::mutex> lock(mutex);
      auto it = inst.completed.find(client);
      if (it == inst.completed.end() || it->second.empty()) {
        return umockdev_ioctl_client_complete(client, -1, inst.removed ? ENODEV : EAGAIN);
      }
      u = std::move(it->second.front());
      it->second.pop_front();
      updateReady(inst);
    }
    umockdev_ioctl_data_update(u.urbData, offsetof(usbdevfs_urb, status),
                               reinterpret_cast<guint8*>(&u.status), sizeof u.status);
    umockdev_ioctl_data_update(u.urbData, offsetof(usbdevfs_urb, actual_length),
                               reinterpret_cast<guint8*>(&u.actual), sizeof u.actual);
    if (!u.in.empty() && u.bufData != nullptr) {
      umockdev_ioctl_data_update(u.bufData, u.dataOffset, u.in.data(),
                                 static_cast<gint>(u.in.size()));
    }
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* out = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
    if (out == nullptr) {
      release(u);
      return umockdev_ioctl_client_complete(client, -1, EFAULT);
    }
    umockdev_ioctl_data_set_ptr(out, 0, u.urbData);
    umockdev_ioctl_client_complete(client, 0, 0);
    g_object_unref(out);
    release(u);
  }
};

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
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->current != nullptr) return;
    inst->devnum = bed_.impl().nextDevnum++;
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
  // sysfs attributes end with a newline.
  const std::string bus = std::to_string(shared_->bus) + "\n";
  const std::string devnum = std::to_string(inst->devnum) + "\n";
  const std::string dev =
      "189:" + std::to_string((shared_->bus - 1) * 128 + inst->devnum - 1) + "\n";
  char busText[8];
  char devText[8];
  std::snprintf(busText, sizeof busText, "%03d", shared_->bus);
  std::snprintf(devText, sizeof devText, "%03d", inst->devnum);
  gchar* syspath = umockdev_testbed_add_device(
      tb, "usb", shared_->name.c_str(), nullptr, "busnum", bus.c_str(), "devnum", devnum.c_str(),
      "speed", "480\n", "bConfigurationValue", "1\n", "dev", dev.c_str(), nullptr, "DEVTYPE",
      "usb_device", "DEVNAME", node, "BUSNUM", busText, "DEVNUM", devText, nullptr);
  if (syspath == nullptr) throw std::runtime_error("add_device failed");
  inst->syspath = syspath;
  g_free(syspath);
  std::vector<uint8_t> desc = descriptors(shared_->layout);
  umockdev_testbed_set_attribute_binary(tb, inst->syspath.c_str(), "descriptors", desc.data(),
                                        static_cast<gint>(desc.size()));

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
  // The system is told before the device's entries go.
  UMockdevTestbed* tb = bed_.impl().testbed;
  umockdev_testbed_uevent(tb, inst->syspath.c_str(), "remove");
  umockdev_testbed_remove_device(tb, inst->syspath.c_str());
  // And the socket its node's calls are served on, which stays open otherwise.
  umockdev_testbed_detach_ioctl(tb, inst->devnode.c_str(), nullptr);
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
