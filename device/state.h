// The library's process-wide working state: the status word, flags, counters, thread
// blocks and reply stores. Every thread and operation meets the others only here.
//
// Every item is an atomic of the documented width. Status-word bits change by one atomic
// read-modify-write (setStatusBits / clearStatusBits); only InitialUSB_IO, ExistUSB_IO and
// SetTelStatus write the whole word. Whoever changes an item that a waiter may wait on
// calls notifyStateChange() afterwards (the set/clear helpers below do it).
#ifndef TAVRO_DEVICE_STATE_H
#define TAVRO_DEVICE_STATE_H

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "tavro/status.h"

class CKusb_IO;

namespace tavro {

// Event-flag word bits, read by the monitor thread.
inline constexpr uint32_t kLinkLostEvent = 0x1;
inline constexpr uint32_t kRecordingActiveEvent = 0x2;

inline constexpr uint32_t kInitialStatusWord = kLinkDownBit;  // 0x200

inline constexpr size_t kRingSlots = 30;
inline constexpr size_t kHostBufferSize = 528;
inline constexpr size_t kFileNameSize = 1024;  // 1023 characters and the zero

// One record per worker thread.
struct ThreadBlock {
  std::atomic<void*> threadObject{nullptr};
  std::atomic<CKusb_IO*> owner{nullptr};
  std::atomic<uint8_t> runFlag{0};
  std::atomic<uint32_t> transferLength{0};
  std::atomic<uint8_t*> transferBuffer{nullptr};
  char deviceLinkName[20] = {};
  char pipeName[20] = {};
  std::atomic<uint8_t> audioInStart{0};  // audio-in block only
  std::atomic<uint8_t> playbackFlag{0};  // audio-out block only
  std::atomic<uint8_t> sendRequest{0};   // command writer block only
  std::atomic<uint8_t> finishedFlag{0};  // audio-out block only
  std::atomic<uint8_t> stopRequest{0};   // audio-out block only
  char fileName[kFileNameSize] = {};     // audio blocks; written only while the thread waits
};

struct DeviceState {
  // ---- status and link bookkeeping
  std::atomic<uint32_t> statusWord{0};
  std::atomic<int32_t> pollCounter{0};
  std::atomic<uint32_t> eventFlags{0};
  std::atomic<uint32_t> pipesOpened{0};
  std::atomic<uint8_t> replyPipeUp{0};
  std::atomic<uint8_t> commandReopen{0};
  std::atomic<uint8_t> audioInReopen{0};
  std::atomic<uint8_t> audioOutReopen{0};
  // Which pipes are open now (bit n = PIPE0n), so that the count of opens stays true
  // when a thread reopens its own pipe after its own transfer failed.
  std::atomic<uint32_t> openPipes{0};
  // Counts reply-pipe failures. A command posted before a failure can never be answered:
  // the reader then clears the pending bit and its waiter returns -1 instead of timing
  // out, and the next command is not held up by it.
  std::atomic<uint32_t> linkEpoch{0};
  // Set by ExistUSB_IO when a worker thread has not ended within its documented wait: every
  // wait of a worker thread that has no limit of its own also ends when it is 1, so that
  // the stop never hangs (a recording or playback in progress is then abandoned).
  std::atomic<uint8_t> stopping{0};

  // ---- alive flags
  std::atomic<uint8_t> monitorAlive{0};
  std::atomic<uint8_t> replyReaderAlive{0};
  std::atomic<uint8_t> commandWriterAlive{0};
  std::atomic<uint8_t> audioInAlive{0};
  std::atomic<uint8_t> audioOutAlive{0};

  // ---- thread blocks
  ThreadBlock monitor;
  ThreadBlock replyReader;
  ThreadBlock commandWriter;
  ThreadBlock audioIn;
  ThreadBlock audioOut;

  // ---- command side
  std::array<uint8_t, 64> commandStaging{};  // written before sendRequest (release)
  std::atomic<uint32_t> dialPara1{0};
  std::atomic<uint32_t> dialPara2{0};
  std::atomic<uint32_t> dialPara3{0};

  // ---- reply stores, filled by the reply reader
  // storeMutex guards replyBuffer, callerNumberRecord and the test reply areas: the reader
  // holds it only for one small copy, readers take a consistent snapshot under it.
  std::mutex storeMutex;
  std::atomic<uint8_t> acknowledgeByte{0};
  std::array<uint8_t, 16> replyBuffer{};
  std::atomic<uint32_t> flagsValue{0};
  std::array<uint8_t, 64> callerNumberRecord{};
  std::atomic<uint32_t> callerNumberSequence{0};  // counts stored caller-number records
  std::atomic<int32_t> playbackFault{0};
  std::atomic<uint8_t> deviceReady{0};

  std::array<std::atomic<uint8_t>, kRingSlots> dtmfRing{};
  std::atomic<uint8_t> dtmfWrite{0};
  std::atomic<uint8_t> dtmfRead{0};
  std::array<std::atomic<uint16_t>, kRingSlots> toneRing{};
  std::atomic<uint16_t> toneWrite{0};
  std::atomic<uint16_t> toneRead{0};

  // ---- audio state (recording, playback, host buffers)
  std::atomic<uint8_t> recordGo{0};
  std::atomic<uint8_t> recorderBusy{0};
  std::atomic<uint8_t> recordFinished{0};
  std::atomic<int32_t> recordedBytes{0};
  std::atomic<uint8_t> hostBufferRecording{0};
  std::atomic<uint8_t> commandWaiting{0};
  std::atomic<uint8_t> recorderHold{0};
  std::atomic<uint8_t> fileSource{0};
  std::atomic<uint8_t> seekRequest{0};
  std::atomic<uint8_t> playMode{0};
  std::atomic<int32_t> startPosition{0};
  std::atomic<uint32_t> playPosition{0};
  std::atomic<uint32_t> playLength{0};

  std::array<uint8_t, kHostBufferSize> hostReadA{};  // handed over by bufferReadyA
  std::array<uint8_t, kHostBufferSize> hostReadB{};  // handed over by bufferReadyB
  std::atomic<uint8_t> bufferReadyA{0};
  std::atomic<uint8_t> bufferReadyB{0};
  std::atomic<uint8_t> nextBuffer{0};  // 1 = A, 0 = B
  std::atomic<uint32_t> hostReadLength{0};
  std::array<uint8_t, kHostBufferSize> hostWrite{};  // handed over by hostDataReady
  std::atomic<uint8_t> hostDataReady{0};
  std::atomic<int32_t> hostWriteLength{0};
  // Audio items beyond the documented set:
  std::atomic<int32_t> recordFault{0};      // 0, or why the last recording ended early (-5, -7, -8)
  std::atomic<int32_t> playFault{0};        // 0, or -5 when the last pass could not open its file
  std::atomic<uint8_t> hostReadClose{0};    // 1 = CloseReadSoundInPC asked the stream to end
  std::atomic<uint16_t> hostReadCountA{0};  // bytes the recorder put into host read buffer A
  std::atomic<uint16_t> hostReadCountB{0};  // ... into B
  std::atomic<uint16_t> hostReadOffset{0};  // bytes of the current buffer already taken
};

// The one set of state of this process.
DeviceState& state();

// Wakes every event-driven wait so that it looks at its condition again.
void notifyStateChange();

// Atomic read-modify-writes of the status word; each wakes the waiters.
inline uint32_t statusWord() {
  return state().statusWord.load(std::memory_order_acquire);
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

// Stores a flag and, when its value changed, wakes the waiters.
template <typename T, typename V>
inline void setFlag(std::atomic<T>& flag, V value) {
  if (flag.exchange(static_cast<T>(value), std::memory_order_acq_rel) != static_cast<T>(value))
    notifyStateChange();
}

}  // namespace tavro

#endif  // TAVRO_DEVICE_STATE_H
