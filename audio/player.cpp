// The audio-out thread and the playback operations.
#include "audio/audio_threads.h"
#include "device/pipes.h"
#include "device/state.h"

namespace tavro {
namespace {

// One playback pass, from a file or from the host write buffer.
void playOnce(ThreadBlock& block, PipeHandles& /*handles*/) {
  setFlag(block.finishedFlag, 1);
}

}  // namespace

void audioOutThread(ThreadBlock& block) {
  DeviceState& s = state();
  setFlag(s.audioOutAlive, 1);
  setFlag(block.runFlag, 1);
  PipeHandles handles;
  registerHandles(kAudioOutPipe, &handles);
  while (block.runFlag.load() == 1) {
    setFlag(block.playbackFlag, 0);
    waitForWork(block, block.playbackFlag, s.audioOutReopen, kAudioOutPipe, handles);
    if (block.runFlag.load() != 1) break;
    playOnce(block, handles);
  }
  registerHandles(kAudioOutPipe, nullptr);
  handles.close();
  setFlag(s.audioOutAlive, 0);
}

}  // namespace tavro
