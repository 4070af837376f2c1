// The device layer's part of the library's working state: the link, the worker threads,
// the command channel and the notices. Every thread and operation meets the others only in
// the state's components (these, and those of the areas: incoming/stores.h,
// audio/audio_state.h, line/dial_parameters.h).
//
// Each component owns its items, their reset and the signalling of their changes: an item
// is a Signalled<T>, whose every change wakes the waiters (only what nothing waits on, such
// as the poll counter and the rings, is a plain atomic). The components live in one library
// context per process (library/context.h); each is reached through its accessor.
//
// Status-word bits change by one atomic read-modify-write (setStatusBits / clearStatusBits);
// only InitialUSB_IO, ExistUSB_IO and SetTelStatus write the whole word.
#ifndef TAVRO_DEVICE_STATE_H
#define TAVRO_DEVICE_STATE_H

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "device/signalled.h"
#include "platform/thread_safety.h"
#include "protocol/records.h"
#include "tavro/status.h"

class CKusb_IO;

namespace tavro {

struct PipeHandles;  // device/pipes.h

// Event-flag word bits, read by the monitor thread.
inline constexpr uint32_t kLinkLostEvent = 0x1;
inline constexpr uint32_t kRecordingActiveEvent = 0x2;

inline constexpr uint32_t kInitialStatusWord = kLinkDownBit;  // 0x200

inline constexpr size_t kFileNameSize = 1024;  // 1023 characters and the zero

// One record per worker thread: who started it and whether it is to run. What a thread
// is asked to do is in the component it works for.
struct ThreadBlock {
  Signalled<CKusb_IO*> owner{nullptr};
  Signalled<uint8_t> runFlag{0};
  char fileName[kFileNameSize] = {};  // audio blocks; written only while the thread waits
};

// The link and its pipes: the status word, which pipes are open, the reopen flags.
// Pipe counts change only through pipeOpened / pipeClosed / reopenAllPipes (device/pipes.h).
struct LinkState {
  Signalled<uint32_t> statusWord{0};
  Signalled<uint32_t> pipesOpened{0};
  Signalled<uint8_t> replyPipeUp{0};
  Signalled<uint8_t> commandReopen{0};
  Signalled<uint8_t> audioInReopen{0};
  Signalled<uint8_t> audioOutReopen{0};
  // Which pipes are open now (bit n = PIPE0n), so that the count of opens stays true
  // when a thread reopens its own pipe after its own transfer failed.
  Signalled<uint32_t> openPipes{0};
  // Counts reply-pipe failures. A command posted before a failure can never be answered:
  // the reader then clears the pending bit and its waiter returns -1 instead of timing
  // out, and the next command is not held up by it.
  Signalled<uint32_t> linkEpoch{0};
  // 1 when the last search for a box found one but another program held it (and no other
  // box opened): the link stays down as with no box, for a reason the application can read.
  Signalled<uint8_t> boxHeldElsewhere{0};
  // The device an object's own context is bound to (bound true): only it is opened, also
  // after a replug; empty when the object was given none of a device's form. Set when the
  // context is made, before any thread; the process's context is bound to none.
  bool bound = false;
  std::string device;
  // Counts the times the backends told that a device may have come or gone; 1 in
  // changesWatched while they tell of every change. The reply reader then waits for a
  // change instead of looking again every 50 ms while no box answers. deviceArrivals
  // counts the changes that brought a device: they end the pause after a lost link.
  Signalled<uint32_t> deviceChanges{0};
  Signalled<uint32_t> deviceArrivals{0};
  Signalled<uint8_t> changesWatched{0};
  // Set by ExistUSB_IO when a worker thread has not ended within its documented wait: every
  // wait of a worker thread that has no limit of its own also ends when it is 1, so that
  // the stop never hangs (a recording or playback in progress is then abandoned).
  Signalled<uint8_t> stopping{0};

  // Guards the pipe count and the registered handles (device/pipes.cpp): opening, closing
  // and cancelling a thread's handles never overlap, so a cancel never hits a descriptor
  // that was reused.
  Mutex pipesMutex;
  // Each pipe's handles, for a cancel.
  std::array<PipeHandles*, 4> registered TAVRO_GUARDED_BY(pipesMutex){};
  // The boxes whose claim went unanswered, by device path, each with the time until which
  // it is not asked again; kept from start to start, since every open meets the same boxes.
  Mutex silentMutex;
  std::map<std::string, std::chrono::steady_clock::time_point> silentUntil
      TAVRO_GUARDED_BY(silentMutex);

  // The values of a start, all seen at once: status word 0x200, no pipe open, every pipe
  // to be opened.
  void reset();
  // Every pipe out of the count and to be opened anew.
  void reopenAllLocked() TAVRO_REQUIRES(pipesMutex);
};

// The worker threads: their blocks and alive flags. Started and stopped by the lifecycle
// (device/lifecycle.cpp).
struct WorkerThreads {
  Signalled<uint8_t> monitorAlive{0};
  Signalled<uint8_t> replyReaderAlive{0};
  Signalled<uint8_t> commandWriterAlive{0};
  Signalled<uint8_t> audioInAlive{0};
  Signalled<uint8_t> audioOutAlive{0};

  ThreadBlock monitor;
  ThreadBlock replyReader;
  ThreadBlock commandWriter;
  ThreadBlock audioIn;
  ThreadBlock audioOut;

  // The values of a start: the I/O threads not alive.
  void reset();
};

// The command channel: the packet handed to the command writer, the turn of the round
// trip, and the handshake with the recorder.
struct CommandChannel {
  // Set to 0 and counted up by every limited wait of an operation (all waits share it);
  // nothing waits on it.
  std::atomic<int32_t> pollCounter{0};
  std::array<uint8_t, 64> staging{};  // written before sendRequest
  Signalled<uint8_t> sendRequest{0};
  Signalled<uint8_t> roundTripBusy{0};  // a caller holds the round trip
  Signalled<uint8_t> sendBusy{0};       // a caller is posting a packet
  // 1 while a command is being queued during a recording: the recorder pauses its reads.
  Signalled<uint8_t> commandWaiting{0};
  // Guards the test reply areas that reply types 240 and 241 fill.
  Mutex testAreaMutex;
  // Commands posted so far, and what answers the last one (null: any record that clears
  // the pending bit); a record read before a command was posted is not its answer
  // (commandsPosted, settlePending).
  Mutex postMutex;
  uint64_t posted TAVRO_GUARDED_BY(postMutex) = 0;
  AnswerMatch awaited TAVRO_GUARDED_BY(postMutex) = nullptr;
  // The number of the last command that waited for its own answer and got it.
  Signalled<uint64_t> answered{0};

  // The values of a start: nothing to send, no command waiting.
  void reset();
};

// What the monitor thread shows: the event-flag word.
struct NoticeState {
  Signalled<uint32_t> eventFlags{0};
  void reset();
};

// The device layer's components of the library context in use (library/context.h).
LinkState& linkState();
WorkerThreads& workers();
CommandChannel& commandChannel();
NoticeState& noticeState();

// Atomic read-modify-writes of the status word; each wakes the waiters.
inline uint32_t statusWord() {
  return linkState().statusWord.load(std::memory_order_acquire);
}
inline bool statusHas(uint32_t bits) {
  return (statusWord() & bits) != 0;
}
inline bool linkDown() {
  return statusHas(kLinkDownBit);
}
void setStatusBits(uint32_t bits);
void clearStatusBits(uint32_t bits);
void storeStatusWord(uint32_t word);
// Clears `clear` and sets `set` in one atomic change.
void changeStatusBits(uint32_t clear, uint32_t set);

}  // namespace tavro

#endif  // TAVRO_DEVICE_STATE_H
