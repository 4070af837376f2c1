#include "device/command.h"

#include <algorithm>
#include <cstring>

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

// Callers of the round trip from several threads queue here, one behind another, for at
// most as long as a send waits for the previous command.
std::atomic<uint8_t> gRoundTripBusy{0};

bool takeRoundTrip() {
  uint8_t expected = 0;
  return gRoundTripBusy.compare_exchange_strong(expected, 1);
}

class RoundTripTurn {
 public:
  RoundTripTurn()
      : held_(waitPolled([] { return takeRoundTrip(); }, kCommandPoll, kSendWaitPolls)) {}
  ~RoundTripTurn() {
    if (held_) setFlag(gRoundTripBusy, 0);
  }
  bool held() const { return held_; }

 private:
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

int writeDataToUsb(const uint8_t* packet) {
  DeviceState& s = state();
  if (s.commandWriter.runFlag.load() != 1) return -2;
  if (!waitPolled(pendingClear, kCommandPoll, kSendWaitPolls, &s.pollCounter)) return -3;

  // During a recording the recorder pauses between reads before the packet is queued, and
  // then holds its reads until the answer has cleared the pending bit.
  const bool recording = s.audioIn.audioInStart.load() == 1;
  if (recording) {
    setFlag(s.commandWaiting, 1);
    if (!waitPolled([&] { return s.recorderBusy.load() == 0; }, kCommandPoll, kSendWaitPolls,
                    &s.pollCounter)) {
      setFlag(s.commandWaiting, 0);
      return -3;
    }
  }
  setStatusBits(kPendingBit);
  std::memcpy(s.commandStaging.data(), packet, kPacketSize);
  s.commandWriter.transferBuffer.store(s.commandStaging.data());
  s.commandWriter.transferLength.store(kPacketSize);
  setFlag(s.commandWriter.sendRequest, 1);
  if (recording) setFlag(s.commandWaiting, 0);
  return 1;
}

int awaitAnswer(uint32_t epoch, int maxPolls) {
  DeviceState& s = state();
  const bool done = waitPolled([&] { return pendingClear() || s.linkEpoch.load() != epoch; },
                               kCommandPoll, maxPolls, &s.pollCounter);
  if (s.linkEpoch.load() != epoch) return -1;
  return done ? 1 : -3;
}

int commandRoundTrip(const Packet& packet, int maxPolls) {
  if (linkDown()) return -1;
  RoundTripTurn turn;
  if (!turn.held()) return -3;
  if (linkDown()) return -1;
  const uint32_t epoch = state().linkEpoch.load();
  const int sent = writeDataToUsb(packet.data());
  if (sent < 1) return sent;
  return awaitAnswer(epoch, maxPolls);
}

void commandWriterThread(ThreadBlock& block) {
  DeviceState& s = state();
  setFlag(s.commandWriterAlive, 1);
  setFlag(block.runFlag, 1);
  PipeHandles handles;
  registerHandles(kCommandPipe, &handles);
  Packet out{};

  while (block.runFlag.load() == 1) {
    applyReopenRule(s.commandReopen, kCommandPipe, /*needsControl=*/false, handles);
    if (block.sendRequest.load(std::memory_order_acquire) != 1) {
      const bool retrying = s.commandReopen.load() == 1 && s.replyPipeUp.load() == 1;
      auto wake = [&] {
        return block.runFlag.load() != 1 || block.sendRequest.load() == 1 ||
               (s.commandReopen.load() == 1 && s.replyPipeUp.load() == 1);
      };
      if (retrying) {
        napUnless([&] { return block.runFlag.load() != 1 || block.sendRequest.load() == 1; },
                  kWriterPoll);
      } else {
        waitFor(wake, kWriterPoll, kNoLimit);
      }
      continue;
    }
    // Take the packet before writing it: the box may answer, and the next packet be
    // posted, before this write has returned.
    const uint32_t length = std::min<uint32_t>(block.transferLength.load(), kPacketSize);
    std::memcpy(out.data(), block.transferBuffer.load(), length);
    setFlag(block.sendRequest, 0);
    uint32_t written = 0;
    if (!platform::writeFile(handles.pipe, out.data(), length, &written)) {
      ownTransferFailed(s.commandReopen, kCommandPipe, handles);
      setStatusBits(kLinkDownBit);
    }
  }
  registerHandles(kCommandPipe, nullptr);
  handles.close();
  setFlag(s.commandWriterAlive, 0);
}

}  // namespace tavro

int CKusb_IO::Write_Data_to_USB(unsigned char* packet) {
  if (packet == nullptr) return -2;
  return tavro::writeDataToUsb(packet);
}

int CKusb_IO::RequestSpaceCode() {
  return tavro::commandRoundTrip(tavro::makePacket({14}), 100);
}

int CKusb_IO::Test_End0_WR(unsigned char code, unsigned char* data) {
  using namespace tavro;
  if (linkDown()) return -1;
  if (data == nullptr) return -2;
  Packet packet{};
  packet[0] = code;
  std::memcpy(packet.data() + 4, data, 60);

  RoundTripTurn turn;
  if (!turn.held()) return -3;
  int result = -3;
  int failed = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const uint32_t epoch = state().linkEpoch.load();
    const int sent = writeDataToUsb(packet.data());
    if (sent < 1) {
      result = sent;  // the attempts end without the message
      break;
    }
    result = awaitAnswer(epoch, 100);
    if (result != -3) break;  // answered, or the link is gone
    ++failed;
  }
  if (failed == 3) platform::showNotice("Receive Error!");
  if (result != 1) return result;
  std::lock_guard<std::mutex> lock(state().storeMutex);
  std::memcpy(data + 4, testReplyAreaOf(this), 60);
  return 1;
}
