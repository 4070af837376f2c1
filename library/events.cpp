// tavro/events.h: the object for C, its event queue and what goes with the events.
#include <cstddef>
#include <cstring>
#include <new>

#include "device/pipes.h"
#include "device/threads.h"
#include "events/queue.h"
#include "tavro/CKusb_IO.h"
#include "tavro/events.h"

using tavro::events::queueOf;

namespace {
// Programs built before the events had their wall-clock time give room for the event
// without it: their take and wait (version TAVRO_1.2) copy no more than that.
constexpr size_t kEventSizeBeforeWallTime = 280;
static_assert(offsetof(tavro_event, wall_time_ns) == kEventSizeBeforeWallTime);

int copyWithoutWallTime(int result, const tavro_event& event, void* out) {
  if (result == TAVRO_SUCCESS) std::memcpy(out, &event, kEventSizeBeforeWallTime);
  return result;
}
}  // namespace

CKusb_IO* tavro_open(void) {
  try {
    return new CKusb_IO;
  } catch (...) {
    return nullptr;
  }
}

CKusb_IO* tavro_open_device(const char* device) {
  if (device == nullptr || !tavro::devicePathForm(device)) return nullptr;
  try {
    return new CKusb_IO(device);
  } catch (...) {
    return nullptr;
  }
}

int tavro_close(CKusb_IO* io) {
  auto queue = queueOf(io);
  if (!queue) return TAVRO_ERROR_INVALID_ARGUMENT;
  if (queue->onDispatchThread()) return TAVRO_ERROR_OWN_CALLBACK;
  queue.reset();
  delete io;
  return TAVRO_SUCCESS;
}

int tavro_events_fd(CKusb_IO* io) {
  auto queue = queueOf(io);
  if (!queue) return TAVRO_ERROR_INVALID_ARGUMENT;
  return queue->fd();
}

int tavro_event_take(CKusb_IO* io, tavro_event* event) {
  auto queue = queueOf(io);
  if (!queue || event == nullptr) return TAVRO_ERROR_INVALID_ARGUMENT;
  if (!queue->take(event)) return 0;  // none waits
  return TAVRO_SUCCESS;
}

int tavro_event_wait(CKusb_IO* io, tavro_event* event, int timeout_ms) {
  auto queue = queueOf(io);
  if (!queue || event == nullptr) return TAVRO_ERROR_INVALID_ARGUMENT;
  if (!queue->wait(event, timeout_ms)) return 0;  // none came
  return TAVRO_SUCCESS;
}

// The 1.2 entry points copied the event without its wall-clock time; programs linked then
// keep them. An assembler directive, not the symver attribute: clang does not know it.
__asm__(".symver tavro_event_take_1_2,tavro_event_take@TAVRO_1.2");
__asm__(".symver tavro_event_wait_1_2,tavro_event_wait@TAVRO_1.2");

extern "C" {
TAVRO_API int tavro_event_take_1_2(CKusb_IO* io, void* event) {
  tavro_event full;
  if (event == nullptr) return tavro_event_take(io, nullptr);
  return copyWithoutWallTime(tavro_event_take(io, &full), full, event);
}

TAVRO_API int tavro_event_wait_1_2(CKusb_IO* io, void* event, int timeout_ms) {
  tavro_event full;
  if (event == nullptr) return tavro_event_wait(io, nullptr, timeout_ms);
  return copyWithoutWallTime(tavro_event_wait(io, &full, timeout_ms), full, event);
}
}

int tavro_events_set_callback(CKusb_IO* io, tavro_event_callback callback, void* user) {
  auto queue = queueOf(io);
  if (!queue) return TAVRO_ERROR_INVALID_ARGUMENT;
  queue->setCallback(callback, user);
  return TAVRO_SUCCESS;
}

int tavro_read_caller_id(CKusb_IO* io, tavro_caller_id* callerId) {
  if (io == nullptr) return TAVRO_ERROR_INVALID_ARGUMENT;
  return io->ReadCallerId(callerId);
}

uint32_t tavro_ack_status(CKusb_IO* io, uint32_t mask) {
  return io ? io->AckTelStatus(mask) : 0;
}

int tavro_notice_code(const char* text) {
  if (!text) return 0;
  if (std::strcmp(text, tavro::kLinkLostMessage) == 0) return TAVRO_NOTICE_LINK_LOST;
  if (std::strcmp(text, tavro::kNoUsedMessage) == 0) return TAVRO_NOTICE_NO_USED;
  if (std::strcmp(text, tavro::kReceiveErrorMessage) == 0) return TAVRO_NOTICE_RECEIVE_ERROR;
  if (std::strcmp(text, tavro::kStopErrorMessage) == 0) return TAVRO_NOTICE_STOP_ERROR;
  return 0;
}

const char* tavro_notice_text(int code) {
  switch (code) {
    case TAVRO_NOTICE_LINK_LOST:
      return "The connection to the box failed: quit the application before unplugging the "
             "box, or check that its USB plug makes good contact.";
    case TAVRO_NOTICE_NO_USED:
      return "The box sent a record of an unused type.";
    case TAVRO_NOTICE_RECEIVE_ERROR:
      return "The box did not answer a test transfer.";
    case TAVRO_NOTICE_STOP_ERROR:
      return "The recording did not finish in time when it was stopped.";
    default:
      return "";
  }
}
