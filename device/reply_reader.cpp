#include <algorithm>
#include <cstring>
#include <vector>

#include "device/pipes.h"
#include "device/threads.h"
#include "device/wait.h"
#include "incoming/rings.h"
#include "platform/platform.h"
#include "tavro/CKusb_IO.h"

namespace tavro {
namespace {

constexpr uint32_t kRecordSize = 64;
constexpr std::chrono::milliseconds kConnectRetry{50};
constexpr std::chrono::milliseconds kLinkLostPause{500};

uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void applyStatusItem(uint8_t kind, uint8_t value) {
  if (kind == 1) {
    if (value == 1)
      setStatusBits(kOffHookBit);
    else
      clearStatusBits(kOffHookBit);
  } else if (kind == 3 && value == 0) {
    setFlag(state().playbackFault, -1);
  }
}

// The probe: a vendor read of one byte, index 0x0472; only its success counts.
bool probeDevice(platform::Handle control) {
  if (control == platform::kInvalidHandle) return false;
  uint8_t answer = 0;
  platform::VendorRequest request{0, 1, &answer, 0x0472};
  return platform::deviceIoControl(control, platform::kVendorRead, &request);
}

}  // namespace

const char* const kLinkLostMessage =
    "               接入器连接不正常!\n"
    "或请先退出应用程序后，再拔出USB接头。\n"
    "           或USB链接头接触不良。";

unsigned char* testReplyAreaOf(CKusb_IO* caller) {
  CKusb_IO* owner = state().replyReader.owner.load();
  return owner ? owner->testReplyArea : caller->testReplyArea;
}

bool dispatchReplyRecord(const uint8_t* received, size_t size) {
  DeviceState& s = state();
  // Bytes that were not received read as zero, never as a previous record's.
  uint8_t r[kRecordSize] = {};
  std::memcpy(r, received, size < kRecordSize ? size : kRecordSize);
  const size_t got = size < kRecordSize ? size : kRecordSize;

  switch (r[0]) {
    case 2:
      platform::showNotice("NoUsed 0x02");
      if (r[1] == 1)
        setStatusBits(kReply3Bit);
      else
        clearStatusBits(kReply3Bit);
      return true;
    case 3:
      setStatusBits(kReply3Bit);
      return true;
    case 4: {
      if (!statusHas(kInitialisedBit)) return false;
      if (r[1] == 1) {
        // Bytes 1 to byte 3 + 4, kept within the record: at most 63 bytes and the zero, and
        // never more than were received.
        size_t n = size_t{r[3]} + 4;
        if (n > kRecordSize - 1) n = kRecordSize - 1;
        if (got < 1) n = 0;
        if (n > got - 1) n = got - 1;
        std::lock_guard<std::mutex> lock(s.storeMutex);
        std::memcpy(s.callerNumberRecord.data(), r + 1, n);
        // The zero after them, and zeros to the end, so that a record cut short by a short
        // read never runs on into an earlier call's digits.
        std::fill(s.callerNumberRecord.begin() + n, s.callerNumberRecord.end(), 0);
        s.callerNumberSequence.fetch_add(1);
      } else if (r[1] == 2) {
        std::lock_guard<std::mutex> lock(s.storeMutex);
        s.callerNumberRecord[0] = 2;
        s.callerNumberRecord[1] = 0;
        s.callerNumberSequence.fetch_add(1);
      }
      setStatusBits(kCallerNumberBit);
      return true;
    }
    case 5: {
      const uint16_t second = static_cast<uint16_t>(r[2] | r[3] << 8);
      appendTone(r[1], second);
      if (second > 10) setStatusBits(kToneBit);
      return false;
    }
    case 6:
      setStatusBits(kReply6Bit);
      return true;
    case 7:
      appendDtmf(r[1]);
      return false;
    case 8:
      s.flagsValue.store(le32(r + 1));
      return true;
    case 9:
      setFlag(s.deviceReady, 1);
      if (r[1] == 208)
        applyStatusItem(r[2], r[3]);
      else if (r[1] == 209)
        s.flagsValue.store(le32(r + 2));
      return true;
    case 10:
    case 19:
      s.acknowledgeByte.store(r[1]);
      return true;
    case 11: {
      std::lock_guard<std::mutex> lock(s.storeMutex);
      s.replyBuffer[0] = r[1];
      s.replyBuffer[1] = 0;
      return true;
    }
    case 18: {
      std::lock_guard<std::mutex> lock(s.storeMutex);
      std::memcpy(s.replyBuffer.data(), r + 1, 11);
      s.replyBuffer[11] = 0;
      return true;
    }
    case 208:
      applyStatusItem(r[1], r[2]);
      return false;
    case 240: {
      if (r[1] != 1) return false;
      std::lock_guard<std::mutex> lock(s.storeMutex);
      if (CKusb_IO* owner = s.replyReader.owner.load())
        std::memcpy(owner->testReplyArea, r + 4, 60);
      return true;
    }
    case 241: {
      std::lock_guard<std::mutex> lock(s.storeMutex);
      if (CKusb_IO* owner = s.replyReader.owner.load()) std::memcpy(owner->testReplyArea, r, 64);
      return true;
    }
    default:
      return true;
  }
}

void replyReaderThread(ThreadBlock& block) {
  DeviceState& s = state();
  setFlag(block.runFlag, 1);
  std::vector<uint8_t> buffer(kRecordSize + 16);
  block.transferBuffer.store(buffer.data());
  setFlag(s.replyReaderAlive, 1);

  auto running = [&] { return block.runFlag.load() == 1; };
  auto stopped = [&] { return block.runFlag.load() != 1; };
  PipeHandles handles;
  registerHandles(kReplyPipe, &handles);
  auto closeHandles = [&] { handles.close(); };

  // From the third failed attempt in a row on, the reader reports itself ready, so that
  // the start-up wait ends with the link down; attempts go on every 50 ms.
  int attempts = 0;
  auto attemptFailed = [&] {
    if (attempts > 1)
      setStatusBits(kReaderReadyBit);
    else
      ++attempts;
    napUnless(stopped, kConnectRetry);
  };
  while (running()) {
    // Connect.
    const platform::Handle pipe = OpenPipe("PIPE00");
    if (pipe == platform::kInvalidHandle) {
      attemptFailed();
      continue;
    }
    const platform::Handle control = OpenDeviceControl();
    handles.replace(pipe, control);
    if (!probeDevice(control)) {
      // A box that refuses the probe counts as a failed attempt, so that the start-up wait
      // ends after the third one; retry after the usual pause rather than at once.
      closeHandles();
      attemptFailed();
      continue;
    }
    attempts = 0;
    pipeOpened(kReplyPipe);
    setStatusBits(kReaderReadyBit);
    napUnless(stopped, kConnectRetry);
    if (!running()) break;

    // Read loop.
    bool failed = false;
    while (!failed) {
      setFlag(s.replyPipeUp, 1);
      std::memset(buffer.data(), 0, kRecordSize);
      uint32_t got = 0;
      if (!platform::readFile(handles.pipe, buffer.data(), kRecordSize, &got) || got == 0) {
        failed = true;
        break;
      }
      buffer[kRecordSize] = 0;
      if (dispatchReplyRecord(buffer.data(), got)) clearStatusBits(kPendingBit);
      if (!running()) break;
    }
    if (!failed) break;  // stopping
    if (!running()) break;

    // The reply pipe failed: the link is lost. The pipe leaves the count at once, so that no
    // other thread's reopen can mark the link up while the reply pipe is down.
    pipeClosed(kReplyPipe);
    platform::deviceIoControl(handles.pipe, platform::kPipeReset, nullptr);
    changeStatusBits(kReaderReadyBit, kLinkFaultBit | kLinkDownBit | kLinkLostBit);
    s.linkEpoch.fetch_add(1);
    clearStatusBits(kPendingBit);
    s.eventFlags.fetch_or(kLinkLostEvent);
    notifyStateChange();
    setFlag(s.replyPipeUp, 0);
    napUnless(stopped, kLinkLostPause);
    s.commandReopen.store(1);
    s.audioInReopen.store(1);
    s.audioOutReopen.store(1);
    resetPipeCount();
    clearStatusBits(kReaderReadyBit);
    closeHandles();
    attempts = 0;
  }

  clearStatusBits(kReaderReadyBit);
  registerHandles(kReplyPipe, nullptr);
  closeHandles();
  block.transferBuffer.store(nullptr);
  setFlag(block.runFlag, 0);
  setFlag(s.replyReaderAlive, 0);
}

}  // namespace tavro

void CKusb_IO::ProcQVStatus(unsigned char* item) {
  if (item == nullptr) return;
  tavro::applyStatusItem(item[0], item[1]);
}
