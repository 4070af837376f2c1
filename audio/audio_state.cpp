#include "audio/audio_state.h"

namespace tavro {

void RecorderState::reset() {
  SignalBatch batch;
  audioInStart.store(0);
  recordGo.store(0);
  recorderBusy.store(0);
  recordedBytes.store(0);
  recordFinished.store(1);
}

void RecorderState::beginRecording(uint8_t go) {
  SignalBatch batch;
  recordedBytes.store(0);
  recordFault.store(0);
  recordFinished.store(0);
  recordGo.store(go);
}

void PlayerState::reset() {
  SignalBatch batch;
  playbackFlag.store(0);
  fileSource.store(0);
  recorderHold.store(0);
  deviceReady.store(0);
  seekRequest.store(0);
  playMode.store(0);
}

void PlayerState::beginPass(bool fromFile) {
  SignalBatch batch;
  fileSource.store(fromFile ? 1 : 0);
  finishedFlag.store(0);
  stopRequest.store(0);
  playFault.store(0);
  if (!fromFile) return;
  seekRequest.store(0);
  playLength.store(0);
  playPosition.store(0);
  deviceReady.store(0);
  playbackFault.store(0);
}

void HostStreams::reset() {
  SignalBatch batch;
  hostBufferRecording.store(0);
  bufferReadyA.store(0);
  bufferReadyB.store(0);
  hostDataReady.store(0);
}

void HostStreams::openRead() {
  SignalBatch batch;
  hostBufferRecording.store(1);
  bufferReadyA.store(0);
  bufferReadyB.store(0);
  hostReadCountA.store(0);
  hostReadCountB.store(0);
  hostReadOffset.store(0);
  hostReadClose.store(0);
  nextBuffer.store(1);
}

}  // namespace tavro
