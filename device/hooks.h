// The contract between the device layer and the areas above it.
//
// The device layer knows no area: what it needs of them (their reply handlers, the audio
// threads' bodies, how a stop ends a recording, whether audio runs, where events go) it
// calls through one table of hooks. The library's assembly fills the table once, as a
// constant (kAreaHooks in library/assembly.cpp); every entry is set, so none is checked.
// The only call up from the platform layer is platform::noticeShown (platform/platform.h),
// which the assembly defines too.
#ifndef TAVRO_DEVICE_HOOKS_H
#define TAVRO_DEVICE_HOOKS_H

#include "device/state.h"
#include "tavro/events.h"

namespace tavro {

struct AreaHooks {
  // Registers every area's reply and status-item handlers (device/reply_dispatch.h); the
  // dispatch calls it once, before its first record. The handlers of one reply type run in
  // the order they were added, and the order is part of the contract: the audio area's
  // first (the go-ahead a record carries is taken before the status item or flags value
  // in the same record), then the device layer's own (addLinkReplyHandlers), then the
  // incoming area's, then the line area's.
  void (*addReplyHandlers)();

  // InitialUSB_IO: gives every component of the state the values of a start.
  void (*startValues)();
  // Create_WRWThd: the bodies of the audio-in and audio-out threads.
  void (*audioIn)(ThreadBlock& block);
  void (*audioOut)(ThreadBlock& block);
  // ExistUSB_IO: clears the record-go flag; ends a recording in progress (called first, so
  // that no later step of the stop waits on a recorder that waits on the box); raises the
  // playback's stop request.
  void (*askRecordingToEnd)();
  void (*endRecording)();
  void (*askPlaybackToEnd)();

  // The command channel: whether a recording runs and whether the recorder is inside a
  // batch of reads (a send during a recording waits for it to pause), and whether a
  // playback runs (the box is then not asked for its flags value).
  bool (*recording)();
  bool (*recorderReading)();
  bool (*playing)();

  // Where the posts of device/event_sink.h go: the applications' event queues.
  void (*publish)(tavro_event& event);
};

// The assembly's table (library/assembly.cpp).
extern const AreaHooks kAreaHooks;

// The hooks in use: those of the library context, kAreaHooks unless a test put others in
// its place (library/context.h).
const AreaHooks& areaHooks();

}  // namespace tavro

#endif  // TAVRO_DEVICE_HOOKS_H
