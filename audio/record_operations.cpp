// The recording operations: a recording into a file started, stopped and counted.
#include <cstring>
#include <utility>

#include "audio/audio_common.h"
#include "audio/audio_state.h"
#include "audio/recorder.h"
#include "audio/wave_file.h"
#include "device/binding.h"
#include "device/command.h"
#include "device/notices.h"
#include "device/state.h"
#include "device/wait.h"
#include "platform/platform.h"
#include "tavro/CKusb_IO.h"

namespace tavro {
namespace {

using std::chrono::milliseconds;

// The modes the box's byte carries: 0 to 255, and -128 to -1 (negative modes need the line
// off hook, as 0 does).
constexpr int kLowestMode = -128;
constexpr int kHighestMode = 255;
constexpr int kStopPolls = 60;
constexpr milliseconds kStopPoll{100};

}  // namespace
}  // namespace tavro

using namespace tavro;

int CKusb_IO::StartReadSound(const char* fileName, int mode) {
  TAVRO_BIND_OBJECT();
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  // The mode travels in one byte: a value it cannot carry would reach the box as another
  // mode than the one the on-hook rule was applied to (256 as 0).
  if (mode < kLowestMode || mode > kHighestMode) return TAVRO_ERROR_INVALID_ARGUMENT;
  if (mode <= 0 && !statusHas(kOffHookBit)) return TAVRO_ERROR_ON_HOOK;
  if (workers().audioIn.runFlag.load() != 1) return TAVRO_ERROR_NOT_RUNNING;
  if (recorderState().audioInStart.load() == 1 && recorderState().recordFinished.load() == 1)
    awaitBackInWait(recorderState().audioInStart);
  if (recorderState().audioInStart.load() == 1) return TAVRO_ERROR_ALREADY_RUNNING;
  if (fileName == nullptr || *fileName == 0 || std::strlen(fileName) >= kFileNameSize ||
      !canCreateFile(fileName))
    return TAVRO_ERROR_FILE;
  SetRecordStatus(true, mode);  // the recording starts whether or not the box answered
  std::strcpy(workers().audioIn.fileName, fileName);
  recorderState().beginRecording(1);
  hostStreams().hostBufferRecording.store(0);
  commandChannel().commandWaiting.store(0);
  recorderState().audioInStart.store(1);
  return TAVRO_SUCCESS;
}

int CKusb_IO::StartReadSoundCStr(CString fileName, int mode) {
  TAVRO_BIND_OBJECT();
  if (fileName.size() >= kFileNameSize) return TAVRO_ERROR_FILE;
  char buffer[kFileNameSize];
  std::memcpy(buffer, fileName.data(), fileName.size());
  buffer[fileName.size()] = 0;
  return StartReadSound(buffer, mode);
}

int CKusb_IO::StartReadSoundCStrF(CString fileName) {
  TAVRO_BIND_OBJECT();
  return StartReadSoundCStr(std::move(fileName), 0);
}

int CKusb_IO::StopReadSound() {
  TAVRO_BIND_OBJECT();
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  if (workers().audioIn.runFlag.load() != 1) return TAVRO_ERROR_NOT_RUNNING;
  if (playerState().playbackFlag.load() == 1) {
    StopPlaySound();
    playerState().recorderHold.store(0);
  }
  recorderState().recordGo.store(0);
  const bool finished = waitPolled([&] { return recorderState().recordFinished.load() == 1; },
                                   kStopPoll, kStopPolls, &commandChannel().pollCounter);
  if (!finished) {
    // The box has stopped streaming: the read it leaves waiting is cut off, so that the
    // recording ends now with what came, its header written, and the closing command gets
    // through. The count then stays that of the file; only a recording that could not be
    // finished (none open, or one held by a playback or a command) gets -3.
    if (!cutOffRecording()) recorderState().recordedBytes.store(TAVRO_ERROR_TIMEOUT);
    platform::showNotice(kStopErrorMessage, noticeSource());
  }
  if (recorderState().recordFinished.load() == 1) awaitBackInWait(recorderState().audioInStart);
  if (SetRecordStatus(false, 0) < 0) return TAVRO_ERROR_LINK_DOWN;
  if (!finished) return TAVRO_ERROR_TIMEOUT;
  if (recorderState().recordFault.load() < 0) return recorderState().recordFault.load();
  return recorderState().recordedBytes.load();
}

int32_t CKusb_IO::ReadRecLength() {
  TAVRO_BIND_OBJECT();
  return recorderState().recordedBytes.load();
}

int CKusb_IO::SetRecordStatus(bool start, int mode) {
  TAVRO_BIND_OBJECT();
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  return switchRecordStream(start, mode);
}
