// The audio-out thread and the playback operations.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "audio/audio_common.h"
#include "audio/audio_threads.h"
#include "audio/frames.h"
#include "audio/playback.h"
#include "audio/transfer.h"
#include "device/command.h"
#include "device/pipes.h"
#include "device/state.h"
#include "device/wait.h"
#include "platform/platform.h"
#include "tavro/CKusb_IO.h"

namespace tavro {
namespace {

using std::chrono::milliseconds;

constexpr size_t kPacketBytes = 256;
constexpr uint8_t kSilence = 0xD5;  // A-law silence
constexpr milliseconds kGoAheadPoll{2};
constexpr int kHoldPolls = 30;
constexpr int kStopPolls = 101;  // a first 100 ms look, then 100 polls
constexpr milliseconds kPoll{100};
constexpr int kPlayStatusPolls = 100;
constexpr int kFsPolls = 30;

bool stopping() {
  return audioStopping();
}

// The length of a file that can be played: false when it cannot be read or is too long
// for the 32-bit positions.
bool playableLength(const char* name, uint32_t* length) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(name, ec);
  if (ec || size > 0xFFFFFFFFu) return false;
  *length = static_cast<uint32_t>(size);
  return true;
}

class PlaybackPass {
 public:
  PlaybackPass(ThreadBlock& block, PipeHandles& handles, uint8_t* data)
      : block_(block), handles_(handles), data_(data), s_(state()) {}
  ~PlaybackPass() { closeFile(); }

  void run() {
    fileSource_ = s_.fileSource.load() == 1;
    if (fileSource_ && !openFile()) {
      // Nothing can be played: end the pass at once and switch the box's playback off.
      s_.playFault.store(-5);
      return endOfPlayback();
    }
    for (;;) {
      if (!transferSetup(handles_.control, kAudioToDevice)) {
        pipeClosed(kAudioOutPipe);
        setFlag(s_.audioOutReopen, 1);
        return endPass();
      }
      size_t packets = 0;
      bool last = false;
      bool hostChunk = false;
      if (fileSource_) {
        last = readFileBlock();
        packets = kBlockSize / kPacketBytes;
        waitFor([&] { return s_.deviceReady.load() == 1 || interrupted(); }, kGoAheadPoll,
                kNoLimit);
        setFlag(s_.deviceReady, 0);
      } else {
        waitFor([&] { return s_.hostDataReady.load() == 1 || interrupted(); }, kGoAheadPoll,
                kNoLimit);
        hostChunk = s_.hostDataReady.load() == 1;
        if (hostChunk) packets = takeHostChunk();
      }
      if (stopRequested()) return endOfPlayback();
      if (s_.audioOutReopen.load() == 1) return endPass();  // the link was lost meanwhile
      for (size_t i = 0; i < packets; ++i) {
        uint32_t written = 0;
        if (!platform::writeFile(handles_.pipe, data_ + i * kPacketBytes, kPacketBytes, &written)) {
          ownTransferFailed(s_.audioOutReopen, kAudioOutPipe, handles_);
          break;
        }
      }
      if (hostChunk) setFlag(s_.hostDataReady, 0);
      if (stopRequested() || last) return endOfPlayback();
      if (s_.audioOutReopen.load() == 1) return endPass();
    }
  }

 private:
  bool stopRequested() const {
    return block_.stopRequest.load() == 1 || block_.runFlag.load() != 1 || stopping();
  }
  bool interrupted() const { return stopRequested() || s_.audioOutReopen.load() == 1; }

  bool openFile() {
    uint32_t length = 0;
    if (!playableLength(block_.fileName, &length)) return false;
    file_ = std::fopen(block_.fileName, "rb");
    if (file_ == nullptr) return false;
    setFlag(s_.playLength, length);
    seekTo(startOffset(length, s_.startPosition.load()));
    return true;
  }

  void seekTo(uint32_t offset) {
    setFlag(s_.playPosition, offset);
    std::fseek(file_, static_cast<long>(offset), SEEK_SET);
  }

  // Reads the next block of the file, obeying a seek request first; true when it is the
  // last one (shorter than a block, filled up with silence).
  bool readFileBlock() {
    if (s_.seekRequest.load() == 1) {
      setFlag(s_.seekRequest, 0);
      seekTo(startOffset(s_.playLength.load(), s_.startPosition.load()));
    }
    const size_t n = std::fread(data_, 1, kBlockSize, file_);
    if (n == kBlockSize) {
      s_.playPosition.fetch_add(kBlockSize);
      notifyStateChange();
      return false;
    }
    std::memset(data_ + n, kSilence, kBlockSize - n);
    setFlag(s_.playPosition, s_.playLength.load());
    return true;
  }

  // Copies the waiting host chunk into the block, completed with silence to whole
  // packets; returns the number of packets.
  size_t takeHostChunk() {
    const int32_t length = s_.hostWriteLength.load();
    const size_t n = length < 0 ? 0 : length > int32_t{kBlockSize} ? kBlockSize : size_t(length);
    std::memcpy(data_, s_.hostWrite.data(), n);
    const size_t packets = (n + kPacketBytes - 1) / kPacketBytes;
    std::memset(data_ + n, kSilence, packets * kPacketBytes - n);
    s_.playPosition.fetch_add(static_cast<uint32_t>(n));
    notifyStateChange();
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
    if (s_.audioOutReopen.load() == 1) return endPass();
    closeFile();
    if (s_.commandReopen.load() == 0 && s_.replyReaderAlive.load() == 1 &&
        block_.runFlag.load() == 1 && !stopping()) {
      sendPlayStatus(0, s_.playMode.load(), 1, 0);
    }
    endPass();
  }

  void endPass() {
    closeFile();
    setFlag(block_.finishedFlag, 1);
    // No playback needs the recorder held any more, also when the file played to its end.
    if (fileSource_) setFlag(s_.recorderHold, 0);
  }

  ThreadBlock& block_;
  PipeHandles& handles_;
  uint8_t* data_;
  DeviceState& s_;
  std::FILE* file_ = nullptr;
  bool fileSource_ = false;
};

}  // namespace

bool audioStopping() {
  return state().stopping.load() == 1;
}

void awaitBackInWait(std::atomic<uint8_t>& startFlag) {
  waitFor([&] { return startFlag.load() == 0 || audioStopping(); }, milliseconds{10}, 20);
}

int sendPlayStatus(uint8_t on, uint8_t mode, uint8_t param, uint8_t flag) {
  if (linkDown()) return -1;
  return commandRoundTrip(makePacket({9, on, mode, param, flag}), kPlayStatusPolls);
}

void audioOutThread(ThreadBlock& block) {
  DeviceState& s = state();
  setFlag(s.audioOutAlive, 1);
  setFlag(block.runFlag, 1);
  auto data = std::make_unique<uint8_t[]>(kBlockSize);
  PipeHandles handles;
  registerHandles(kAudioOutPipe, &handles);
  while (block.runFlag.load() == 1) {
    setFlag(block.playbackFlag, 0);
    waitForWork(block, block.playbackFlag, s.audioOutReopen, kAudioOutPipe, handles);
    if (block.runFlag.load() != 1) break;
    PlaybackPass(block, handles, data.get()).run();
  }
  registerHandles(kAudioOutPipe, nullptr);
  handles.close();
  setFlag(s.audioOutAlive, 0);
}

}  // namespace tavro

using namespace tavro;

int CKusb_IO::StartPlaySound(const char* fileName, int startPosition, unsigned char mode,
                             unsigned char param, bool flag) {
  DeviceState& s = state();
  ThreadBlock& out = s.audioOut;
  if (linkDown()) return -1;
  if (mode != 1 && mode != 2 && !statusHas(kOffHookBit)) return -4;
  if (out.runFlag.load() != 1) return -2;
  if (out.playbackFlag.load() == 1 && out.finishedFlag.load() == 1)
    awaitBackInWait(out.playbackFlag);
  if (out.playbackFlag.load() == 1) return -6;
  uint32_t length = 0;
  if (fileName == nullptr || *fileName == 0 || std::strlen(fileName) >= kFileNameSize ||
      !playableLength(fileName, &length))
    return -5;
  if (std::FILE* f = std::fopen(fileName, "rb")) {
    std::fclose(f);
  } else {
    return -5;
  }

  s.startPosition.store(startPosition);
  setFlag(s.recorderHold, 1);
  s.seekRequest.store(0);
  s.playLength.store(0);
  s.playPosition.store(0);
  s.fileSource.store(1);
  s.deviceReady.store(0);
  std::strcpy(out.fileName, fileName);
  out.finishedFlag.store(0);
  out.stopRequest.store(0);
  s.playbackFault.store(0);
  s.playFault.store(0);
  if (!waitPolled([&] { return s.recorderBusy.load() == 0; }, kPoll, kHoldPolls, &s.pollCounter)) {
    setFlag(s.recorderHold, 0);
    return -3;
  }
  s.playMode.store(mode);
  SetPlayStatus(1, mode, param, flag ? 1 : 0);  // played whether or not the box answered
  setFlag(out.playbackFlag, 1);
  return 1;
}

int CKusb_IO::StartPlaySoundCStr(CString fileName, int startPosition, unsigned char mode,
                                 unsigned char param, bool flag) {
  if (fileName.size() >= kFileNameSize) return -5;
  char buffer[kFileNameSize];
  std::memcpy(buffer, fileName.data(), fileName.size());
  buffer[fileName.size()] = 0;
  return StartPlaySound(buffer, startPosition, mode, param, flag);
}

int CKusb_IO::StopPlaySound() {
  DeviceState& s = state();
  ThreadBlock& out = s.audioOut;
  if (linkDown()) return -1;
  if (out.runFlag.load() != 1) return -2;
  if (out.playbackFlag.load() == 1) {
    setFlag(out.stopRequest, 1);
    const bool ended =
        waitPolled([&] { return out.finishedFlag.load() == 1; }, kPoll, kStopPolls, &s.pollCounter);
    setFlag(s.recorderHold, 0);
    if (!ended) return -3;
    awaitBackInWait(out.playbackFlag);
  } else {
    setFlag(s.recorderHold, 0);
  }
  return s.playFault.load() < 0 ? s.playFault.load() : 1;
}

int CKusb_IO::GetWriteSoundRate() {
  DeviceState& s = state();
  const uint32_t length = s.playLength.load();
  if (length == 0) return 0;
  if (s.playbackFault.load() < 0) return s.playbackFault.load();
  return playRate(s.playPosition.load(), length);
}

uint32_t CKusb_IO::GetWriteSoundBytes() {
  return state().playPosition.load();
}

void CKusb_IO::SeekFilePointForTelInfo(int position) {
  DeviceState& s = state();
  s.startPosition.store(position);
  setFlag(s.seekRequest, 1);
}

int CKusb_IO::SetPlayStatus(unsigned char on, unsigned char mode, unsigned char param,
                            unsigned char flag) {
  return sendPlayStatus(on, mode, param, flag);
}

int CKusb_IO::FS_Open() {
  if (linkDown()) return -1;
  return commandRoundTrip(makePacket({18, 0}), kFsPolls);
}

int CKusb_IO::FS_Close() {
  if (linkDown()) return -1;
  if (state().audioOut.playbackFlag.load() == 1) StopPlaySound();
  return commandRoundTrip(makePacket({18, 1}), kFsPolls);
}
