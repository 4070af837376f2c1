// The library context: the components of the working state. The process has one, which
// the default object and the plain exports use; an object made for one device owns one of
// its own, bound to its calls and its threads (device/binding.h).
//
// Every area reaches its component through its accessor (linkState(), ...), which looks at
// the context in use: the calling thread's bound one, else the process's. A test can start
// from a fresh context instead of resetting items by hand.
#ifndef TAVRO_LIBRARY_CONTEXT_H
#define TAVRO_LIBRARY_CONTEXT_H

#include <atomic>
#include <memory>
#include <string>

#include "audio/audio_state.h"
#include "device/event_sink.h"
#include "device/hooks.h"
#include "device/lifecycle.h"
#include "device/state.h"
#include "incoming/stores.h"
#include "line/dial_parameters.h"

namespace tavro {

struct LibraryContext {
  // 0 for the process's; an object's own context has a number of its own, never reused.
  uint64_t id = 0;
  LinkState link;
  WorkerThreads workers;
  CommandChannel command;
  NoticeState notices;
  ReplyStores replies;
  DialParameters dial;
  RecorderState recorder;
  PlayerState player;
  HostStreams host;
  EventSinkState sink;
  Lifecycle lifecycle;
  // The areas' hooks (device/hooks.h); a test may put a copy with some entries changed in
  // their place, and puts kAreaHooks back after it.
  std::atomic<const AreaHooks*> hooks{&kAreaHooks};

  // The values of a start (InitialUSB_IO), component by component; the link last, so that
  // the status word says 0x200 once everything else is in place. The dial parameters stay.
  void reset();
};

// The context in use: the calling thread's bound one (device/binding.h), else the process's.
LibraryContext& context();

// Gives `io` a context of its own, bound to `device` (a device path as the device list
// gives it; a path of no backend's form, or none, is never opened). Made before the object
// starts; it lives while the object does and, at process exit, as long as the process.
void makeOwnContext(const CKusb_IO* io, const char* device);
// Lets the object's own context go, once its threads have ended.
void dropOwnContext(const CKusb_IO* io);
// The context of `io`: its own, or the process's.
LibraryContext& contextOf(const CKusb_IO* io);
// An object's own context by its number while the object lives, else nullptr.
std::shared_ptr<LibraryContext> contextWithId(uint64_t id);

// Puts a fresh context in use, every item at its first value. Only while no library object
// is alive: the running threads hold on to the components they were started with. The
// contexts given up are kept to the end of the process.
void useStateForTest();

}  // namespace tavro

#endif  // TAVRO_LIBRARY_CONTEXT_H
