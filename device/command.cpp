#include "device/command.h"
#include "device/binding.h"

#include <algorithm>
#include <cstring>

#include "device/hooks.h"
#include "device/pipes.h"
#include "device/state.h"
#include "device/threads.h"
#include "device/wait.h"
#include "platform/platform.h"
#include "tavro/CKusb_IO.h"

namespace tavro {
namespace {

constexpr int kSendWaitPolls = 100;  // Write_Data_to_USB's waits
constexpr std::chrono::milliseconds kWriterPoll{50};

bool recording() {
  return areaHooks().recording();
}

bool recorderReading() {
  return areaHooks().recorderReading();
}

// A turn on the command channel: callers from several threads queue for it, one behind
// another, for at most as long as a send waits for the previous command. The round trip
// holds one from the send to the answer; every send holds another from its look at the
// pending bit to the packet posted, so that two sends never post at once.
class Turn {
 public:
  explicit Turn(Signalled<uint8_t>& busy)
      : busy_(busy), held_(waitPolled([this] { return take(); }, kCommandPoll, kSendWaitPolls)) {}
  ~Turn() {
    if (held_) busy_.store(0);
  }
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;
  bool held() const { return held_; }

 private:
  bool take() {
    uint8_t expected = 0;
    return busy_.compare_exchange_strong(expected, 1);
  }
  Signalled<uint8_t>& busy_;
  bool held_;
};

bool pendingClear() {
  return !statusHas(kPendingBit);
}

}  // namespace

Packet makePacket(std::initializer_list<uint8_t> head) {
  Packet p{};
  std::copy_n(head.begin(), std::min(head.size(), p.size()), p.begin());
  return p;
}

Packet makePacket(Command code, std::initializer_list<uint8_t> args) {
  Packet p{};
  p[0] = codeOf(code);
  std::copy_n(args.begin(), std::min(args.size(), p.size() - 1), p.begin() + 1);
  return p;
}

int writeDataToUsb(const uint8_t* packet, AnswerMatch answer, uint64_t* post,
                   const uint32_t* epoch) {
  CommandChannel& c = commandChannel();
  if (workers().commandWriter.runFlag.load() != 1) return TAVRO_ERROR_NOT_RUNNING;
  Turn turn(c.sendBusy);
  if (!turn.held()) return TAVRO_ERROR_TIMEOUT;
  if (!waitPolled(pendingClear, kCommandPoll, kSendWaitPolls, &c.pollCounter)) {
    // The previous command's own answer never came: from now on any record that clears
    // the pending bit ends it, so that the channel cannot stay blocked for good.
    MutexLock lock(c.postMutex);
    c.awaited = nullptr;
    return TAVRO_ERROR_TIMEOUT;
  }

  // The writer must have taken the previous packet before the staging area is written
  // again: a record that ends a command unasked may come before the writer has woken.
  if (!waitPolled([&] { return c.sendRequest.load() == 0; }, kCommandPoll, kSendWaitPolls,
                  &c.pollCounter))
    return TAVRO_ERROR_TIMEOUT;

  // During a recording the recorder pauses between reads before the packet is queued, and
  // then holds its reads until the answer has cleared the pending bit.
  const bool duringRecording = recording();
  if (duringRecording) {
    c.commandWaiting.store(1);
    if (!waitPolled([] { return !recorderReading(); }, kCommandPoll, kSendWaitPolls,
                    &c.pollCounter)) {
      c.commandWaiting.store(0);
      return TAVRO_ERROR_TIMEOUT;
    }
  }
  {
    MutexLock lock(c.postMutex);
    // Checked with the lock that the loss of the link takes to end the pending command: a
    // packet posted after that would stay pending with no answer to come.
    if (epoch && (linkDown() || linkState().linkEpoch.load() != *epoch)) {
      if (duringRecording) c.commandWaiting.store(0);
      return TAVRO_ERROR_LINK_DOWN;
    }
    ++c.posted;
    c.awaited = answer;
    if (post) *post = c.posted;
    setStatusBits(kPendingBit);
  }
  std::memcpy(c.staging.data(), packet, kPacketSize);
  c.sendRequest.store(1, std::memory_order_release);
  if (duringRecording) c.commandWaiting.store(0);
  return TAVRO_SUCCESS;
}

bool playbackRuns() {
  return areaHooks().playing();
}

uint64_t commandsPosted() {
  CommandChannel& c = commandChannel();
  MutexLock lock(c.postMutex);
  return c.posted;
}

void settlePending(uint64_t posted, const uint8_t* record, bool clears) {
  CommandChannel& c = commandChannel();
  MutexLock lock(c.postMutex);
  if (c.posted != posted || !clears) return;
  // A command whose result is its answer's data is ended by that answer only. One that
  // comes after the time-out still ends it, before the next command is sent, so that the
  // next command never takes it for its own.
  if (c.awaited != nullptr && !c.awaited(record)) return;
  // The bit first: the caller that the answer wakes returns with it clear.
  clearStatusBits(kPendingBit);
  if (c.awaited != nullptr) c.answered.store(posted);
}

void endLinkEpoch() {
  CommandChannel& c = commandChannel();
  MutexLock lock(c.postMutex);
  linkState().linkEpoch.fetch_add(1);
  clearStatusBits(kPendingBit);
}

int awaitAnswer(uint32_t epoch, int maxPolls, uint64_t post) {
  CommandChannel& c = commandChannel();
  auto answered = [&] { return post == 0 ? pendingClear() : c.answered.load() == post; };
  const bool done = waitPolled([&] { return answered() || linkState().linkEpoch.load() != epoch; },
                               kCommandPoll, maxPolls, &c.pollCounter);
  if (linkState().linkEpoch.load() != epoch) return TAVRO_ERROR_LINK_DOWN;
  return done ? TAVRO_SUCCESS : TAVRO_ERROR_TIMEOUT;
}

int commandRoundTrip(const Packet& packet, int maxPolls, AnswerMatch answer, int attempts,
                     int* unanswered) {
  if (unanswered) *unanswered = 0;
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  Turn turn(commandChannel().roundTripBusy);
  if (!turn.held()) return TAVRO_ERROR_TIMEOUT;
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  int result = TAVRO_ERROR_TIMEOUT;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    const uint32_t epoch = linkState().linkEpoch.load();
    uint64_t post = 0;
    result = writeDataToUsb(packet.data(), answer, answer ? &post : nullptr, &epoch);
    if (result < TAVRO_SUCCESS) break;  // not sent: no more attempts
    result = awaitAnswer(epoch, maxPolls, post);
    if (result != TAVRO_ERROR_TIMEOUT) break;  // answered, or the link is gone
    if (unanswered) ++*unanswered;
  }
  return result;
}

int commandRoundTrip(const CommandSpec& command, std::initializer_list<uint8_t> args) {
  return commandRoundTrip(makePacket(command.code, args), command.polls, command.answer);
}

void commandWriterThread(ThreadBlock& block) {
  workers().commandWriterAlive.store(1);
  block.runFlag.store(1);
  PipeHandles handles;
  registerHandles(kCommandPipe, &handles);
  Packet out{};

  while (block.runFlag.load() == 1) {
    applyReopenRule(linkState().commandReopen, kCommandPipe, /*needsControl=*/false, handles);
    if (commandChannel().sendRequest.load(std::memory_order_acquire) != 1) {
      const bool retrying =
          linkState().commandReopen.load() == 1 && linkState().replyPipeUp.load() == 1;
      auto wake = [&] {
        return block.runFlag.load() != 1 || commandChannel().sendRequest.load() == 1 ||
               (linkState().commandReopen.load() == 1 && linkState().replyPipeUp.load() == 1);
      };
      if (retrying) {
        napUnless(
            [&] { return block.runFlag.load() != 1 || commandChannel().sendRequest.load() == 1; },
            kWriterPoll);
      } else {
        waitFor(wake, kWriterPoll, kNoLimit);
      }
      continue;
    }
    // Take the packet before writing it: the box may answer, and the next packet be
    // posted, before this write has returned.
    std::memcpy(out.data(), commandChannel().staging.data(), kPacketSize);
    commandChannel().sendRequest.store(0);
    uint32_t written = 0;
    if (!handles.write(out.data(), kPacketSize, &written)) {
      ownTransferFailed(linkState().commandReopen, kCommandPipe, handles);
      setStatusBits(kLinkDownBit);
    }
  }
  registerHandles(kCommandPipe, nullptr);
  handles.close();
  workers().commandWriterAlive.store(0);
}

}  // namespace tavro

int CKusb_IO::Write_Data_to_USB(unsigned char* packet) {
  TAVRO_BIND_OBJECT();
  if (packet == nullptr) return TAVRO_ERROR_INVALID_ARGUMENT;
  return tavro::writeDataToUsb(packet);
}

int CKusb_IO::RequestSpaceCode() {
  TAVRO_BIND_OBJECT();
  return tavro::commandRoundTrip(tavro::commands::kSpaceCode);
}

int CKusb_IO::Test_End0_WR(unsigned char code, unsigned char* data) {
  TAVRO_BIND_OBJECT();
  using namespace tavro;
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  if (data == nullptr) return TAVRO_ERROR_INVALID_ARGUMENT;
  Packet packet{};
  packet[0] = code;
  std::memcpy(packet.data() + 4, data, 60);

  int unanswered = 0;
  const int result = commandRoundTrip(packet, kTestTransferPolls, kTestTransferAnswer,
                                      kTestTransferAttempts, &unanswered);
  // Only when every attempt went out and none was answered.
  if (unanswered == kTestTransferAttempts)
    platform::showNotice(kReceiveErrorMessage, noticeSource());
  if (result != TAVRO_SUCCESS) return result;
  MutexLock lock(commandChannel().testAreaMutex);
  std::memcpy(data + 4, testReplyAreaOf(this), 60);
  return TAVRO_SUCCESS;
}
