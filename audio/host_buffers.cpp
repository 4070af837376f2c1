// Audio through the application's own memory: the audio-in stream handed over in the two
// host read buffers, and the application's bytes handed to the audio-out thread in the
// host write buffer.
#include <algorithm>
#include <cstring>

#include "audio/audio_common.h"
#include "audio/frames.h"
#include "device/state.h"
#include "device/wait.h"
#include "platform/platform.h"
#include "tavro/CKusb_IO.h"

namespace tavro {
namespace {

using std::chrono::milliseconds;

constexpr size_t kPacketBytes = 256;
constexpr uint8_t kSilence = 0xD5;
constexpr int kClosePolls = 60;
constexpr milliseconds kClosePoll{100};
constexpr int kChunkPolls = 100;
constexpr milliseconds kChunkPoll{2};
constexpr int kPassPolls = 101;  // a first 100 ms look, then 100 polls
constexpr milliseconds kPassPoll{100};
constexpr const char* kStopError = "In StopReadSound Error!";

// The incoming stream has ended for the reader: nothing more will be deposited.
bool incomingEnded() {
  DeviceState& s = state();
  return s.hostBufferRecording.load() != 1 || s.audioIn.audioInStart.load() != 1 ||
         s.recordFinished.load() == 1 || s.hostReadClose.load() == 1 || linkDown() ||
         s.audioIn.runFlag.load() != 1 || audioStopping();
}

bool chunkTaken() {
  return state().hostDataReady.load() == 0;
}

}  // namespace
}  // namespace tavro

using namespace tavro;

int CKusb_IO::OpenReadSoundInPC() {
  DeviceState& s = state();
  if (linkDown()) return -1;
  if (s.audioIn.runFlag.load() != 1) return -2;
  if (s.audioIn.audioInStart.load() == 1 && s.recordFinished.load() == 1)
    awaitBackInWait(s.audioIn.audioInStart);
  if (s.audioIn.audioInStart.load() == 1) return -6;
  s.hostBufferRecording.store(1);
  s.recordFinished.store(0);
  s.recordedBytes.store(0);
  s.recordFault.store(0);
  s.recordGo.store(0);  // the first ReadSoundFromBufferToPC starts the reads
  s.bufferReadyA.store(0);
  s.bufferReadyB.store(0);
  s.hostReadCountA.store(0);
  s.hostReadCountB.store(0);
  s.hostReadOffset.store(0);
  s.hostReadClose.store(0);
  s.nextBuffer.store(1);
  setFlag(s.audioIn.audioInStart, 1);
  return 1;
}

int CKusb_IO::ReadSoundFromBufferToPC(unsigned char* buffer, int length) {
  DeviceState& s = state();
  s.hostReadLength.store(static_cast<uint32_t>(length));
  if (linkDown()) return -1;
  if (s.audioIn.runFlag.load() != 1) return -2;
  setFlag(s.recordGo, 1);
  if (length <= 0 || buffer == nullptr) {
    if (buffer != nullptr) buffer[0] = 0;
    return 0;
  }
  int copied = 0;
  while (copied < length) {
    const bool a = s.nextBuffer.load() == 1;
    std::atomic<uint8_t>& ready = a ? s.bufferReadyA : s.bufferReadyB;
    // Look at the end first: a buffer deposited before the stream ended is still taken.
    waitFor(
        [&] {
          const bool ended = incomingEnded();
          return ready.load() == 1 || ended;
        },
        milliseconds{1}, kNoLimit);
    if (ready.load() != 1) break;  // the stream has ended
    const auto& from = a ? s.hostReadA : s.hostReadB;
    const size_t held =
        std::min<size_t>((a ? s.hostReadCountA : s.hostReadCountB).load(), kBlockSize);
    const size_t offset = std::min<size_t>(s.hostReadOffset.load(), held);
    const size_t take = std::min(held - offset, static_cast<size_t>(length - copied));
    std::memcpy(buffer + copied, from.data() + offset, take);
    copied += static_cast<int>(take);
    if (offset + take < held) {
      // The rest of this buffer is for the next call.
      s.hostReadOffset.store(static_cast<uint16_t>(offset + take));
    } else {
      s.hostReadOffset.store(0);
      s.nextBuffer.store(a ? 0 : 1);
      setFlag(ready, 0);
    }
  }
  buffer[copied] = 0;
  return copied;
}

int32_t CKusb_IO::CloseReadSoundInPC() {
  DeviceState& s = state();
  if (linkDown()) {
    s.recordedBytes.store(-1);
    return -1;
  }
  if (s.audioIn.runFlag.load() != 1) {
    s.recordedBytes.store(-2);
    return -2;
  }
  setFlag(s.hostReadClose, 1);
  setFlag(s.recordGo, 0);
  if (!waitPolled([&] { return s.recordFinished.load() == 1; }, kClosePoll, kClosePolls,
                  &s.pollCounter)) {
    platform::showNotice(kStopError);
    s.recordedBytes.store(-3);
    return -3;
  }
  awaitBackInWait(s.audioIn.audioInStart);
  return s.recordedBytes.load();
}

int CKusb_IO::OpenWriteSoundToBuff() {
  DeviceState& s = state();
  ThreadBlock& out = s.audioOut;
  if (linkDown()) return -1;
  if (out.runFlag.load() != 1) return -2;
  if (out.playbackFlag.load() == 1 && out.finishedFlag.load() == 1)
    awaitBackInWait(out.playbackFlag);
  if (out.playbackFlag.load() == 1) return -6;
  s.fileSource.store(0);
  out.stopRequest.store(0);
  out.finishedFlag.store(0);
  s.playFault.store(0);
  setFlag(out.playbackFlag, 1);  // last: the thread starts the pass on it
  return 1;
}

int CKusb_IO::WriteSoundFromPCToBuffer(unsigned char* buffer, int length) {
  DeviceState& s = state();
  if (linkDown()) return -1;
  if (s.audioOut.runFlag.load() != 1) return -2;
  if (length <= 0) return 512;
  if (buffer == nullptr) return -2;
  // A chunk of an earlier call that was not taken in time is still in the buffer.
  if (!waitPolled(chunkTaken, kChunkPoll, kChunkPolls, &s.pollCounter)) return -3;
  for (int at = 0; at < length; at += static_cast<int>(kBlockSize)) {
    const size_t n = std::min(static_cast<size_t>(length - at), kBlockSize);
    // The caller's bytes, completed with silence to whole packets: never stale bytes.
    const size_t whole = (n + kPacketBytes - 1) / kPacketBytes * kPacketBytes;
    std::memcpy(s.hostWrite.data(), buffer + at, n);
    std::memset(s.hostWrite.data() + n, kSilence, whole - n);
    s.hostWriteLength.store(static_cast<int32_t>(whole));
    setFlag(s.hostDataReady, 1);
    if (!waitPolled(chunkTaken, kChunkPoll, kChunkPolls, &s.pollCounter)) return -3;
  }
  return 512;
}

int32_t CKusb_IO::CloseWriteSoundToBuff() {
  DeviceState& s = state();
  ThreadBlock& out = s.audioOut;
  if (linkDown()) return -1;
  if (out.runFlag.load() != 1) return -2;
  if (out.playbackFlag.load() != 1) return 1;
  setFlag(out.stopRequest, 1);
  if (!waitPolled([&] { return out.finishedFlag.load() == 1; }, kPassPoll, kPassPolls,
                  &s.pollCounter))
    return -3;
  awaitBackInWait(out.playbackFlag);
  setFlag(out.playbackFlag, 0);
  return 1;
}
