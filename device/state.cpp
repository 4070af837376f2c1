#include "device/state.h"

namespace tavro {

// Waiters are woken only when a bit really changed, so that repeating a state (the reply
// reader marking itself ready on every retry) wakes nobody.
void setStatusBits(uint32_t bits) {
  linkState().statusWord.fetch_or(bits, std::memory_order_acq_rel);
}

void clearStatusBits(uint32_t bits) {
  linkState().statusWord.fetch_and(~bits, std::memory_order_acq_rel);
}

void changeStatusBits(uint32_t clear, uint32_t set) {
  linkState().statusWord.update([&](uint32_t old) { return (old & ~clear) | set; });
}

void storeStatusWord(uint32_t word) {
  linkState().statusWord.store(word, std::memory_order_release);
}

}  // namespace tavro

namespace tavro {

void LinkState::reset() {
  MutexLock lock(pipesMutex);
  SignalBatch batch;
  stopping.store(0);
  reopenAllLocked();
  replyPipeUp.store(0);
  boxHeldElsewhere.store(0);
  changesWatched.store(0);
  statusWord.store(kInitialStatusWord);
}

void LinkState::reopenAllLocked() {
  SignalBatch batch;
  commandReopen.store(1);
  audioInReopen.store(1);
  audioOutReopen.store(1);
  openPipes.store(0);
  pipesOpened.store(0);
}

void WorkerThreads::reset() {
  SignalBatch batch;
  replyReaderAlive.store(0);
  commandWriterAlive.store(0);
  audioInAlive.store(0);
  audioOutAlive.store(0);
}

void CommandChannel::reset() {
  SignalBatch batch;
  sendRequest.store(0);
  commandWaiting.store(0);
}

void NoticeState::reset() {
  eventFlags.store(0);
}

}  // namespace tavro
