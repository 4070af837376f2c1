#include <algorithm>
#include <array>
#include <cstring>
#include <utility>
#include <vector>

#include "device/binding.h"
#include "device/command.h"
#include "device/event_sink.h"
#include "device/pipes.h"
#include "device/reply_dispatch.h"
#include "device/threads.h"
#include "device/wait.h"
#include "platform/platform.h"
#include "protocol/control.h"
#include "tavro/CKusb_IO.h"

namespace tavro {
namespace {

constexpr std::chrono::milliseconds kConnectRetry{50};
constexpr std::chrono::milliseconds kLinkLostPause{500};
// The records taken in at most as the reply pipe connects, before it counts as up.
constexpr int kHeldAtConnect = 64;
// While the backends tell of every device that comes or goes, a reader that found no box
// waits for a change, and looks again by itself only after this many retry periods (1 s).
constexpr int kUnchangedLooks = 20;
// After a change, the next attempts come after these back-offs, none longer than the retry
// period: a box may be seen before it accepts connections (its socket file exists before
// it listens). A further change starts them again.
constexpr std::array<std::chrono::milliseconds, 8> kBackOff{
    std::chrono::milliseconds(1),  std::chrono::milliseconds(2),  std::chrono::milliseconds(5),
    std::chrono::milliseconds(10), std::chrono::milliseconds(20), std::chrono::milliseconds(50),
    std::chrono::milliseconds(50), std::chrono::milliseconds(50)};

// The probe: a vendor read of one byte; only its success counts.
bool probeDevice(platform::BackendDevice* control) {
  uint8_t answer = 0;
  return control != nullptr && control->vendorRequest(true, 0, kProbeIndex, &answer, 1);
}

}  // namespace

unsigned char* testReplyArea(CKusb_IO& io) {
  return io.testReplyArea;
}

unsigned char* testReplyAreaOf(CKusb_IO* caller) {
  CKusb_IO* owner = workers().replyReader.owner.load();
  return testReplyArea(owner ? *owner : *caller);
}

namespace {

Pending noUsed(const ReplyRecord& r) {
  platform::showNotice(kNoUsedMessage, noticeSource());
  if (r[1] == 1)
    setStatusBits(kReply3Bit);
  else
    clearStatusBits(kReply3Bit);
  return Pending::kClear;
}

Pending reply3(const ReplyRecord&) {
  setStatusBits(kReply3Bit);
  postEvent(TAVRO_EVENT_RING);
  return Pending::kClear;
}

Pending reply6(const ReplyRecord&) {
  setStatusBits(kReply6Bit);
  return Pending::kClear;
}

Pending statusItem(const ReplyRecord& r) {
  applyStatusItem(r[1], r[2]);
  return Pending::kKeep;
}

Pending readyStatusItem(const ReplyRecord& r) {
  if (r[1] == codeOf(ReadySubType::kStatusItem)) applyStatusItem(r[2], r[3]);
  return Pending::kClear;
}

Pending testReply(const ReplyRecord& r) {
  if (r[1] != kTestReplyFilled) return Pending::kKeep;
  MutexLock lock(commandChannel().testAreaMutex);
  if (CKusb_IO* owner = workers().replyReader.owner.load())
    std::memcpy(testReplyArea(*owner), r.bytes + 4, 60);
  return Pending::kClear;
}

Pending testRecord(const ReplyRecord& r) {
  MutexLock lock(commandChannel().testAreaMutex);
  if (CKusb_IO* owner = workers().replyReader.owner.load())
    std::memcpy(testReplyArea(*owner), r.bytes, kRecordSize);
  return Pending::kClear;
}

}  // namespace

void addLinkReplyHandlers() {
  addReplyHandler(Reply::kNoUsed, noUsed);
  addReplyHandler(Reply::kReply3, reply3);
  addReplyHandler(Reply::kReply6, reply6);
  addReplyHandler(Reply::kStatusItem, statusItem);
  addReplyHandler(Reply::kDeviceReady, readyStatusItem);
  addReplyHandler(Reply::kTestReply, testReply);
  addReplyHandler(Reply::kTestRecord, testRecord);
}

void replyReaderThread(ThreadBlock& block) {
  block.runFlag.store(1);
  std::vector<uint8_t> buffer(kRecordSize + 16);
  workers().replyReaderAlive.store(1);

  auto running = [&] { return block.runFlag.load() == 1; };
  auto stopped = [&] { return block.runFlag.load() != 1; };
  PipeHandles handles;
  registerHandles(kReplyPipe, &handles);
  auto closeHandles = [&] { handles.close(); };

  // From the third failed attempt in a row on, the reader reports itself ready, so that
  // the start-up wait ends with the link down; attempts go on every 50 ms. While the
  // backends tell of devices that come and go, the attempts after the third wait for such
  // a change instead (at most 1 s). After a change, the attempts follow the back-off. The
  // polling mode keeps the documented 50 ms pace and the plain pauses.
  LinkState& link = linkState();
  const bool polling = waitMode() == WaitMode::kPoll;
  int attempts = 0;
  size_t backOff = kBackOff.size();  // the next back-off step; past the end, none
  uint32_t changesSeen = link.deviceChanges.load();
  auto changed = [&] { return link.deviceChanges.load() != changesSeen; };
  auto stoppedOrChanged = [&] { return stopped() || changed(); };
  auto attemptFailed = [&] {
    const bool starting = attempts <= 1;
    if (attempts > 1)
      setStatusBits(kReaderReadyBit);
    else
      ++attempts;
    if (polling) {
      napUnless(stopped, kConnectRetry);
      return;
    }
    if (changed()) backOff = 0;
    if (backOff < kBackOff.size()) {
      napUnless(stoppedOrChanged, kBackOff[backOff++]);
    } else if (starting || link.changesWatched.load() != 1) {
      napUnless(stopped, kConnectRetry);
    } else {
      waitFor(stoppedOrChanged, kConnectRetry, kUnchangedLooks);
    }
    if (changed()) backOff = 0;
  };
  // The pause after a lost link, as a wait for the box: a device that arrives ends it when
  // the reply pipe then opens (a box seen but not yet listening is tried again after the
  // back-off, a further arrival starts it anew), and gives that pipe; else it lasts its
  // 500 ms. A departure (the lost box's own, most often) does not end it.
  auto pauseForBox = [&]() -> PipeRef {
    if (polling || link.changesWatched.load() != 1) {
      napUnless(stopped, kLinkLostPause);
      return nullptr;
    }
    const auto until = platform::Clock::now() + platform::realDuration(kLinkLostPause);
    uint32_t arrivalsSeen = link.deviceArrivals.load();
    auto stoppedOrArrived = [&] { return stopped() || link.deviceArrivals.load() != arrivalsSeen; };
    size_t step = kBackOff.size();  // the next back-off step; past the end, none
    while (!stopped()) {
      auto next = until;
      if (step < kBackOff.size())
        next = std::min(until, platform::Clock::now() + platform::realDuration(kBackOff[step]));
      const bool arrived = waitUntilTime(stoppedOrArrived, next);
      if (stopped() || platform::Clock::now() >= until) break;
      if (arrived) {
        arrivalsSeen = link.deviceArrivals.load();
        step = 0;
      } else if (step < kBackOff.size()) {
        ++step;
      }
      if (PipeRef pipe = OpenPipe(kReplyPipe)) return pipe;
    }
    return nullptr;
  };
  PipeRef reopened;  // the pipe the pause opened
  while (running()) {
    // Connect. A change told of from now on makes the next attempt come soon.
    changesSeen = link.deviceChanges.load();
    const bool cameBack = reopened != nullptr;
    PipeRef pipe = cameBack ? std::exchange(reopened, nullptr) : OpenPipe(kReplyPipe);
    if (pipe == nullptr) {
      attemptFailed();
      continue;
    }
    handles.replace(std::move(pipe), OpenDeviceControl());
    if (!probeDevice(handles.control.get())) {
      // A box that refuses the probe counts as a failed attempt, so that the start-up wait
      // ends after the third one; retry after the usual pause rather than at once.
      closeHandles();
      attemptFailed();
      continue;
    }
    attempts = 0;
    backOff = kBackOff.size();
    pipeOpened(kReplyPipe);
    setStatusBits(kReaderReadyBit);
    // The settling nap of a start; a box whose arrival ended the pause after a lost link has
    // been waited for already, and the other three pipes wait for this one.
    if (!cameBack) napUnless(stopped, kConnectRetry);
    if (!running()) break;

    // What the box sent as the pipe connected (a shared box tells that the line is off
    // hook) is taken in before the pipe counts as up, which the other pipes wait for: the
    // link comes up with it. At most a queue's worth, so that a box that sends on and on
    // does not hold the link back.
    bool failed = false;
    for (int held = 0; held < kHeldAtConnect; ++held) {
      std::memset(buffer.data(), 0, kRecordSize);
      uint32_t got = 0;
      if (!handles.readHeld(buffer.data(), kRecordSize, &got)) {
        failed = true;
        break;
      }
      if (got == 0) break;
      const uint64_t posted = commandsPosted();
      buffer[kRecordSize] = 0;
      settlePending(posted, buffer.data(), dispatchReplyRecord(buffer.data(), got));
    }

    // Read loop.
    while (!failed) {
      linkState().replyPipeUp.store(1);
      std::memset(buffer.data(), 0, kRecordSize);
      uint32_t got = 0;
      if (!handles.read(buffer.data(), kRecordSize, &got) || got == 0) {
        failed = true;
        break;
      }
      const uint64_t posted = commandsPosted();
      buffer[kRecordSize] = 0;
      settlePending(posted, buffer.data(), dispatchReplyRecord(buffer.data(), got));
      if (!running()) break;
    }
    if (!failed) break;  // stopping
    if (!running()) break;

    // The reply pipe failed: the link is lost. The pipe leaves the count at once, so that no
    // other thread's reopen can mark the link up while the reply pipe is down.
    pipeClosed(kReplyPipe);
    if (handles.pipe) handles.pipe->reset();
    changeStatusBits(kReaderReadyBit, kLinkFaultBit | kLinkDownBit | kLinkLostBit);
    endLinkEpoch();
    // The event goes out before the monitor is woken, so that it comes before the notice.
    postEvent(TAVRO_EVENT_LINK_LOST);
    noticeState().eventFlags.fetch_or(kLinkLostEvent);
    linkState().replyPipeUp.store(0);
    reopened = pauseForBox();
    reopenAllPipes();
    clearStatusBits(kReaderReadyBit);
    closeHandles();
    attempts = 0;
  }
  if (reopened) reopened->cancel();

  clearStatusBits(kReaderReadyBit);
  registerHandles(kReplyPipe, nullptr);
  closeHandles();
  block.runFlag.store(0);
  workers().replyReaderAlive.store(0);
}

}  // namespace tavro

void CKusb_IO::ProcQVStatus(unsigned char* item) {
  TAVRO_BIND_OBJECT();
  if (item == nullptr) return;
  tavro::applyStatusItem(item[0], item[1]);
}
