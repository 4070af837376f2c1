// The audio components: the recorder, the player and the host streams. The operations of
// this area and the two audio threads meet here.
#ifndef TAVRO_AUDIO_AUDIO_STATE_H
#define TAVRO_AUDIO_AUDIO_STATE_H

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include "device/signalled.h"
#include "platform/thread_safety.h"

namespace tavro {

inline constexpr size_t kHostBufferSize = 528;

// The recorder: the audio-in thread's start flag and what one recording reports.
struct RecorderState {
  Signalled<uint8_t> audioInStart{0};  // 1 = a recording is to run or runs
  Signalled<uint8_t> recordGo{0};      // 0 = the recording is to end
  Signalled<uint8_t> recorderBusy{0};  // 1 = inside a batch of reads
  Signalled<uint8_t> recordFinished{0};
  Signalled<int32_t> recordedBytes{0};
  // 0, or why the last recording ended early: -1 the link was lost, -5, -7, -8.
  Signalled<int32_t> recordFault{0};

  // A read that the box leaves waiting (it answers commands but has stopped streaming) is
  // cut off by cancelling the audio-in pipe's transfers. The cancel ends the handles for
  // good, so the recorder opens them anew once the recording is over. The lock keeps the
  // cancel within a recording: it is taken to cancel, and by the recorder when its
  // recording is over.
  struct CutOff {
    Mutex mutex;
    Signalled<uint8_t> recordingOpen TAVRO_GUARDED_BY(mutex){0};  // inside a recording
    Signalled<uint8_t> requested TAVRO_GUARDED_BY(mutex){0};      // its transfers were cancelled
    // Looks without the lock, for the recorder's checks and the waits: the flags are
    // atomic; only their changes are kept together with the cancel and the reopen.
    bool open() const TAVRO_NO_THREAD_SAFETY_ANALYSIS { return recordingOpen.load() == 1; }
    bool cut() const TAVRO_NO_THREAD_SAFETY_ANALYSIS { return requested.load() == 1; }
  } cutOff;
  // The box's audio-in stream as the library switches it. Every switch on is counted under
  // the lock. A recording that ended without its stop (a fault, a lost link) has the stream
  // switched off by the recorder, under the same lock and only when nothing switched it on
  // since, so that the switch on of a later start is never undone.
  struct StreamSwitch {
    Mutex mutex;
    std::atomic<uint64_t> starts TAVRO_GUARDED_BY(mutex){0};
    // The count so far, without the lock (a recording's start notes it): it is atomic, and
    // only its changes and the switch off that compares it need the lock.
    uint64_t seen() const TAVRO_NO_THREAD_SAFETY_ANALYSIS { return starts.load(); }
  } streamSwitch;
  // The largest recorded byte count (setRecordingLimit, for tests).
  std::atomic<int32_t> sizeLimit{INT32_MAX};

  // The values of a start: no recording, the last one finished.
  void reset();
  // A new recording's figures, all seen at once; `go` is its first record-go flag. The
  // start flag is the caller's to raise, last.
  void beginRecording(uint8_t go);
};

// The player: the audio-out thread's start flag, the pass's requests and its progress.
struct PlayerState {
  Signalled<uint8_t> playbackFlag{0};  // 1 = a pass is to run or runs
  Signalled<uint8_t> finishedFlag{0};
  Signalled<uint8_t> stopRequest{0};
  Signalled<uint8_t> fileSource{0};  // 1 = the pass plays a file, 0 = the host write buffer
  // 1 while a file playback holds the recorder's reads.
  Signalled<uint8_t> recorderHold{0};
  Signalled<uint8_t> deviceReady{0};  // the box's go-ahead for the next block
  Signalled<uint8_t> seekRequest{0};
  Signalled<uint8_t> playMode{0};
  Signalled<int32_t> startPosition{0};
  Signalled<uint32_t> playPosition{0};
  Signalled<uint32_t> playLength{0};
  // -1 when the box reported a playback fault, or the link failed during a file's pass.
  Signalled<int32_t> playbackFault{0};
  // 0, or why the last pass failed: -1 the link failed (the box gone, the audio-out pipe
  // failed), -5 it could not open its file.
  Signalled<int32_t> playFault{0};

  // The values of a start: no pass.
  void reset();
  // A new pass's requests and figures, all seen at once. A pass from the host write buffer
  // keeps the position, length and fault marker of the last file played. The start flag is
  // the caller's to raise, last.
  void beginPass(bool fromFile);
};

// The host streams: the two host read buffers the recorder fills for the application, and
// the host write buffer the application fills for the player.
struct HostStreams {
  Signalled<uint8_t> hostBufferRecording{0};         // 1 = the recording goes to the host buffers
  std::array<uint8_t, kHostBufferSize> hostReadA{};  // handed over by bufferReadyA
  std::array<uint8_t, kHostBufferSize> hostReadB{};  // handed over by bufferReadyB
  Signalled<uint8_t> bufferReadyA{0};
  Signalled<uint8_t> bufferReadyB{0};
  Signalled<uint8_t> nextBuffer{0};  // 1 = A, 0 = B
  Signalled<uint32_t> hostReadLength{0};
  Signalled<uint8_t> hostReadClose{0};    // 1 = CloseReadSoundInPC asked the stream to end
  Signalled<uint16_t> hostReadCountA{0};  // bytes the recorder put into host read buffer A
  Signalled<uint16_t> hostReadCountB{0};  // ... into B
  Signalled<uint16_t> hostReadOffset{0};  // bytes of the current buffer already taken
  std::array<uint8_t, kHostBufferSize> hostWrite{};  // handed over by hostDataReady
  Signalled<uint8_t> hostDataReady{0};
  Signalled<int32_t> hostWriteLength{0};

  // The values of a start: no stream, nothing handed over.
  void reset();
  // A new incoming stream: nothing handed over yet, buffer A first.
  void openRead();
};

// The components of the library context in use.
RecorderState& recorderState();
PlayerState& playerState();
HostStreams& hostStreams();

}  // namespace tavro

#endif  // TAVRO_AUDIO_AUDIO_STATE_H
