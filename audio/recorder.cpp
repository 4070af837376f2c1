// The audio-in thread and the recording operations.
#include "audio/audio_threads.h"
#include "device/pipes.h"
#include "device/state.h"

namespace tavro {
namespace {

// One recording, from the transfer setup to finishing or abandoning it.
void recordOnce(ThreadBlock& /*block*/, PipeHandles& /*handles*/) {}

}  // namespace

void audioInThread(ThreadBlock& block) {
  DeviceState& s = state();
  setFlag(s.audioInAlive, 1);
  setFlag(block.runFlag, 1);
  PipeHandles handles;
  registerHandles(kAudioInPipe, &handles);
  while (block.runFlag.load() == 1) {
    setFlag(block.audioInStart, 0);
    waitForWork(block, block.audioInStart, s.audioInReopen, kAudioInPipe, handles);
    if (block.runFlag.load() != 1) break;
    recordOnce(block, handles);
  }
  registerHandles(kAudioInPipe, nullptr);
  handles.close();
  setFlag(s.audioInAlive, 0);
}

}  // namespace tavro
