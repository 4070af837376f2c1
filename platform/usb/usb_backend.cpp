#include "platform/usb/usb_backend.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <thread>

#include "platform/thread_safety.h"

namespace tavro::platform::usb {

// The process's USB context and the thread that completes its transfers and hotplug
// events. Shared by the backend and every open session, so that it outlives them all.
struct Context {
  libusb_context* ctx = nullptr;
  std::atomic<int> stop{0};
  std::thread events;
  Mutex handlerMutex;
  std::function<void(bool arrived)> changeHandler TAVRO_GUARDED_BY(handlerMutex);
  libusb_hotplug_callback_handle hotplug = 0;
  bool hotplugRegistered = false;
  UsbConfig config;

  Mutex sessionsMutex;
  std::map<std::string, std::weak_ptr<Session>> sessions TAVRO_GUARDED_BY(sessionsMutex);

  ~Context() {
    if (ctx == nullptr) return;
    if (hotplugRegistered) libusb_hotplug_deregister_callback(ctx, hotplug);
    stop.store(1);
    libusb_interrupt_event_handler(ctx);
    if (events.joinable()) events.join();
    libusb_exit(ctx);
  }
};

// One claim of a box's interface.
struct Session {
  std::shared_ptr<Context> context;
  libusb_device* device = nullptr;
  libusb_device_handle* handle = nullptr;
  std::string path;
  DeviceIdentity identity;
  std::array<Endpoint, kPipeCount> endpoints{};
  std::atomic<bool> gone{false};

  ~Session() {
    if (handle != nullptr) {
      libusb_release_interface(handle, identity.interface);
      libusb_close(handle);
    }
    if (device != nullptr) libusb_unref_device(device);
  }
};

namespace {

constexpr const char* kCannotOpen = "cannot be opened";
// A bus cannot tell what a device holds: a read of what is held waits this long (in
// milliseconds) for it. A box that streams at the line's rate sends a packet of 64 bytes
// every 8 ms: a read of what is held gets less than a frame of what it sends meanwhile.
constexpr unsigned kHeldWaitMs = 20;

std::string hex4(uint16_t v) {
  char text[5];
  std::snprintf(text, sizeof text, "%04x", v);
  return text;
}

// The box's pipes on the interface `id` names; the empty text when they are all there, else
// why not.
std::string findEndpoints(libusb_device* dev, const DeviceIdentity& id,
                          std::array<Endpoint, kPipeCount>& out) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(dev, &config) != 0 || config == nullptr) {
    return "no active configuration";
  }
  std::string reason = findBoxEndpoints(*config, id, out);
  libusb_free_config_descriptor(config);
  return reason;
}

// The end of one transfer, which its submitter waits for; cancel() from another thread makes
// it come at once.
struct Completion {
  Mutex mutex;
  std::condition_variable done;
  bool completed TAVRO_GUARDED_BY(mutex) = false;
};

void LIBUSB_CALL transferDone(libusb_transfer* t) {
  auto* completion = static_cast<Completion*>(t->user_data);
  MutexLock lock(completion->mutex);
  completion->completed = true;
  completion->done.notify_all();
}

// What one handle (a pipe or a control channel) needs to cancel its transfers.
struct Canceller {
  Mutex mutex;
  bool cancelled TAVRO_GUARDED_BY(mutex) = false;
  libusb_transfer* inFlight TAVRO_GUARDED_BY(mutex) = nullptr;

  void cancel() {
    MutexLock lock(mutex);
    cancelled = true;
    if (inFlight != nullptr) libusb_cancel_transfer(inFlight);
  }
};

// Submits t and waits for it. The transfer's status, or LIBUSB_TRANSFER_CANCELLED when
// the handle was cancelled before it could start.
libusb_transfer_status run(Session& s, Canceller& c, libusb_transfer* t) {
  Completion completion;
  t->callback = transferDone;
  t->user_data = &completion;
  {
    MutexLock lock(c.mutex);
    if (c.cancelled) return LIBUSB_TRANSFER_CANCELLED;
    const int r = libusb_submit_transfer(t);
    if (r != 0) {
      if (r == LIBUSB_ERROR_NO_DEVICE) s.gone.store(true);
      return r == LIBUSB_ERROR_NO_DEVICE ? LIBUSB_TRANSFER_NO_DEVICE : LIBUSB_TRANSFER_ERROR;
    }
    c.inFlight = t;
  }
  {
    MutexLock lock(completion.mutex);
    completion.done.wait(lock.native(),
                         [&]() TAVRO_REQUIRES(completion.mutex) { return completion.completed; });
  }
  {
    MutexLock lock(c.mutex);
    c.inFlight = nullptr;
  }
  if (t->status == LIBUSB_TRANSFER_NO_DEVICE) s.gone.store(true);
  return t->status;
}

struct TransferPtr {
  libusb_transfer* t = libusb_alloc_transfer(0);
  ~TransferPtr() { libusb_free_transfer(t); }
};

int LIBUSB_CALL hotplugEvent(libusb_context*, libusb_device* dev, libusb_hotplug_event event,
                             void* user) {
  auto* context = static_cast<Context*>(user);
  libusb_device_descriptor desc{};
  if (libusb_get_device_descriptor(dev, &desc) != 0) return 0;
  if (context->config.find(desc.idVendor, desc.idProduct) == nullptr) return 0;
  MutexLock lock(context->handlerMutex);
  if (context->changeHandler) context->changeHandler(event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
  return 0;
}

}  // namespace

// ---- Pipes ----------------------------------------------------------------------------

struct UsbPipe::State {
  Canceller canceller;
};

UsbPipe::UsbPipe(std::shared_ptr<Session> session, int number)
    : session_(std::move(session)), number_(number), state_(std::make_unique<State>()) {}

UsbPipe::~UsbPipe() = default;

bool UsbPipe::deviceToHost() const {
  return kPipeIn[number_];
}

bool UsbPipe::read(void* buffer, uint32_t n, uint32_t* got) {
  if (got != nullptr) *got = 0;
  if (!deviceToHost() || (buffer == nullptr && n > 0)) return false;
  if (n == 0) return true;
  const Endpoint& ep = session_->endpoints[number_];
  auto* bytes = static_cast<uint8_t*>(buffer);
  uint32_t total = 0;
  while (total < n) {
    // A record is one packet; the stream is read until n bytes have come.
    const uint32_t want = number_ == kAudioInPipe ? n - total : std::min<uint32_t>(n, ep.maxPacket);
    TransferPtr transfer;
    if (transfer.t == nullptr) return false;
    libusb_fill_bulk_transfer(transfer.t, session_->handle, ep.address, bytes + total,
                              static_cast<int>(want), nullptr, nullptr, 0);
    if (run(*session_, state_->canceller, transfer.t) != LIBUSB_TRANSFER_COMPLETED) return false;
    total += static_cast<uint32_t>(transfer.t->actual_length);
    if (got != nullptr) *got = total;
    if (number_ != kAudioInPipe) return true;
  }
  return true;
}

bool UsbPipe::readHeld(void* buffer, uint32_t n, uint32_t* got) {
  *got = 0;
  if (!deviceToHost() || buffer == nullptr) return false;
  if (n == 0) return true;
  TransferPtr transfer;
  if (transfer.t == nullptr) return false;
  libusb_fill_bulk_transfer(transfer.t, session_->handle, session_->endpoints[number_].address,
                            static_cast<unsigned char*>(buffer), static_cast<int>(n), nullptr,
                            nullptr, kHeldWaitMs);
  const auto status = run(*session_, state_->canceller, transfer.t);
  if (status != LIBUSB_TRANSFER_COMPLETED && status != LIBUSB_TRANSFER_TIMED_OUT) return false;
  *got = static_cast<uint32_t>(transfer.t->actual_length);
  return true;
}

bool UsbPipe::write(const void* buffer, uint32_t n, uint32_t* written) {
  if (written != nullptr) *written = 0;
  if (deviceToHost() || (buffer == nullptr && n > 0)) return false;
  TransferPtr transfer;
  if (transfer.t == nullptr) return false;
  libusb_fill_bulk_transfer(transfer.t, session_->handle, session_->endpoints[number_].address,
                            static_cast<unsigned char*>(const_cast<void*>(buffer)),
                            static_cast<int>(n), nullptr, nullptr, 0);
  const auto status = run(*session_, state_->canceller, transfer.t);
  if (written != nullptr) *written = static_cast<uint32_t>(transfer.t->actual_length);
  return status == LIBUSB_TRANSFER_COMPLETED &&
         static_cast<uint32_t>(transfer.t->actual_length) == n;
}

void UsbPipe::cancel() {
  state_->canceller.cancel();
}

bool UsbPipe::reset() {
  const int r = libusb_clear_halt(session_->handle, session_->endpoints[number_].address);
  if (r == LIBUSB_ERROR_NO_DEVICE) session_->gone.store(true);
  return r == 0;
}

// ---- Devices --------------------------------------------------------------------------

struct UsbDevice::State {
  Canceller canceller;
};

UsbDevice::UsbDevice(std::shared_ptr<Session> session, std::chrono::milliseconds limit)
    : session_(std::move(session)), state_(std::make_unique<State>()), limit_(limit) {}

UsbDevice::~UsbDevice() {
  std::shared_ptr<Context> context = session_->context;
  session_.reset();
  // Forget a session that no open uses any more.
  MutexLock lock(context->sessionsMutex);
  for (auto it = context->sessions.begin(); it != context->sessions.end();) {
    it = it->second.expired() ? context->sessions.erase(it) : std::next(it);
  }
}

std::string UsbDevice::requestText() const {
  char text[16];
  std::snprintf(text, sizeof text, "request 0x%02x", session_->identity.request);
  return text;
}

bool UsbDevice::vendorRequest(bool in, uint32_t value, uint32_t index, void* data,
                              uint16_t length) {
  if (value > 0xFFFF || index > 0xFFFF) return false;
  if (length > 0 && data == nullptr) return false;
  std::vector<uint8_t> buffer(LIBUSB_CONTROL_SETUP_SIZE + length);
  const uint8_t type = static_cast<uint8_t>(unsigned{LIBUSB_REQUEST_TYPE_VENDOR} |
                                            unsigned{LIBUSB_RECIPIENT_DEVICE} |
                                            (in ? unsigned{LIBUSB_ENDPOINT_IN} : 0u));
  libusb_fill_control_setup(buffer.data(), type, session_->identity.request,
                            static_cast<uint16_t>(value), static_cast<uint16_t>(index), length);
  if (!in && length > 0) std::memcpy(buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, data, length);
  TransferPtr transfer;
  if (transfer.t == nullptr) return false;
  const auto timeout = static_cast<unsigned>(std::max<long long>(1, limit_.count()));
  libusb_fill_control_transfer(transfer.t, session_->handle, buffer.data(), nullptr, nullptr,
                               timeout);
  if (run(*session_, state_->canceller, transfer.t) != LIBUSB_TRANSFER_COMPLETED) return false;
  if (in) {
    if (transfer.t->actual_length != length) return false;
    std::memcpy(data, buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, length);
  }
  return true;
}

void UsbDevice::cancel() {
  state_->canceller.cancel();
}

std::unique_ptr<BackendPipe> UsbDevice::openPipe(int number) {
  if (number < 0 || number >= kPipeCount || session_->gone.load()) return nullptr;
  return std::unique_ptr<UsbPipe>(new UsbPipe(session_, number));
}

// ---- The backend ----------------------------------------------------------------------

UsbBackend::UsbBackend(UsbConfig config, std::chrono::milliseconds requestLimit)
    : config_(std::move(config)),
      limit_(requestLimit),
      notes_(config_.problems),
      context_(std::make_shared<Context>()) {
  context_->config = config_;
  if (config_.devices.empty()) {
    notes_.push_back("no USB ids configured (TAVRO_USB_IDS, " + configFilePath() + ")");
    return;
  }
  if (libusb_init(&context_->ctx) != 0) {
    context_->ctx = nullptr;
    notes_.push_back("libusb could not be started");
    return;
  }
  Context* c = context_.get();
  c->events = std::thread([c] {
    while (c->stop.load() == 0) {
      // Blocks until a transfer or hotplug event is due, or the interrupt of the stop.
      timeval limit{60, 0};
      libusb_handle_events_timeout_completed(c->ctx, &limit, nullptr);
    }
  });
}

UsbBackend::~UsbBackend() {
  MutexLock lock(context_->handlerMutex);
  context_->changeHandler = nullptr;
}

bool UsbBackend::available() const {
  return context_->ctx != nullptr;
}

std::vector<DeviceListing> UsbBackend::enumerate() {
  std::vector<DeviceListing> found;
  if (!available() || config_.devices.empty()) return found;
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(context_->ctx, &list);
  for (ssize_t i = 0; i < n; ++i) {
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(list[i], &desc) != 0) continue;
    const DeviceIdentity* id = config_.find(desc.idVendor, desc.idProduct);
    if (id == nullptr) continue;
    DeviceListing itf;
    itf.path = devicePath(list[i]);
    itf.description = "USB " + hex4(desc.idVendor) + ":" + hex4(desc.idProduct) + ", bus " +
                      std::to_string(libusb_get_bus_number(list[i])) + " device " +
                      std::to_string(libusb_get_device_address(list[i]));
    std::array<Endpoint, kPipeCount> endpoints{};
    itf.reason = findEndpoints(list[i], *id, endpoints);
    itf.opens = itf.reason.empty();
    found.push_back(std::move(itf));
  }
  if (n >= 0) libusb_free_device_list(list, 1);
  std::sort(found.begin(), found.end(),
            [](const DeviceListing& a, const DeviceListing& b) { return a.path < b.path; });
  return found;
}

Opened UsbBackend::open(const std::string& path) {
  const Opened absent{nullptr, DeviceState::kFails, "not present"};
  if (!available() || !path.starts_with("usb:")) return absent;

  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(context_->ctx, &list);
  libusb_device* dev = nullptr;
  const DeviceIdentity* id = nullptr;
  for (ssize_t i = 0; i < n && dev == nullptr; ++i) {
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(list[i], &desc) != 0) continue;
    const DeviceIdentity* match = config_.find(desc.idVendor, desc.idProduct);
    if (match != nullptr && devicePath(list[i]) == path) {
      dev = libusb_ref_device(list[i]);
      id = match;
    }
  }
  if (n >= 0) libusb_free_device_list(list, 1);
  if (dev == nullptr) return absent;

  MutexLock lock(context_->sessionsMutex);
  auto& slot = context_->sessions[path];
  if (auto existing = slot.lock(); existing && existing->device == dev && !existing->gone.load()) {
    libusb_unref_device(dev);
    return {std::shared_ptr<UsbDevice>(new UsbDevice(existing, limit_)), DeviceState::kOpens, {}};
  }

  auto session = std::make_shared<Session>();
  std::string reason = findEndpoints(dev, *id, session->endpoints);
  if (!reason.empty()) {
    libusb_unref_device(dev);
    return {nullptr, DeviceState::kNotABox, "not a box"};
  }
  libusb_device_handle* handle = nullptr;
  const int opened = libusb_open(dev, &handle);
  if (opened != 0) {
    libusb_unref_device(dev);
    if (opened == LIBUSB_ERROR_ACCESS)
      return {nullptr, DeviceState::kFails, "no permission to open it"};
    return opened == LIBUSB_ERROR_NO_DEVICE ? absent
                                            : Opened{nullptr, DeviceState::kFails, kCannotOpen};
  }
  if (id->detachKernelDriver && libusb_kernel_driver_active(handle, id->interface) == 1) {
    libusb_detach_kernel_driver(handle, id->interface);
  }
  const int claimed = libusb_claim_interface(handle, id->interface);
  if (claimed != 0) {
    libusb_close(handle);
    libusb_unref_device(dev);
    if (claimed == LIBUSB_ERROR_BUSY)
      return {nullptr, DeviceState::kBusy, "busy: claimed by another program"};
    return claimed == LIBUSB_ERROR_NO_DEVICE ? absent
                                             : Opened{nullptr, DeviceState::kFails, kCannotOpen};
  }
  session->context = context_;
  session->device = dev;
  session->handle = handle;
  session->path = path;
  session->identity = *id;
  slot = session;
  return {std::shared_ptr<UsbDevice>(new UsbDevice(std::move(session), limit_)),
          DeviceState::kOpens,
          {}};
}

bool UsbBackend::watchChanges(std::function<void(bool arrived)> handler) {
  if (config_.devices.empty()) return true;  // nothing configured can arrive
  if (!available() || !libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) return false;
  {
    MutexLock lock(context_->handlerMutex);
    context_->changeHandler = std::move(handler);
  }
  if (!context_->hotplugRegistered) {
    const int events = LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT;
    if (libusb_hotplug_register_callback(context_->ctx, static_cast<libusb_hotplug_event>(events),
                                         LIBUSB_HOTPLUG_NO_FLAGS, LIBUSB_HOTPLUG_MATCH_ANY,
                                         LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                                         hotplugEvent, context_.get(), &context_->hotplug) != 0) {
      return false;
    }
    context_->hotplugRegistered = true;
  }
  return true;
}

}  // namespace tavro::platform::usb
