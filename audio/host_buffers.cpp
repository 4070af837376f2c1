// Audio through the application's own memory: the audio-in stream handed over in the two
// host read buffers, and the application's bytes handed to the audio-out thread in the
// host write buffer.
#include <algorithm>
#include <cstring>

#include "audio/audio_common.h"
#include "audio/audio_state.h"
#include "audio/frames.h"
#include "audio/recorder.h"
#include "device/binding.h"
#include "device/notices.h"
#include "device/state.h"
#include "device/wait.h"
#include "platform/platform.h"
#include "tavro/CKusb_IO.h"

namespace tavro {
namespace {

using std::chrono::milliseconds;

constexpr int kClosePolls = 60;
constexpr milliseconds kClosePoll{100};
constexpr int kChunkPolls = 100;
constexpr milliseconds kChunkPoll{2};
constexpr int kPassPolls = 101;  // a first 100 ms look, then 100 polls
constexpr milliseconds kPassPoll{100};

// The incoming stream has ended for the reader: nothing more will be deposited.
bool incomingEnded() {
  return hostStreams().hostBufferRecording.load() != 1 ||
         recorderState().audioInStart.load() != 1 || recorderState().recordFinished.load() == 1 ||
         hostStreams().hostReadClose.load() == 1 || linkDown() ||
         workers().audioIn.runFlag.load() != 1 || audioStopping();
}

bool chunkTaken() {
  return hostStreams().hostDataReady.load() == 0;
}

}  // namespace
}  // namespace tavro

using namespace tavro;

int CKusb_IO::OpenReadSoundInPC() {
  TAVRO_BIND_OBJECT();
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  if (workers().audioIn.runFlag.load() != 1) return TAVRO_ERROR_NOT_RUNNING;
  if (recorderState().audioInStart.load() == 1 && recorderState().recordFinished.load() == 1)
    awaitBackInWait(recorderState().audioInStart);
  if (recorderState().audioInStart.load() == 1) return TAVRO_ERROR_ALREADY_RUNNING;
  hostStreams().openRead();
  recorderState().beginRecording(0);  // the first ReadSoundFromBufferToPC starts the reads
  recorderState().audioInStart.store(1);
  return TAVRO_SUCCESS;
}

int CKusb_IO::ReadSoundFromBufferToPC(unsigned char* buffer, int length) {
  TAVRO_BIND_OBJECT();
  hostStreams().hostReadLength.store(static_cast<uint32_t>(length));
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  if (workers().audioIn.runFlag.load() != 1) return TAVRO_ERROR_NOT_RUNNING;
  recorderState().recordGo.store(1);
  if (length <= 0 || buffer == nullptr) {
    if (buffer != nullptr) buffer[0] = 0;
    return 0;
  }
  int copied = 0;
  while (copied < length) {
    const bool a = hostStreams().nextBuffer.load() == 1;
    Signalled<uint8_t>& ready = a ? hostStreams().bufferReadyA : hostStreams().bufferReadyB;
    // Look at the end first: a buffer deposited before the stream ended is still taken.
    waitFor(
        [&] {
          const bool ended = incomingEnded();
          return ready.load() == 1 || ended;
        },
        milliseconds{1}, kNoLimit);
    if (ready.load() != 1) break;  // the stream has ended
    const auto& from = a ? hostStreams().hostReadA : hostStreams().hostReadB;
    const size_t held = std::min<size_t>(
        (a ? hostStreams().hostReadCountA : hostStreams().hostReadCountB).load(), kBlockSize);
    const size_t offset = std::min<size_t>(hostStreams().hostReadOffset.load(), held);
    const size_t take = std::min(held - offset, static_cast<size_t>(length - copied));
    std::memcpy(buffer + copied, from.data() + offset, take);
    copied += static_cast<int>(take);
    if (offset + take < held) {
      // The rest of this buffer is for the next call.
      hostStreams().hostReadOffset.store(static_cast<uint16_t>(offset + take));
    } else {
      hostStreams().hostReadOffset.store(0);
      hostStreams().nextBuffer.store(a ? 0 : 1);
      ready.store(0);
    }
  }
  buffer[copied] = 0;
  return copied;
}

int32_t CKusb_IO::CloseReadSoundInPC() {
  TAVRO_BIND_OBJECT();
  if (linkDown()) {
    recorderState().recordedBytes.store(TAVRO_ERROR_LINK_DOWN);
    return TAVRO_ERROR_LINK_DOWN;
  }
  if (workers().audioIn.runFlag.load() != 1) {
    recorderState().recordedBytes.store(TAVRO_ERROR_NOT_RUNNING);
    return TAVRO_ERROR_NOT_RUNNING;
  }
  hostStreams().hostReadClose.store(1);
  recorderState().recordGo.store(0);
  if (!waitPolled([&] { return recorderState().recordFinished.load() == 1; }, kClosePoll,
                  kClosePolls, &commandChannel().pollCounter)) {
    // The box has stopped streaming: the read it leaves waiting is cut off, so that the
    // stream ends and the next one can start. The count stays that of what came; only a
    // stream that could not be ended gets -3.
    if (!cutOffRecording()) recorderState().recordedBytes.store(TAVRO_ERROR_TIMEOUT);
    platform::showNotice(kStopErrorMessage, noticeSource());
    if (recorderState().recordFinished.load() == 1) awaitBackInWait(recorderState().audioInStart);
    return TAVRO_ERROR_TIMEOUT;
  }
  awaitBackInWait(recorderState().audioInStart);
  return recorderState().recordedBytes.load();
}

int CKusb_IO::OpenWriteSoundToBuff() {
  TAVRO_BIND_OBJECT();
  ThreadBlock& out = workers().audioOut;
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  if (out.runFlag.load() != 1) return TAVRO_ERROR_NOT_RUNNING;
  if (playerState().playbackFlag.load() == 1 && playerState().finishedFlag.load() == 1)
    awaitBackInWait(playerState().playbackFlag);
  if (playerState().playbackFlag.load() == 1) return TAVRO_ERROR_ALREADY_RUNNING;
  playerState().beginPass(/*fromFile=*/false);
  playerState().playbackFlag.store(1);  // last: the thread starts the pass on it
  return TAVRO_SUCCESS;
}

int CKusb_IO::WriteSoundFromPCToBuffer(unsigned char* buffer, int length) {
  TAVRO_BIND_OBJECT();
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  if (workers().audioOut.runFlag.load() != 1) return TAVRO_ERROR_NOT_RUNNING;
  if (length <= 0) return 512;
  if (buffer == nullptr) return TAVRO_ERROR_INVALID_ARGUMENT;
  // A chunk of an earlier call that was not taken in time is still in the buffer.
  if (!waitPolled(chunkTaken, kChunkPoll, kChunkPolls, &commandChannel().pollCounter))
    return TAVRO_ERROR_TIMEOUT;
  for (int at = 0; at < length; at += static_cast<int>(kBlockSize)) {
    const size_t n = std::min(static_cast<size_t>(length - at), kBlockSize);
    // The caller's bytes, completed with silence to whole packets: never stale bytes.
    std::memcpy(hostStreams().hostWrite.data(), buffer + at, n);
    const size_t whole = padToPackets(hostStreams().hostWrite.data(), n);
    hostStreams().hostWriteLength.store(static_cast<int32_t>(whole));
    hostStreams().hostDataReady.store(1);
    if (!waitPolled(chunkTaken, kChunkPoll, kChunkPolls, &commandChannel().pollCounter))
      return TAVRO_ERROR_TIMEOUT;
  }
  return 512;
}

int32_t CKusb_IO::CloseWriteSoundToBuff() {
  TAVRO_BIND_OBJECT();
  ThreadBlock& out = workers().audioOut;
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  if (out.runFlag.load() != 1) return TAVRO_ERROR_NOT_RUNNING;
  if (playerState().playbackFlag.load() == 1) {
    playerState().stopRequest.store(1);
    if (!waitPolled([&] { return playerState().finishedFlag.load() == 1; }, kPassPoll, kPassPolls,
                    &commandChannel().pollCounter))
      return TAVRO_ERROR_TIMEOUT;
    awaitBackInWait(playerState().playbackFlag);
    playerState().playbackFlag.store(0);
  }
  // A stream that the link ended failed (-1), as the stop of a file's playback says.
  const int32_t fault = playerState().playFault.load();
  return playerState().fileSource.load() == 0 && fault < 0 ? fault : TAVRO_SUCCESS;
}
