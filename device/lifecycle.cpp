#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "audio/audio_threads.h"
#include "device/command.h"
#include "device/pipes.h"
#include "device/threads.h"
#include "device/wait.h"
#include "platform/platform.h"
#include "tavro/CKusb_IO.h"

namespace tavro {
namespace {

constexpr const char* kDeviceLinkName = "Z12EDEV-0";
constexpr size_t kAudioInStackSize = 10000;
constexpr std::chrono::milliseconds kStartPoll{10};
constexpr std::chrono::milliseconds kStopPoll{20};
constexpr std::chrono::milliseconds kPipeWaitPoll{100};
constexpr std::chrono::milliseconds kFinalPause{100};

// The library's threads and the objects that hold a start of it. Starting and stopping
// are serialised by lifecycleMutex.
struct Lifecycle {
  std::mutex mutex;
  std::vector<CKusb_IO*> holders;
  std::unique_ptr<platform::Thread> monitor, replyReader, commandWriter, audioIn, audioOut;
};

Lifecycle& lifecycle() {
  static Lifecycle l;
  return l;
}

void fillBlock(ThreadBlock& block, CKusb_IO* owner, const char* pipeName) {
  block.threadObject.store(nullptr);
  block.owner.store(owner);
  std::strncpy(block.deviceLinkName, kDeviceLinkName, sizeof block.deviceLinkName - 1);
  std::memset(block.pipeName, 0, sizeof block.pipeName);
  if (pipeName) std::strncpy(block.pipeName, pipeName, sizeof block.pipeName - 1);
}

// Starts a thread and waits until its body runs (alive and run flags set), so that a stop
// that follows at once cannot come before the thread's first statement.
std::unique_ptr<platform::Thread> startThread(
    ThreadBlock& block, std::atomic<uint8_t>& alive, void (*body)(ThreadBlock&),
    platform::ThreadPriority priority = platform::ThreadPriority::kNormal, size_t stackSize = 0) {
  auto thread =
      std::make_unique<platform::Thread>([&block, body] { body(block); }, priority, stackSize);
  block.threadObject.store(thread.get());
  waitFor([&] { return alive.load() == 1 && block.runFlag.load() == 1; }, kStartPoll, kNoLimit);
  return thread;
}

void setInitialValues() {
  DeviceState& s = state();
  s.stopping.store(0);
  s.commandReopen.store(1);
  s.audioInReopen.store(1);
  s.audioOutReopen.store(1);
  resetPipeCount();
  s.eventFlags.store(0);
  s.replyPipeUp.store(0);
  s.replyReaderAlive.store(0);
  s.commandWriterAlive.store(0);
  s.audioInAlive.store(0);
  s.audioOutAlive.store(0);
  s.dtmfWrite.store(0);
  s.dtmfRead.store(0);
  s.toneWrite.store(0);
  s.toneRead.store(0);
  for (auto* flag : {&s.deviceReady, &s.commandWaiting, &s.recorderBusy, &s.recordGo,
                     &s.hostBufferRecording, &s.bufferReadyA, &s.bufferReadyB, &s.recorderHold,
                     &s.fileSource, &s.seekRequest, &s.playMode, &s.hostDataReady}) {
    flag->store(0);
  }
  s.commandWriter.sendRequest.store(0);
  s.audioIn.audioInStart.store(0);
  s.audioOut.playbackFlag.store(0);
  s.recordedBytes.store(0);
  s.recordFinished.store(1);
  storeStatusWord(kInitialStatusWord);
}

// Stops one thread: clear its run flag, wait (bounded) for its alive flag, and if it is
// still running then, end its waits and cancel its blocked transfers so that it ends.
void stopThread(ThreadBlock& block, std::atomic<uint8_t>& alive,
                std::unique_ptr<platform::Thread>& thread, std::chrono::milliseconds poll,
                int pipe) {
  DeviceState& s = state();
  setFlag(block.runFlag, 0);
  if (!waitFor([&] { return alive.load() != 1; }, poll, 101, &s.pollCounter)) {
    setFlag(s.stopping, 1);
    if (pipe >= 0) cancelTransfers(static_cast<PipeNumber>(pipe));
  }
  if (thread) thread->join();
  thread.reset();
  block.threadObject.store(nullptr);
}

void stopLibrary() {
  Lifecycle& l = lifecycle();
  DeviceState& s = state();

  stopThread(s.monitor, s.monitorAlive, l.monitor, kStartPoll, -1);

  // The space-code request makes the box send one more record, which returns the reader
  // from its read. Its answer is not awaited: the reader's alive flag is what counts, and
  // a box that does not answer is cut off after the reader's wait.
  setFlag(s.replyReader.runFlag, 0);
  if (!linkDown() && !statusHas(kPendingBit) && s.commandWriter.runFlag.load() == 1) {
    const Packet space = makePacket({14});
    writeDataToUsb(space.data());
  }
  stopThread(s.replyReader, s.replyReaderAlive, l.replyReader, kStopPoll, kReplyPipe);

  // A recording or playback still running is finished properly, so that its file is whole.
  setFlag(s.recordGo, 0);
  setFlag(s.audioOut.stopRequest, 1);
  stopThread(s.audioIn, s.audioInAlive, l.audioIn, kStopPoll, kAudioInPipe);
  stopThread(s.audioOut, s.audioOutAlive, l.audioOut, kStopPoll, kAudioOutPipe);
  stopThread(s.commandWriter, s.commandWriterAlive, l.commandWriter, kStopPoll, kCommandPipe);

  platform::sleepFor(kFinalPause);
  for (ThreadBlock* b : {&s.monitor, &s.replyReader, &s.commandWriter, &s.audioIn, &s.audioOut})
    b->owner.store(nullptr);
  setFlag(s.stopping, 0);
  storeStatusWord(kInitialStatusWord);
}

void handOver(CKusb_IO* from, CKusb_IO* to) {
  DeviceState& s = state();
  std::lock_guard<std::mutex> lock(s.storeMutex);
  std::memcpy(to->testReplyArea, from->testReplyArea, sizeof to->testReplyArea);
  for (ThreadBlock* b : {&s.monitor, &s.replyReader, &s.commandWriter, &s.audioIn, &s.audioOut})
    if (b->owner.load() == from) b->owner.store(to);
}

}  // namespace
}  // namespace tavro

CKusb_IO::CKusb_IO() : testReplyArea{} {
  InitialUSB_IO();
}

CKusb_IO::~CKusb_IO() {
  ExistUSB_IO();
}

int CKusb_IO::InitialUSB_IO() {
  using namespace tavro;
  Lifecycle& l = lifecycle();
  std::lock_guard<std::mutex> lock(l.mutex);
  if (started_) return 1;
  if (!l.holders.empty()) {  // the library runs already: join it
    l.holders.push_back(this);
    started_ = true;
    return 1;
  }
  DeviceState& s = state();
  setInitialValues();

  fillBlock(s.monitor, this, nullptr);
  l.monitor = startThread(s.monitor, s.monitorAlive, monitorThread);

  fillBlock(s.replyReader, this, "PIPE00");
  s.replyReader.transferLength.store(64);
  l.replyReader = startThread(s.replyReader, s.replyReaderAlive, replyReaderThread);

  waitFor([] { return statusHas(kReaderReadyBit); }, kStartPoll, kNoLimit, &s.pollCounter);
  Create_WRWThd();
  setStatusBits(kInitialisedBit);
  l.holders.push_back(this);
  started_ = true;
  return 1;
}

void CKusb_IO::Create_WRWThd() {
  using namespace tavro;
  Lifecycle& l = lifecycle();
  DeviceState& s = state();
  if (l.commandWriter || l.audioIn || l.audioOut) return;  // they run already

  fillBlock(s.commandWriter, this, "PIPE01");
  s.commandWriter.transferLength.store(64);
  l.commandWriter = startThread(s.commandWriter, s.commandWriterAlive, commandWriterThread);

  fillBlock(s.audioIn, this, "PIPE02");
  l.audioIn = startThread(s.audioIn, s.audioInAlive, audioInThread,
                          platform::ThreadPriority::kHighest, kAudioInStackSize);

  s.audioOut.playbackFlag.store(0);
  fillBlock(s.audioOut, this, "PIPE03");
  l.audioOut = startThread(s.audioOut, s.audioOutAlive, audioOutThread);

  // The other pipes open only once the reply pipe is connected: without it there is nothing
  // to wait for, and the link comes up by itself when the box appears.
  waitFor(
      [&] { return s.pipesOpened.load() >= 4 || (s.openPipes.load() & (1u << kReplyPipe)) == 0; },
      kPipeWaitPoll, 8, &s.pollCounter);
}

void CKusb_IO::ExistUSB_IO() {
  using namespace tavro;
  Lifecycle& l = lifecycle();
  std::lock_guard<std::mutex> lock(l.mutex);
  if (!started_) return;
  started_ = false;
  l.holders.erase(std::remove(l.holders.begin(), l.holders.end(), this), l.holders.end());
  if (!l.holders.empty()) {  // others still use the library
    handOver(this, l.holders.front());
    return;
  }
  stopLibrary();
}

namespace tavro {

void monitorThread(ThreadBlock& block) {
  DeviceState& s = state();
  setFlag(block.runFlag, 1);
  setFlag(s.monitorAlive, 1);
  while (block.runFlag.load() == 1) {
    const uint32_t events = s.eventFlags.load();
    if (events & kRecordingActiveEvent) {
      s.eventFlags.fetch_and(~kLinkLostEvent);
    } else if (events & kLinkLostEvent) {
      s.eventFlags.fetch_and(~kLinkLostEvent);
      platform::showNotice(kLinkLostMessage);
    }
    // Wakes when a link loss is reported or the stop comes, not on a timer.
    waitFor(
        [&] { return block.runFlag.load() != 1 || (s.eventFlags.load() & kLinkLostEvent) != 0; },
        std::chrono::milliseconds(500), kNoLimit);
  }
  setFlag(s.monitorAlive, 0);
}

}  // namespace tavro
