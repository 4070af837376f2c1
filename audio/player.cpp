// The audio-out thread: one playback at a time, from a file or the host's buffers to the box.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "audio/audio_common.h"
#include "audio/audio_state.h"
#include "audio/audio_threads.h"
#include "audio/frames.h"
#include "audio/playback.h"
#include "audio/transfer.h"
#include "device/command.h"
#include "device/event_sink.h"
#include "device/pipes.h"
#include "device/state.h"
#include "device/wait.h"
#include "platform/platform.h"

namespace tavro {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kGoAheadPoll{2};
constexpr int kGoAheadLooks = 125;  // an overdue go-ahead: 250 ms, four block times
constexpr int32_t kLinkFailed = TAVRO_ERROR_LINK_DOWN;  // the fault of a pass the link ended

bool stopping() {
  return audioStopping();
}

class PlaybackPass {
 public:
  PlaybackPass(ThreadBlock& block, PipeHandles& handles, uint8_t* data)
      : block_(block), handles_(handles), data_(data) {}
  ~PlaybackPass() { closeFile(); }

  void run() {
    fileSource_ = playerState().fileSource.load() == 1;
    if (fileSource_ && !openFile()) {
      // Nothing can be played: end the pass at once and switch the box's playback off.
      playerState().playFault.store(TAVRO_ERROR_FILE);
      return endOfPlayback();
    }
    for (;;) {
      if (!transferSetup(handles_.control.get(), kAudioToDevice)) {
        pipeClosed(kAudioOutPipe);
        linkState().audioOutReopen.store(1);
        return endPass();
      }
      size_t packets = 0;
      bool last = false;
      bool hostChunk = false;
      if (fileSource_) {
        last = readFileBlock();
        packets = kBlockSize / kAudioPacketSize;
        awaitGoAhead();
        playerState().deviceReady.store(0);
      } else {
        waitFor([&] { return hostStreams().hostDataReady.load() == 1 || interrupted(); },
                kGoAheadPoll, kNoLimit);
        hostChunk = hostStreams().hostDataReady.load() == 1;
        if (hostChunk) packets = takeHostChunk();
      }
      if (stopRequested()) return endOfPlayback();
      if (linkState().audioOutReopen.load() == 1) return endPass();  // the link was lost meanwhile
      for (size_t i = 0; i < packets; ++i) {
        uint32_t written = 0;
        if (!handles_.write(data_ + i * kAudioPacketSize, kAudioPacketSize, &written)) {
          ownTransferFailed(linkState().audioOutReopen, kAudioOutPipe, handles_);
          break;
        }
      }
      if (hostChunk) hostStreams().hostDataReady.store(0);
      if (stopRequested() || last) return endOfPlayback();
      if (linkState().audioOutReopen.load() == 1) return endPass();
    }
  }

 private:
  bool stopRequested() const {
    return playerState().stopRequest.load() == 1 || block_.runFlag.load() != 1 || stopping();
  }
  bool interrupted() const { return stopRequested() || linkState().audioOutReopen.load() == 1; }

  // The box's go-ahead for the next block, or the end of the pass. A box that closed the
  // pipe before it took the last block sends none, and no write fails: whenever the
  // go-ahead is overdue, the pipe is looked at, and a closed one fails as a write would.
  void awaitGoAhead() {
    while (!waitFor([&] { return playerState().deviceReady.load() == 1 || interrupted(); },
                    kGoAheadPoll, kGoAheadLooks)) {
      if (handles_.pipe && handles_.pipe->hungUp()) {
        ownTransferFailed(linkState().audioOutReopen, kAudioOutPipe, handles_);
        return;
      }
    }
  }

  bool openFile() {
    uint32_t length = 0;
    if (!playableLength(block_.fileName, &length)) return false;
    file_ = std::fopen(block_.fileName, "rbe");
    if (file_ == nullptr) return false;
    playerState().playLength.store(length);
    seekTo(startOffset(length, playerState().startPosition.load()));
    return true;
  }

  void seekTo(uint32_t offset) {
    playerState().playPosition.store(offset);
    std::fseek(file_, static_cast<long>(offset), SEEK_SET);
  }

  // Reads the next block of the file, obeying a seek request first; true when it is the
  // last one (shorter than a block, filled up with silence). The file plays as long as it
  // was when the pass opened it: what is appended meanwhile is not played, so that the
  // position never passes the play length.
  bool readFileBlock() {
    const uint32_t length = playerState().playLength.load();
    if (playerState().seekRequest.load() == 1) {
      playerState().seekRequest.store(0);
      seekTo(startOffset(length, playerState().startPosition.load()));
    }
    const uint32_t at = playerState().playPosition.load();
    const size_t left = at < length ? length - at : 0;
    const size_t n = std::fread(data_, 1, std::min(left, kBlockSize), file_);
    if (n == kBlockSize) {
      playerState().playPosition.fetch_add(kBlockSize);
      postPlaybackProgress(playerState().playPosition.load(), length);
      return false;
    }
    fillSilence(data_, n, kBlockSize);
    playerState().playPosition.store(playerState().playLength.load());
    return true;
  }

  // Copies the waiting host chunk into the block, completed with silence to whole
  // packets; returns the number of packets.
  size_t takeHostChunk() {
    const int32_t length = hostStreams().hostWriteLength.load();
    const size_t n = length < 0 ? 0 : length > int32_t{kBlockSize} ? kBlockSize : size_t(length);
    std::memcpy(data_, hostStreams().hostWrite.data(), n);
    const size_t packets = padToPackets(data_, n) / kAudioPacketSize;
    playerState().playPosition.fetch_add(static_cast<uint32_t>(n));
    return packets;
  }

  void closeFile() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
  }

  // A stop was requested or the last block has gone: switch the box's playback off,
  // unless the command channel cannot carry it (reopening) or nobody would read the
  // answer (the library is stopping).
  void endOfPlayback() {
    if (linkState().audioOutReopen.load() == 1) return endPass();
    closeFile();
    if (linkState().commandReopen.load() == 0 && workers().replyReaderAlive.load() == 1 &&
        block_.runFlag.load() == 1 && !stopping()) {
      sendPlayStatus(0, playerState().playMode.load(), 1, 0);
    }
    endPass();
  }

  void endPass() {
    closeFile();
    // A pass that the link ended (the box gone, the audio-out pipe failed) failed, and says
    // so: to the stop, to the progress (a file's) and in its event.
    if (linkState().audioOutReopen.load() == 1 && playerState().playFault.load() == 0) {
      playerState().playFault.store(kLinkFailed);
      if (fileSource_) playerState().playbackFault.store(-1);
    }
    postPlaybackEnded(playerState().playPosition.load(), playerState().playLength.load(),
                      playerState().playFault.load());
    playerState().finishedFlag.store(1);
    // No playback needs the recorder held any more, also when the file played to its end.
    if (fileSource_) playerState().recorderHold.store(0);
  }

  ThreadBlock& block_;
  PipeHandles& handles_;
  uint8_t* data_;
  std::FILE* file_ = nullptr;
  bool fileSource_ = false;
};

}  // namespace

bool playbackRunning() {
  return playerState().playbackFlag.load(std::memory_order_acquire) == 1;
}

void askPlaybackToEnd() {
  playerState().stopRequest.store(1);
}

void audioOutThread(ThreadBlock& block) {
  workers().audioOutAlive.store(1);
  block.runFlag.store(1);
  auto data = std::make_unique<uint8_t[]>(kBlockSize);
  PipeHandles handles;
  registerHandles(kAudioOutPipe, &handles);
  while (block.runFlag.load() == 1) {
    playerState().playbackFlag.store(0);
    waitForWork(block, playerState().playbackFlag, linkState().audioOutReopen, kAudioOutPipe,
                handles);
    if (block.runFlag.load() != 1) break;
    PlaybackPass(block, handles, data.get()).run();
  }
  registerHandles(kAudioOutPipe, nullptr);
  handles.close();
  workers().audioOutAlive.store(0);
}

}  // namespace tavro
