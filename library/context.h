// The library context: the components of the working state, one context per process.
//
// Every area reaches its component through its accessor (linkState(), ...), which looks at
// the context in use. A test can start from a fresh context instead of resetting items by
// hand.
#ifndef TAVRO_LIBRARY_CONTEXT_H
#define TAVRO_LIBRARY_CONTEXT_H

#include <atomic>

#include "audio/audio_state.h"
#include "device/event_sink.h"
#include "device/hooks.h"
#include "device/lifecycle.h"
#include "device/state.h"
#include "incoming/stores.h"
#include "line/dial_parameters.h"

namespace tavro {

struct LibraryContext {
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

// The context in use.
LibraryContext& context();

// Puts a fresh context in use, every item at its first value. Only while no library object
// is alive: the running threads hold on to the components they were started with. The
// contexts given up are kept to the end of the process.
void useStateForTest();

}  // namespace tavro

#endif  // TAVRO_LIBRARY_CONTEXT_H
