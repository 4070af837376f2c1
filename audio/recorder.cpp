// The audio-in thread: one recording at a time, from the box's audio-in pipe into a wave file.
#include "audio/recorder.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <memory>

#include "audio/audio_common.h"
#include "audio/audio_state.h"
#include "audio/audio_threads.h"
#include "audio/frames.h"
#include "audio/transfer.h"
#include "audio/wave_file.h"
#include "device/command.h"
#include "device/event_sink.h"
#include "device/notices.h"
#include "device/pipes.h"
#include "device/state.h"
#include "device/wait.h"
#include "platform/platform.h"

namespace tavro {
namespace {

using std::chrono::milliseconds;

constexpr int kReadsPerBatch = 32;  // about 2 s of audio before commands and playback get a look
constexpr int kCommandStallPolls = 300;
constexpr milliseconds kCommandStallPoll{100};
constexpr milliseconds kHoldPoll{10};
constexpr milliseconds kFirstRequestPoll{1};
constexpr milliseconds kHandOverPoll{2};
// How long a cut-off recording may take to finish, and a stop of the library gives the
// recorder before it cuts the read off: about 2 s, as the library's other stop waits.
constexpr int kCutOffPolls = 100;
constexpr milliseconds kCutOffPoll{20};
// Why a recording ended early, as StopReadSound reports it: the link to the box was lost.
constexpr int32_t kLinkLostFault = TAVRO_ERROR_LINK_DOWN;
// A recording cut by its own failed read waits this long at most (about 1 s) for the reply
// reader to report the link lost.
constexpr int kLossReportPolls = 100;
constexpr milliseconds kLossReportPoll{10};
constexpr milliseconds kLinkPoll{50};
// What the pipe holds before a recording starts is thrown away up to this many bytes: a box
// that streams faster than it is read never lets the pipe run empty. A limit in bytes, not
// in time: a busy machine drains a long backlog slowly, and must still drain all of it.
constexpr size_t kDiscardLimit = size_t{1} << 20;

RecorderState::CutOff& cutOff() {
  return recorderState().cutOff;
}

// The audio-in thread's working memory, kept off its small stack and allocated once.
struct RecorderWork {
  uint8_t block[kBlockSize + 16];
  uint8_t payload[kBlockPayload];
  uint8_t discarding[4096];                             // what is thrown away before a start
  uint8_t discarded[kFrameSize + sizeof kFrameMarker];  // the last bytes thrown away
  WaveFile wave;
};

bool stopping() {
  return audioStopping();
}

bool cutOffRequested() {
  return cutOff().cut();
}

class Recording {
 public:
  Recording(ThreadBlock& block, PipeHandles& handles, RecorderWork& work)
      : block_(block), handles_(handles), work_(work) {}

  void run() {
    clearStatusBits(kToneBit);
    hostMode_ = hostStreams().hostBufferRecording.load() == 1;
    epoch_ = linkState().linkEpoch.load();
    starts_ = recordStreamStarts();
    // The file gets its header before the box is asked to stream: a start that a lost link
    // drops then leaves an empty wave file with placeholder sizes, never a file of 0 bytes.
    const bool fileMade = hostMode_ || work_.wave.create(block_.fileName);
    discardHeld();
    if (!transferSetup(handles_.control.get(), kAudioFromDevice)) {
      // The start request is dropped; the pipe is opened anew before the next one.
      work_.wave.abandon();
      pipeClosed(kAudioInPipe);
      linkState().audioInReopen.store(1);
      return;
    }
    {
      RecorderState::CutOff& c = cutOff();
      MutexLock lock(c.mutex);
      c.recordingOpen.store(1);
    }
    noticeState().eventFlags.fetch_or(kRecordingActiveEvent);
    recorderState().recordedBytes.store(0);
    if (hostMode_) {
      selectorA_ = hostStreams().nextBuffer.load() == 1;
    } else if (!fileMade) {
      fault_ = TAVRO_ERROR_FILE;
      finish();
      return;
    }

    if (hostMode_ && recorderState().recordGo.load() == 0) {
      // The first read waits for the application's first request. Not busy meanwhile, so
      // that commands sent before it go through; they are let pass before the first read.
      waitFor(
          [&] {
            return recorderState().recordGo.load() == 1 ||
                   hostStreams().hostReadClose.load() == 1 || block_.runFlag.load() != 1 ||
                   linkState().audioInReopen.load() == 1 || stopping();
          },
          kFirstRequestPoll, kNoLimit);
      if (linkState().audioInReopen.load() == 1) return cut();
      if (recorderState().recordGo.load() != 1) return finish();  // closed before the first request
      pauseForOthers();
      if (linkState().audioInReopen.load() == 1) return cut();
      if (recorderState().recordGo.load() != 1) return finish();
    }

    for (;;) {
      recorderState().recorderBusy.store(1);
      const bool readOk = hostMode_ ? hostBatch() : fileBatch();
      if (!readOk) {
        // A stop cancels a blocked read: keep what was recorded, with a proper header.
        if (block_.runFlag.load() != 1 || stopping() || cutOffRequested()) return finish();
        ownTransferFailed(linkState().audioInReopen, kAudioInPipe, handles_);
        return cut();
      }
      if (linkState().audioInReopen.load() == 1) return cut();  // the link was lost
      recorderState().recorderBusy.store(0);
      pauseForOthers();
      if (linkState().audioInReopen.load() == 1) return cut();
      if (recorderState().recordGo.load() != 1 || fault_ != 0 || block_.runFlag.load() != 1 ||
          stopping())
        return finish();
    }
  }

  // The recording was cut by a lost link: the box streams on for it once it is back.
  bool wasCut() const { return cut_; }
  // The stream's switches on when the recording started.
  uint64_t streamStarts() const { return starts_; }

 private:
  // The recorder keeps its own count and publishes it, so that a value stored meanwhile by
  // a stop that gave up (-3) never has reads added to it.
  void addReceived(uint32_t got) {
    received_ += got;
    recorderState().recordedBytes.store(static_cast<int32_t>(received_));
  }

  // True when one more read of `n` bytes (and the 48 header bytes a file recording adds)
  // keeps the recorded byte count within the limit.
  bool roomFor(uint32_t n) const {
    return int64_t{received_} + int64_t{n} + int64_t{kWaveHeaderSize} <=
           int64_t{recorderState().sizeLimit.load()};
  }

  // A read that ended early: a cut-off read's bytes are dropped and not counted, so that
  // the count stays that of the blocks the file holds.
  void addFailedRead(uint32_t got) {
    if (!cutOffRequested()) addReceived(got);
  }

  bool keepReading() const {
    return commandChannel().commandWaiting.load() == 0 && recorderState().recordGo.load() == 1 &&
           playerState().recorderHold.load() == 0 && block_.runFlag.load() == 1 && !stopping();
  }

  // What the pipe holds now was sent before this start (a stream the box went on with after
  // an earlier recording ended without its stop, or while nobody recorded): it is thrown
  // away before the box is asked to stream. The frame the box was in the middle of is
  // noted, so that the first read skips its rest and starts at a frame.
  void discardHeld() {
    size_t discarded = 0;
    uint8_t* const tail = work_.discarded;
    const size_t room = sizeof work_.discarded;
    size_t kept = 0;
    uint32_t got = 0;
    uint8_t* const buffer = work_.discarding;
    while (handles_.readHeld(buffer, sizeof work_.discarding, &got) && got > 0) {
      if (got >= room) {
        std::memcpy(tail, buffer + got - room, room);
        kept = room;
      } else {
        const size_t stay = std::min(kept, room - got);
        std::memmove(tail, tail + kept - stay, stay);
        std::memcpy(tail + stay, buffer, got);
        kept = stay + got;
      }
      // Less than was asked for: what the pipe held is gone, and what comes now is new.
      discarded += got;
      if (got < sizeof work_.discarding || discarded >= kDiscardLimit) break;
    }
    skip_ = static_cast<uint32_t>(restOfLastFrame(tail, kept));
  }

  // Reads and drops the rest of the frame that was in flight when the recording started;
  // false when the read failed.
  bool skipToFrame() {
    if (skip_ == 0) return true;
    uint32_t got = 0;
    const bool ok = handles_.read(work_.block, skip_, &got);
    skip_ = 0;
    return ok;
  }

  // Up to 32 reads of one block each; false when a read failed.
  bool fileBatch() {
    if (!skipToFrame()) return false;
    for (int i = 0; i < kReadsPerBatch && keepReading(); ++i) {
      if (!roomFor(kBlockSize)) {
        fault_ = TAVRO_ERROR_SIZE_LIMIT;
        return true;
      }
      uint32_t got = 0;
      if (!handles_.read(work_.block, kBlockSize, &got)) {
        addFailedRead(got);
        return false;
      }
      addReceived(got);
      const BlockResult r = handleBlock(work_.block, got, work_.payload);
      if (!r.inStep) {
        // Drop up to the next frame start; what this read brings is not counted.
        uint32_t dropped = 0;
        if (r.realign > 0) handles_.read(work_.block, static_cast<uint32_t>(r.realign), &dropped);
        continue;
      }
      if (r.setBits) setStatusBits(r.setBits);
      if (r.clearBits) clearStatusBits(r.clearBits);
      if (r.clearBits & kOffHookBit) postHook(false, TAVRO_HOOK_BY_AUDIO);
      if (!work_.wave.write(work_.payload, kBlockPayload)) {
        fault_ = TAVRO_ERROR_DISK_FULL;
        return true;
      }
    }
    return true;
  }

  // One read handed to the application through the host read buffers; false when the
  // read failed.
  bool hostBatch() {
    if (!skipToFrame()) return false;
    uint32_t n = hostStreams().hostReadLength.load();
    if (n == 0 || n > kBlockSize) n = kBlockSize;
    if (!roomFor(n)) {
      fault_ = TAVRO_ERROR_SIZE_LIMIT;
      return true;
    }
    uint32_t got = 0;
    if (!handles_.read(work_.block, n, &got)) {
      addFailedRead(got);
      return false;
    }
    addReceived(got);

    Signalled<uint8_t>& ready =
        selectorA_ ? hostStreams().bufferReadyA : hostStreams().bufferReadyB;
    if (ready.load() == 1) {
      waitFor(
          [&] {
            return ready.load() == 0 || recorderState().recordGo.load() != 1 ||
                   hostStreams().hostReadClose.load() == 1 || block_.runFlag.load() != 1 ||
                   linkState().audioInReopen.load() == 1 || stopping();
          },
          kHandOverPoll, kNoLimit);
      // The stream is closing with the buffer still unread: never overwrite unread data.
      if (ready.load() == 1) return true;
    }
    auto& buffer = selectorA_ ? hostStreams().hostReadA : hostStreams().hostReadB;
    std::memcpy(buffer.data(), work_.block, n);
    buffer[n] = 0;
    (selectorA_ ? hostStreams().hostReadCountA : hostStreams().hostReadCountB)
        .store(static_cast<uint16_t>(n));
    ready.store(1);
    selectorA_ = !selectorA_;
    return true;
  }

  // Between batches: hold still while a file playback holds the recorder, and while a
  // command is being queued or awaits its answer (at most about 30 s, then stop).
  void pauseForOthers() {
    waitFor(
        [&] {
          return playerState().recorderHold.load() == 0 || block_.runFlag.load() != 1 ||
                 linkState().audioInReopen.load() == 1 || stopping();
        },
        kHoldPoll, kNoLimit);
    const bool clear = waitPolled(
        [&] {
          return (commandChannel().commandWaiting.load() == 0 && !statusHas(kPendingBit)) ||
                 linkState().audioInReopen.load() == 1 || stopping();
        },
        kCommandStallPoll, kCommandStallPolls);
    if (!clear) recorderState().recordGo.store(0);
  }

  void finish() {
    recorderState().recorderBusy.store(0);
    if (!hostMode_ && work_.wave.isOpen()) {
      if (!work_.wave.finish() && fault_ == 0) fault_ = TAVRO_ERROR_DISK_FULL;
      recorderState().recordedBytes.store(static_cast<int32_t>(received_ + kWaveHeaderSize));
    }
    if (cut_) {
      awaitLossReported();
    } else if (fault_ != 0 && boxCanBeTold()) {
      // Ended by itself (the file failed, the largest size was reached): the box would
      // stream on into the pipe until the application's stop.
      switchStreamOff(starts_);
    }
    if (fault_ != 0) recorderState().recordFault.store(fault_);
    recorderState().recordFinished.store(1);
    // A loss that cuts a recording shows no notice, as any loss while a recording is open.
    noticeState().eventFlags.fetch_and(cut_ ? ~(kRecordingActiveEvent | kLinkLostEvent)
                                            : ~kRecordingActiveEvent);
    // Last: an application acting on the event finds the recording finished.
    postRecordingEnded(hostMode_, received_ + (hostMode_ ? 0 : kWaveHeaderSize), fault_);
  }

  // The link was lost: the recording is finished with what came, as any other, and reports
  // the lost link.
  void cut() {
    fault_ = kLinkLostFault;
    cut_ = true;
    finish();
  }

  // Waits until the reply reader has reported the loss that cut the recording (its notice
  // flag raised), so that the recording-active bit is never cleared before it: at most
  // about 1 s, when only the audio-in pipe failed and the reader reports nothing.
  void awaitLossReported() {
    waitFor(
        [&] {
          return (linkState().linkEpoch.load() != epoch_ && linkState().replyPipeUp.load() == 0) ||
                 block_.runFlag.load() != 1 || stopping();
        },
        kLossReportPoll, kLossReportPolls);
  }

  // The command channel can carry a command and somebody will read its answer.
  bool boxCanBeTold() const {
    return !linkDown() && linkState().commandReopen.load() == 0 &&
           workers().replyReaderAlive.load() == 1 && block_.runFlag.load() == 1 && !stopping();
  }

  ThreadBlock& block_;
  PipeHandles& handles_;
  RecorderWork& work_;
  bool hostMode_ = false;
  bool selectorA_ = true;
  bool cut_ = false;
  int32_t fault_ = 0;
  uint32_t received_ = 0;  // bytes received in this recording; the limit keeps it in range
  uint32_t skip_ = 0;      // the rest of the frame in flight at the start, to be dropped
  uint32_t epoch_ = 0;     // the link's epoch when the recording started
  uint64_t starts_ = 0;    // the stream's switches on when the recording started
};

// A recording that a lost link cut short was never stopped: a box that comes back streams
// on for it. Once the link is back (the audio-in pipe opened anew meanwhile) the box is
// told, unless a recording switched the stream on since.
void stopStreamOnceLinkIsBack(ThreadBlock& block, PipeHandles& handles, uint64_t starts) {
  Signalled<uint8_t> now{1};
  for (;;) {
    waitForWork(block, now, linkState().audioInReopen, kAudioInPipe, handles);
    if (block.runFlag.load() != 1 || stopping()) return;
    waitFor(
        [&] {
          return !linkDown() || linkState().audioInReopen.load() == 1 ||
                 block.runFlag.load() != 1 || stopping();
        },
        kLinkPoll, kNoLimit);
    if (block.runFlag.load() != 1 || stopping()) return;
    if (linkState().audioInReopen.load() != 1) break;  // else lost again: reopen first
  }
  switchStreamOff(starts);
}

// After a recording: when its transfers were cut off, the handles are opened anew before
// the next one.
void recordingOver() {
  RecorderState::CutOff& c = cutOff();
  MutexLock lock(c.mutex);
  c.recordingOpen.store(0);
  if (c.requested.exchange(0) != 1) return;
  pipeClosed(kAudioInPipe);
  linkState().audioInReopen.store(1);
}

}  // namespace

bool cutOffRecording() {
  RecorderState::CutOff& c = cutOff();
  {
    MutexLock lock(c.mutex);
    // Only a read batch can be waiting on the box; a recorder paused for a playback or a
    // command is left to them.
    if (c.recordingOpen.load() != 1 || recorderState().recorderBusy.load() != 1)
      return recorderState().recordFinished.load() == 1;
    c.requested.store(1);
    cancelTransfers(kAudioInPipe);
  }
  waitFor([&] { return !c.open(); }, kCutOffPoll, kCutOffPolls, &commandChannel().pollCounter);
  return recorderState().recordFinished.load() == 1;
}

void endRecordingForStop() {
  RecorderState::CutOff& c = cutOff();
  recorderState().recordGo.store(0);
  if (waitFor([&] { return !c.open() || recorderState().recorderBusy.load() == 0; }, kCutOffPoll,
              kCutOffPolls, &commandChannel().pollCounter))
    return;
  cutOffRecording();
}

void askRecordingToEnd() {
  recorderState().recordGo.store(0);
}

bool recordingRuns() {
  return recorderState().audioInStart.load() == 1;
}

bool recorderReading() {
  return recorderState().recorderBusy.load() != 0;
}

void setRecordingLimit(int32_t bytes) {
  recorderState().sizeLimit.store(bytes > 0 ? bytes : INT32_MAX);
}

void audioInThread(ThreadBlock& block) {
  workers().audioInAlive.store(1);
  block.runFlag.store(1);
  auto work = std::make_unique<RecorderWork>();
  PipeHandles handles;
  registerHandles(kAudioInPipe, &handles);
  bool stopOwed = false;
  uint64_t owedStarts = 0;
  while (block.runFlag.load() == 1) {
    recorderState().audioInStart.store(0);
    if (stopOwed) {
      stopOwed = false;
      stopStreamOnceLinkIsBack(block, handles, owedStarts);
    }
    waitForWork(block, recorderState().audioInStart, linkState().audioInReopen, kAudioInPipe,
                handles);
    if (block.runFlag.load() != 1) break;
    Recording recording(block, handles, *work);
    recording.run();
    recordingOver();
    stopOwed = recording.wasCut();
    owedStarts = recording.streamStarts();
  }
  registerHandles(kAudioInPipe, nullptr);
  handles.close();
  workers().audioInAlive.store(0);
}

}  // namespace tavro
