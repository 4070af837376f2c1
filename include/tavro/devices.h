/* The devices the library could use, each checked, for C and C++.
 *
 * The list holds every device on every backend in use, each one opened, claimed and sent
 * the device probe once to tell whether the library could use it; it is closed again
 * before the call returns. Any thread may ask for it, also while a library object runs: a
 * box that this program's library object holds opens. Checking a box on the virtual wire
 * makes this program its holder, until the program ends or for the box's grace time
 * (about 2 s) after the check. A box that does not answer takes up to 2 s.
 */
#ifndef TAVRO_DEVICES_H
#define TAVRO_DEVICES_H

#include <stddef.h>

#include "tavro/export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What became of the attempt to open a listed device. */
enum tavro_device_state {
  TAVRO_DEVICE_OPENS = 0,    /* a box, and this program may use it */
  TAVRO_DEVICE_BUSY = 1,     /* a box that another program holds */
  TAVRO_DEVICE_FAILS = 2,    /* a box that could not be opened or did not answer (reason) */
  TAVRO_DEVICE_NOT_A_BOX = 3 /* a configured device that is not a box (reason) */
};

/* One device; every text is UTF-8, ends with a zero byte and is never null. */
typedef struct tavro_device {
  const char* backend;     /* "wire" (the virtual wire) or "usb" */
  const char* path;        /* the device path the library opens it by */
  const char* description; /* for people: "virtual wire box box0", "USB 0abc:1234, ..." */
  int state;               /* enum tavro_device_state */
  const char* reason;      /* empty when it opens */
} tavro_device;

typedef struct tavro_device_list {
  size_t device_count;
  const tavro_device* devices; /* in the order the library tries them */
  size_t backend_count;
  const char* const* backends; /* the backends in use (TAVRO_BACKENDS), in their order */
  size_t note_count;
  /* What stands in the way of finding a box: lines of the USB configuration that were not
   * understood, no USB ids configured, unknown names in TAVRO_BACKENDS. */
  const char* const* notes;
} tavro_device_list;

/* The list, owned by the caller until tavro_free_device_list(); null when it could not be
 * made (memory ran out). */
TAVRO_API tavro_device_list* tavro_list_devices(void);
TAVRO_API void tavro_free_device_list(tavro_device_list* list);

/* "opens", "busy", "fails", "not a box"; "fails" for an unknown state. */
TAVRO_API const char* tavro_device_state_name(int state);

#ifdef __cplusplus
}

#include <string>
#include <vector>

namespace tavro {

// What became of the attempt to open a listed device.
enum class DeviceState {
  kOpens = TAVRO_DEVICE_OPENS,        // a box, and this program may use it
  kBusy = TAVRO_DEVICE_BUSY,          // a box that another program holds
  kFails = TAVRO_DEVICE_FAILS,        // a box that could not be opened or did not answer;
                                      // `reason` says how
  kNotABox = TAVRO_DEVICE_NOT_A_BOX,  // a configured device that is not a box; `reason` says
                                      // why
};

// "opens", "busy", "fails", "not a box".
inline const char* deviceStateName(DeviceState state) {
  switch (state) {
    case DeviceState::kOpens:
      return "opens";
    case DeviceState::kBusy:
      return "busy";
    case DeviceState::kFails:
      return "fails";
    case DeviceState::kNotABox:
      return "not a box";
  }
  return "fails";
}

struct ListedDevice {
  std::string backend;      // "wire" (the virtual wire) or "usb"
  std::string path;         // the device path the library opens it by
  std::string description;  // for people: "virtual wire box box0", "USB 0abc:1234, bus 1 device 5"
  DeviceState state = DeviceState::kFails;
  std::string reason;  // empty when it opens
};

struct DeviceList {
  std::vector<std::string> backends;  // the backends in use (TAVRO_BACKENDS), in their order
  std::vector<ListedDevice> devices;  // every device they found, in the order the library
                                      // tries them
  // What stands in the way of finding a box: lines of the USB configuration that were not
  // understood, no USB ids configured, unknown names in TAVRO_BACKENDS.
  std::vector<std::string> notes;
};

// The list for C++.
TAVRO_API DeviceList listDevices();

}  // namespace tavro
#endif

#endif /* TAVRO_DEVICES_H */
