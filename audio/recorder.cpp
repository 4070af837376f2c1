// The audio-in thread and the recording operations.
#include "audio/recorder.h"

#include <climits>
#include <cstring>
#include <memory>

#include "audio/audio_common.h"
#include "audio/audio_threads.h"
#include "audio/frames.h"
#include "audio/transfer.h"
#include "audio/wave_file.h"
#include "device/command.h"
#include "device/pipes.h"
#include "device/state.h"
#include "device/wait.h"
#include "platform/platform.h"
#include "tavro/CKusb_IO.h"

namespace tavro {
namespace {

using std::chrono::milliseconds;

constexpr int kReadsPerBatch = 32;  // about 2 s of audio before commands and playback get a look
constexpr int kCommandStallPolls = 300;
constexpr milliseconds kCommandStallPoll{100};
constexpr milliseconds kHoldPoll{10};
constexpr milliseconds kFirstRequestPoll{1};
constexpr milliseconds kHandOverPoll{2};
constexpr int kStopPolls = 60;
constexpr milliseconds kStopPoll{100};
constexpr int kRecordStatusPolls = 30;
constexpr const char* kStopError = "In StopReadSound Error!";

std::atomic<int32_t> gRecordingLimit{INT32_MAX};

// The audio-in thread's working memory, kept off its small stack and allocated once.
struct RecorderWork {
  uint8_t block[kBlockSize + 16];
  uint8_t payload[kBlockPayload];
  WaveFile wave;
};

bool stopping() {
  return audioStopping();
}

void setRecordingActive(bool on) {
  DeviceState& s = state();
  if (on)
    s.eventFlags.fetch_or(kRecordingActiveEvent);
  else
    s.eventFlags.fetch_and(~kRecordingActiveEvent);
  notifyStateChange();
}

void addReceived(uint32_t got) {
  state().recordedBytes.fetch_add(static_cast<int32_t>(got));
  notifyStateChange();
}

// True when one more read of `n` bytes (and the 48 header bytes a file recording adds)
// keeps the recorded byte count within the limit.
bool roomFor(uint32_t n) {
  const int64_t after =
      int64_t{state().recordedBytes.load()} + int64_t{n} + int64_t{kWaveHeaderSize};
  return after <= int64_t{gRecordingLimit.load()};
}

class Recording {
 public:
  Recording(ThreadBlock& block, PipeHandles& handles, RecorderWork& work)
      : block_(block), handles_(handles), work_(work), s_(state()) {}

  void run() {
    clearStatusBits(kToneBit);
    if (!transferSetup(handles_.control, kAudioFromDevice)) {
      // The start request is dropped; the pipe is opened anew before the next one.
      pipeClosed(kAudioInPipe);
      setFlag(s_.audioInReopen, 1);
      return;
    }
    hostMode_ = s_.hostBufferRecording.load() == 1;
    setRecordingActive(true);
    setFlag(s_.recordedBytes, 0);
    if (hostMode_) {
      selectorA_ = s_.nextBuffer.load() == 1;
    } else if (!work_.wave.create(block_.fileName)) {
      fault_ = -5;
      finish();
      return;
    }

    if (hostMode_ && s_.recordGo.load() == 0) {
      // The first read waits for the application's first request. Not busy meanwhile, so
      // that commands sent before it go through; they are let pass before the first read.
      waitFor(
          [&] {
            return s_.recordGo.load() == 1 || s_.hostReadClose.load() == 1 ||
                   block_.runFlag.load() != 1 || s_.audioInReopen.load() == 1 || stopping();
          },
          kFirstRequestPoll, kNoLimit);
      if (s_.audioInReopen.load() == 1) return abandon();
      if (s_.recordGo.load() != 1) return finish();  // closed before the first request
      pauseForOthers();
      if (s_.audioInReopen.load() == 1) return abandon();
      if (s_.recordGo.load() != 1) return finish();
    }

    for (;;) {
      setFlag(s_.recorderBusy, 1);
      const bool readOk = hostMode_ ? hostBatch() : fileBatch();
      if (!readOk) {
        // A stop cancels a blocked read: keep what was recorded, with a proper header.
        if (block_.runFlag.load() != 1 || stopping()) return finish();
        ownTransferFailed(s_.audioInReopen, kAudioInPipe, handles_);
        return abandon();
      }
      if (s_.audioInReopen.load() == 1) return abandon();  // the link was lost
      setFlag(s_.recorderBusy, 0);
      pauseForOthers();
      if (s_.audioInReopen.load() == 1) return abandon();
      if (s_.recordGo.load() != 1 || fault_ != 0 || block_.runFlag.load() != 1 || stopping())
        return finish();
    }
  }

 private:
  bool keepReading() const {
    return s_.commandWaiting.load() == 0 && s_.recordGo.load() == 1 &&
           s_.recorderHold.load() == 0 && block_.runFlag.load() == 1 && !stopping();
  }

  // Up to 32 reads of one block each; false when a read failed.
  bool fileBatch() {
    for (int i = 0; i < kReadsPerBatch && keepReading(); ++i) {
      if (!roomFor(kBlockSize)) {
        fault_ = -8;
        return true;
      }
      uint32_t got = 0;
      const bool ok = platform::readFile(handles_.pipe, work_.block, kBlockSize, &got);
      addReceived(got);
      if (!ok) return false;
      const BlockResult r = handleBlock(work_.block, got, work_.payload);
      if (!r.inStep) {
        // Drop up to the next frame start; what this read brings is not counted.
        uint32_t dropped = 0;
        if (r.realign > 0)
          platform::readFile(handles_.pipe, work_.block, static_cast<uint32_t>(r.realign),
                             &dropped);
        continue;
      }
      if (r.setBits) setStatusBits(r.setBits);
      if (r.clearBits) clearStatusBits(r.clearBits);
      if (!work_.wave.write(work_.payload, kBlockPayload)) {
        fault_ = -7;
        return true;
      }
    }
    return true;
  }

  // One read handed to the application through the host read buffers; false when the
  // read failed.
  bool hostBatch() {
    uint32_t n = s_.hostReadLength.load();
    if (n == 0 || n > kBlockSize) n = kBlockSize;
    if (!roomFor(n)) {
      fault_ = -8;
      return true;
    }
    uint32_t got = 0;
    const bool ok = platform::readFile(handles_.pipe, work_.block, n, &got);
    addReceived(got);
    if (!ok) return false;

    std::atomic<uint8_t>& ready = selectorA_ ? s_.bufferReadyA : s_.bufferReadyB;
    if (ready.load() == 1) {
      waitFor(
          [&] {
            return ready.load() == 0 || s_.recordGo.load() != 1 || s_.hostReadClose.load() == 1 ||
                   block_.runFlag.load() != 1 || s_.audioInReopen.load() == 1 || stopping();
          },
          kHandOverPoll, kNoLimit);
      // The stream is closing with the buffer still unread: never overwrite unread data.
      if (ready.load() == 1) return true;
    }
    auto& buffer = selectorA_ ? s_.hostReadA : s_.hostReadB;
    std::memcpy(buffer.data(), work_.block, n);
    buffer[n] = 0;
    (selectorA_ ? s_.hostReadCountA : s_.hostReadCountB).store(static_cast<uint16_t>(n));
    setFlag(ready, 1);
    selectorA_ = !selectorA_;
    return true;
  }

  // Between batches: hold still while a file playback holds the recorder, and while a
  // command is being queued or awaits its answer (at most about 30 s, then stop).
  void pauseForOthers() {
    waitFor(
        [&] {
          return s_.recorderHold.load() == 0 || block_.runFlag.load() != 1 ||
                 s_.audioInReopen.load() == 1 || stopping();
        },
        kHoldPoll, kNoLimit);
    const bool clear = waitPolled(
        [&] {
          return (s_.commandWaiting.load() == 0 && !statusHas(kPendingBit)) ||
                 s_.audioInReopen.load() == 1 || stopping();
        },
        kCommandStallPoll, kCommandStallPolls);
    if (!clear) setFlag(s_.recordGo, 0);
  }

  void finish() {
    setFlag(s_.recorderBusy, 0);
    if (!hostMode_ && work_.wave.isOpen()) {
      if (!work_.wave.finish() && fault_ == 0) fault_ = -7;
      s_.recordedBytes.fetch_add(static_cast<int32_t>(kWaveHeaderSize));
    }
    if (fault_ != 0) s_.recordFault.store(fault_);
    setFlag(s_.recordFinished, 1);
    setRecordingActive(false);
  }

  // The recording ends without finishing: the file keeps its placeholder sizes, the
  // record-finished flag stays 0 and the recording-active event stays set.
  void abandon() {
    setFlag(s_.recorderBusy, 0);
    work_.wave.abandon();
  }

  ThreadBlock& block_;
  PipeHandles& handles_;
  RecorderWork& work_;
  DeviceState& s_;
  bool hostMode_ = false;
  bool selectorA_ = true;
  int32_t fault_ = 0;
};

}  // namespace

void setRecordingLimit(int32_t bytes) {
  gRecordingLimit.store(bytes > 0 ? bytes : INT32_MAX);
}

void audioInThread(ThreadBlock& block) {
  DeviceState& s = state();
  setFlag(s.audioInAlive, 1);
  setFlag(block.runFlag, 1);
  auto work = std::make_unique<RecorderWork>();
  PipeHandles handles;
  registerHandles(kAudioInPipe, &handles);
  while (block.runFlag.load() == 1) {
    setFlag(block.audioInStart, 0);
    waitForWork(block, block.audioInStart, s.audioInReopen, kAudioInPipe, handles);
    if (block.runFlag.load() != 1) break;
    Recording(block, handles, *work).run();
  }
  registerHandles(kAudioInPipe, nullptr);
  handles.close();
  setFlag(s.audioInAlive, 0);
}

}  // namespace tavro

using namespace tavro;

int CKusb_IO::StartReadSound(const char* fileName, int mode) {
  DeviceState& s = state();
  if (linkDown()) return -1;
  if (mode <= 0 && !statusHas(kOffHookBit)) return -4;
  if (s.audioIn.runFlag.load() != 1) return -2;
  if (s.audioIn.audioInStart.load() == 1 && s.recordFinished.load() == 1)
    awaitBackInWait(s.audioIn.audioInStart);
  if (s.audioIn.audioInStart.load() == 1) return -6;
  if (fileName == nullptr || *fileName == 0 || std::strlen(fileName) >= kFileNameSize ||
      !canCreateFile(fileName))
    return -5;
  SetRecordStatus(true, mode);  // the recording starts whether or not the box answered
  std::strcpy(s.audioIn.fileName, fileName);
  s.recordedBytes.store(0);
  s.recordFault.store(0);
  s.recordFinished.store(0);
  s.hostBufferRecording.store(0);
  s.commandWaiting.store(0);
  s.recordGo.store(1);
  setFlag(s.audioIn.audioInStart, 1);
  return 1;
}

int CKusb_IO::StartReadSoundCStr(CString fileName, int mode) {
  if (fileName.size() >= kFileNameSize) return -5;
  char buffer[kFileNameSize];
  std::memcpy(buffer, fileName.data(), fileName.size());
  buffer[fileName.size()] = 0;
  return StartReadSound(buffer, mode);
}

int CKusb_IO::StartReadSoundCStrF(CString fileName) {
  return StartReadSoundCStr(std::move(fileName), 0);
}

int CKusb_IO::StopReadSound() {
  DeviceState& s = state();
  if (linkDown()) return -1;
  if (s.audioIn.runFlag.load() != 1) return -2;
  if (s.audioOut.playbackFlag.load() == 1) {
    StopPlaySound();
    setFlag(s.recorderHold, 0);
  }
  setFlag(s.recordGo, 0);
  bool timedOut = false;
  if (!waitPolled([&] { return s.recordFinished.load() == 1; }, kStopPoll, kStopPolls,
                  &s.pollCounter)) {
    platform::showNotice(kStopError);
    s.recordedBytes.store(-3);
    timedOut = true;
  } else {
    awaitBackInWait(s.audioIn.audioInStart);
  }
  if (SetRecordStatus(false, 0) < 0) return -1;
  if (!timedOut && s.recordFault.load() < 0) return s.recordFault.load();
  return s.recordedBytes.load();
}

int32_t CKusb_IO::ReadRecLength() {
  return state().recordedBytes.load();
}

int CKusb_IO::SetRecordStatus(bool start, int mode) {
  if (linkDown()) return -1;
  return commandRoundTrip(
      makePacket({7, static_cast<uint8_t>(start ? 1 : 0), static_cast<uint8_t>(mode)}),
      kRecordStatusPolls);
}
