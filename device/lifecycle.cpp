#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "device/binding.h"
#include "device/command.h"
#include "device/hooks.h"
#include "device/lifecycle.h"
#include "device/pipes.h"
#include "device/threads.h"
#include "device/wait.h"
#include "platform/platform.h"
#include "tavro/CKusb_IO.h"

namespace tavro {
namespace {

constexpr size_t kAudioInStackSize = 10000;
constexpr std::chrono::milliseconds kStartPoll{10};
constexpr std::chrono::milliseconds kStopPoll{20};
constexpr std::chrono::milliseconds kPipeWaitPoll{100};
constexpr std::chrono::milliseconds kFinalPause{100};
constexpr std::chrono::milliseconds kNoticeGrace{1000};

// Holds the backends and watches them for devices that come or go.
// The changes are counted in this context's link, whichever thread tells of them; the hold
// ends (and is told nothing more) before the context can go.
void holdBackends(Lifecycle& l) TAVRO_REQUIRES(l.mutex) {
  l.backends = std::make_unique<platform::BackendHold>();
  LinkState* const link = &linkState();
  const bool watched = l.backends->watchChanges([link](bool arrived) {
    SignalBatch batch;
    if (arrived) link->deviceArrivals.fetch_add(1);
    link->deviceChanges.fetch_add(1);
  });
  linkState().changesWatched.store(watched ? 1 : 0);
}

void releaseBackends(Lifecycle& l) TAVRO_REQUIRES(l.mutex) {
  linkState().changesWatched.store(0);
  l.backends.reset();
}

// Starts a thread and waits until its body runs (alive and run flags set), so that a stop
// that follows at once cannot come before the thread's first statement.
std::unique_ptr<platform::Thread> startThread(
    ThreadBlock& block, Signalled<uint8_t>& alive, void (*body)(ThreadBlock&),
    platform::ThreadPriority priority = platform::ThreadPriority::kNormal, size_t stackSize = 0) {
  // The thread works on the context of the one that starts it (device/binding.h).
  auto thread = std::make_unique<platform::Thread>(
      [&block, body, bound = boundContext()] {
        const ContextScope scope(bound);
        body(block);
      },
      priority, stackSize);
  waitFor([&] { return alive.load() == 1 && block.runFlag.load() == 1; }, kStartPoll, kNoLimit);
  return thread;
}

// Every component back to the values of a start; the status word says 0x200 last.
void setInitialValues() {
  areaHooks().startValues();
}

// Stops one thread: clear its run flag, wait (bounded) for its alive flag, and if it is
// still running then, end its waits and cancel its blocked transfers so that it ends.
void stopThread(ThreadBlock& block, Signalled<uint8_t>& alive,
                std::unique_ptr<platform::Thread>& thread, std::chrono::milliseconds poll,
                int pipe) {
  block.runFlag.store(0);
  if (!waitFor([&] { return alive.load() != 1; }, poll, 101, &commandChannel().pollCounter)) {
    linkState().stopping.store(1);
    if (pipe >= 0) cancelTransfers(static_cast<PipeNumber>(pipe));
  }
  if (thread) thread->join();
  thread.reset();
}

void stopLibrary(Lifecycle& l) TAVRO_REQUIRES(l.mutex) {
  stopThread(workers().monitor, workers().monitorAlive, l.monitor, kStartPoll, -1);

  // A recording still running is finished properly, so that its file is whole, and first:
  // the space-code request waits for the recorder to pause, which a box that has stopped
  // streaming would hold up for the send's whole wait.
  areaHooks().askRecordingToEnd();
  areaHooks().endRecording();

  // The space-code request makes the box send one more record, which returns the reader
  // from its read. Its answer is not awaited: the reader's alive flag is what counts, and
  // a box that does not answer is cut off after the reader's wait.
  workers().replyReader.runFlag.store(0);
  if (!linkDown() && !statusHas(kPendingBit) && workers().commandWriter.runFlag.load() == 1) {
    const Packet space = makePacket(Command::kSpaceCode);
    writeDataToUsb(space.data());
  }
  stopThread(workers().replyReader, workers().replyReaderAlive, l.replyReader, kStopPoll,
             kReplyPipe);

  // A playback still running is asked to end.
  areaHooks().askPlaybackToEnd();
  stopThread(workers().audioIn, workers().audioInAlive, l.audioIn, kStopPoll, kAudioInPipe);
  stopThread(workers().audioOut, workers().audioOutAlive, l.audioOut, kStopPoll, kAudioOutPipe);
  stopThread(workers().commandWriter, workers().commandWriterAlive, l.commandWriter, kStopPoll,
             kCommandPipe);
  // The notices the threads raised are still delivered, unless a handler keeps one open.
  platform::stopNotices(kNoticeGrace, noticeSource().id);

  platform::sleepFor(kFinalPause);
  for (ThreadBlock* b : {&workers().monitor, &workers().replyReader, &workers().commandWriter,
                         &workers().audioIn, &workers().audioOut})
    b->owner.store(nullptr);
  linkState().stopping.store(0);
  releaseBox();
  releaseBackends(l);
  l.startedBy.store(0);
  storeStatusWord(kInitialStatusWord);
}

// At process exit, with the library still running (an object left alive): end every
// worker thread without waiting on the box. Blocked transfers are cancelled and every wait
// ends, so a recording in progress is finished with a valid header. Threads that do not end
// in time (one that shows a notice, or the thread that called exit) are left to the end of
// the process; everything they use is never destroyed. The lifecycle lock is not waited
// for: the exit may come from a thread that holds it.
bool allEnded() {
  for (auto* a : {&workers().monitorAlive, &workers().replyReaderAlive,
                  &workers().commandWriterAlive, &workers().audioInAlive, &workers().audioOutAlive})
    if (a->load() == 1) return false;
  return true;
}

bool runsHere() {
  return lifecycle().startedBy.load() == ::getpid();  // not a forked child's copy
}

// The exit's first step in one context: every thread asked to end at once.
void askToEndAtExit() {
  if (!runsHere() || allEnded()) return;
  linkState().stopping.store(1);
  areaHooks().askRecordingToEnd();
  areaHooks().askPlaybackToEnd();
  for (ThreadBlock* b : {&workers().monitor, &workers().replyReader, &workers().commandWriter,
                         &workers().audioIn, &workers().audioOut})
    b->runFlag.store(0);
  for (int pipe = kReplyPipe; pipe <= kAudioOutPipe; ++pipe)
    cancelTransfers(static_cast<PipeNumber>(pipe));
}

// The second: the threads that ended joined, the others left running.
void endAtExit() {
  Lifecycle& l = lifecycle();
  if (!runsHere()) return;
  // About a second of real time, whatever the library's clock runs at.
  const int looks = std::max(1, static_cast<int>(100 * platform::timeScale()));
  waitFor(allEnded, std::chrono::milliseconds(10), looks);

  if (!l.mutex.try_lock()) return;
  std::pair<std::unique_ptr<platform::Thread>*, Signalled<uint8_t>*> threads[] = {
      {&l.monitor, &workers().monitorAlive},
      {&l.replyReader, &workers().replyReaderAlive},
      {&l.commandWriter, &workers().commandWriterAlive},
      {&l.audioIn, &workers().audioInAlive},
      {&l.audioOut, &workers().audioOutAlive}};
  for (auto& [thread, threadAlive] : threads) {
    if (!*thread) continue;
    if (threadAlive->load() == 1)
      (*thread)->detach();
    else
      (*thread)->join();
  }
  l.mutex.unlock();
}

// Every context's threads are asked to end first, then each is waited for: the process's
// and every object's own that still runs.
void stopAtExit() {
  forEachContext(askToEndAtExit);
  forEachContext(endAtExit);
}

void stopAtExitOnce() {
  static const bool registered = std::atexit(stopAtExit) == 0;
  (void)registered;
}

// The command writer and the two audio threads, unless they run already.
void startWorkers(Lifecycle& l, CKusb_IO* io) TAVRO_REQUIRES(l.mutex) {
  if (l.commandWriter || l.audioIn || l.audioOut) return;  // they run already

  workers().commandWriter.owner.store(io);
  l.commandWriter =
      startThread(workers().commandWriter, workers().commandWriterAlive, commandWriterThread);

  workers().audioIn.owner.store(io);
  l.audioIn = startThread(workers().audioIn, workers().audioInAlive, areaHooks().audioIn,
                          platform::ThreadPriority::kHighest, kAudioInStackSize);

  workers().audioOut.owner.store(io);
  l.audioOut = startThread(workers().audioOut, workers().audioOutAlive, areaHooks().audioOut);

  // The other pipes open only once the reply pipe is connected: without it there is nothing
  // to wait for, and the link comes up by itself when the box appears.
  waitFor(
      [&] {
        return linkState().pipesOpened.load() >= 4 ||
               (linkState().openPipes.load() & (1u << kReplyPipe)) == 0;
      },
      kPipeWaitPoll, 8, &commandChannel().pollCounter);
}

void handOver(CKusb_IO* from, CKusb_IO* to) {
  MutexLock lock(commandChannel().testAreaMutex);
  std::memcpy(testReplyArea(*to), testReplyArea(*from), sizeof to->testReplyArea);
  for (ThreadBlock* b : {&workers().monitor, &workers().replyReader, &workers().commandWriter,
                         &workers().audioIn, &workers().audioOut})
    if (b->owner.load() == from) b->owner.store(to);
}

}  // namespace

bool libraryOfParent() {
  const pid_t by = lifecycle().startedBy.load();
  return by != 0 && by != ::getpid();
}

}  // namespace tavro

int CKusb_IO::InitialUSB_IO() {
  TAVRO_BIND_OBJECT();
  using namespace tavro;
  Lifecycle& l = lifecycle();
  if (libraryOfParent()) return 0;  // the parent's library: not this process's to join
  MutexLock lock(l.mutex);
  if (started_) return 1;
  if (!l.holders.empty()) {  // the library runs already: join it
    l.holders.push_back(this);
    started_ = true;
    return 1;
  }
  stopAtExitOnce();
  l.startedBy.store(::getpid());
  setInitialValues();
  holdBackends(l);

  workers().monitor.owner.store(this);
  l.monitor = startThread(workers().monitor, workers().monitorAlive, monitorThread);

  workers().replyReader.owner.store(this);
  l.replyReader = startThread(workers().replyReader, workers().replyReaderAlive, replyReaderThread);

  waitFor([] { return statusHas(kReaderReadyBit); }, kStartPoll, kNoLimit,
          &commandChannel().pollCounter);
  startWorkers(l, this);
  setStatusBits(kInitialisedBit);
  l.holders.push_back(this);
  started_ = true;
  return 1;
}

void CKusb_IO::Create_WRWThd() {
  TAVRO_BIND_OBJECT();
  using namespace tavro;
  Lifecycle& l = lifecycle();
  if (libraryOfParent()) return;  // the parent's threads (and maybe its held lock)
  MutexLock lock(l.mutex);
  startWorkers(l, this);
}

void CKusb_IO::ExistUSB_IO() {
  TAVRO_BIND_OBJECT();
  using namespace tavro;
  Lifecycle& l = lifecycle();
  // In a forked child the object is a copy: its library runs on in the parent. (The lock
  // may even have been copied held.)
  if (libraryOfParent()) return;
  MutexLock lock(l.mutex);
  if (!started_) return;
  started_ = false;
  l.holders.erase(std::remove(l.holders.begin(), l.holders.end(), this), l.holders.end());
  if (!l.holders.empty()) {  // others still use the library
    handOver(this, l.holders.front());
    return;
  }
  stopLibrary(l);
}

namespace tavro {

void monitorThread(ThreadBlock& block) {
  block.runFlag.store(1);
  workers().monitorAlive.store(1);
  while (block.runFlag.load() == 1) {
    const uint32_t events = noticeState().eventFlags.load();
    if (events & kRecordingActiveEvent) {
      noticeState().eventFlags.fetch_and(~kLinkLostEvent);
    } else if (events & kLinkLostEvent) {
      noticeState().eventFlags.fetch_and(~kLinkLostEvent);
      platform::showNotice(kLinkLostMessage, noticeSource());
    }
    // Wakes when a link loss is reported or the stop comes, not on a timer.
    waitFor(
        [&] {
          return block.runFlag.load() != 1 ||
                 (noticeState().eventFlags.load() & kLinkLostEvent) != 0;
        },
        std::chrono::milliseconds(500), kNoLimit);
  }
  workers().monitorAlive.store(0);
}

}  // namespace tavro
