// The usbfs calls of an emulated device, served: the URBs a host submits, reaps and discards,
// the control requests and the claims, on each plug of the device.
#ifndef TAVRO_TESTS_USB_USBFS_DEVICE_H
#define TAVRO_TESTS_USB_USBFS_DEVICE_H

#include <glib-object.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <mutex>

#include "platform/usb/emulated_usb.h"

namespace tavro::test {

namespace usbfs {

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

inline void release(Urb& u) {
  if (u.bufData != nullptr) g_object_unref(u.bufData);
  if (u.urbData != nullptr) g_object_unref(u.urbData);
  u.bufData = nullptr;
  u.urbData = nullptr;
}

}  // namespace usbfs

using usbfs::kFifoChunk;
using usbfs::release;
using usbfs::Urb;

// One plug of the device: its device node, its open files and their URBs.
struct EmulatedUsbDevice::Instance {
  Shared* shared = nullptr;
  int devnum = 0;
  std::string devnode;
  std::string syspath;
  int fifo = -1;
  bool ready = false;  // the node polls writable: a URB can be reaped
  bool removed = false;
  bool attached = false;  // its node's calls are served (also a while after the removal)
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

}  // namespace tavro::test

#endif  // TAVRO_TESTS_USB_USBFS_DEVICE_H
