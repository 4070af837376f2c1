// The playback operations: a file played to the line, stopped, and its progress.
#include <cstdio>
#include <cstring>

#include "audio/audio_common.h"
#include "audio/audio_state.h"
#include "audio/playback.h"
#include "device/binding.h"
#include "device/command.h"
#include "device/state.h"
#include "device/wait.h"
#include "tavro/CKusb_IO.h"

namespace tavro {
namespace {

using std::chrono::milliseconds;

constexpr int kHoldPolls = 30;
constexpr int kStopPolls = 101;  // a first 100 ms look, then 100 polls
constexpr milliseconds kPoll{100};

}  // namespace
}  // namespace tavro

using namespace tavro;

int CKusb_IO::StartPlaySound(const char* fileName, int startPosition, unsigned char mode,
                             unsigned char param, bool flag) {
  TAVRO_BIND_OBJECT();
  ThreadBlock& out = workers().audioOut;
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  if (mode != 1 && mode != 2 && !statusHas(kOffHookBit)) return TAVRO_ERROR_ON_HOOK;
  if (out.runFlag.load() != 1) return TAVRO_ERROR_NOT_RUNNING;
  if (playerState().playbackFlag.load() == 1 && playerState().finishedFlag.load() == 1)
    awaitBackInWait(playerState().playbackFlag);
  if (playerState().playbackFlag.load() == 1) return TAVRO_ERROR_ALREADY_RUNNING;
  uint32_t length = 0;
  if (fileName == nullptr || *fileName == 0 || std::strlen(fileName) >= kFileNameSize ||
      !playableLength(fileName, &length))
    return TAVRO_ERROR_FILE;
  if (std::FILE* f = std::fopen(fileName, "rbe")) {
    std::fclose(f);
  } else {
    return TAVRO_ERROR_FILE;
  }

  playerState().startPosition.store(startPosition);
  playerState().recorderHold.store(1);
  playerState().beginPass(/*fromFile=*/true);
  std::strcpy(out.fileName, fileName);
  if (!waitPolled([&] { return recorderState().recorderBusy.load() == 0; }, kPoll, kHoldPolls,
                  &commandChannel().pollCounter)) {
    playerState().recorderHold.store(0);
    return TAVRO_ERROR_TIMEOUT;
  }
  playerState().playMode.store(mode);
  SetPlayStatus(1, mode, param, flag ? 1 : 0);  // played whether or not the box answered
  playerState().playbackFlag.store(1);
  return TAVRO_SUCCESS;
}

int CKusb_IO::StartPlaySoundCStr(CString fileName, int startPosition, unsigned char mode,
                                 unsigned char param, bool flag) {
  TAVRO_BIND_OBJECT();
  if (fileName.size() >= kFileNameSize) return TAVRO_ERROR_FILE;
  char buffer[kFileNameSize];
  std::memcpy(buffer, fileName.data(), fileName.size());
  buffer[fileName.size()] = 0;
  return StartPlaySound(buffer, startPosition, mode, param, flag);
}

int CKusb_IO::StopPlaySound() {
  TAVRO_BIND_OBJECT();
  ThreadBlock& out = workers().audioOut;
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  if (out.runFlag.load() != 1) return TAVRO_ERROR_NOT_RUNNING;
  if (playerState().playbackFlag.load() == 1) {
    playerState().stopRequest.store(1);
    const bool ended = waitPolled([&] { return playerState().finishedFlag.load() == 1; }, kPoll,
                                  kStopPolls, &commandChannel().pollCounter);
    playerState().recorderHold.store(0);
    if (!ended) return TAVRO_ERROR_TIMEOUT;
    awaitBackInWait(playerState().playbackFlag);
  } else {
    playerState().recorderHold.store(0);
  }
  return playerState().playFault.load() < 0 ? playerState().playFault.load() : 1;
}

int CKusb_IO::GetWriteSoundRate() {
  TAVRO_BIND_OBJECT();
  const uint32_t length = playerState().playLength.load();
  if (length == 0) return 0;
  if (playerState().playbackFault.load() < 0) return playerState().playbackFault.load();
  return playRate(playerState().playPosition.load(), length);
}

uint32_t CKusb_IO::GetWriteSoundBytes() {
  TAVRO_BIND_OBJECT();
  return playerState().playPosition.load();
}

void CKusb_IO::SeekFilePointForTelInfo(int position) {
  TAVRO_BIND_OBJECT();
  playerState().startPosition.store(position);
  playerState().seekRequest.store(1);
}

int CKusb_IO::SetPlayStatus(unsigned char on, unsigned char mode, unsigned char param,
                            unsigned char flag) {
  TAVRO_BIND_OBJECT();
  return sendPlayStatus(on, mode, param, flag);
}

int CKusb_IO::FS_Open() {
  TAVRO_BIND_OBJECT();
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  return commandRoundTrip(commands::kFileSwitch, {0});
}

int CKusb_IO::FS_Close() {
  TAVRO_BIND_OBJECT();
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  if (playerState().playbackFlag.load() == 1) StopPlaySound();
  return commandRoundTrip(commands::kFileSwitch, {1});
}
