// What the audio area takes from the box's replies: the go-ahead for the next block, and a
// playback fault in the status record.
#include "audio/replies.h"

#include "audio/audio_state.h"
#include "audio/frames.h"
#include "device/reply_dispatch.h"
#include "device/state.h"

namespace tavro {
namespace {

// The box's go-ahead for the next block.
Pending deviceReady(const ReplyRecord&) {
  playerState().deviceReady.store(1);
  return Pending::kClear;
}

void playbackItem(uint8_t value) {
  if (value == kPlaybackFault) playerState().playbackFault.store(-1);
}

}  // namespace

void addAudioReplyHandlers() {
  addReplyHandler(Reply::kDeviceReady, deviceReady);
  addStatusItemHandler(StatusItemKind::kPlayback, playbackItem);
}

}  // namespace tavro
