// What the audio area takes from the box's replies: the go-ahead for the next block, and a
// playback fault in the status record.
#include "audio/replies.h"

#include "audio/audio_state.h"
#include "audio/frames.h"
#include "device/reply_dispatch.h"
#include "device/state.h"
#include "tavro/result.h"

namespace tavro {
namespace {

// The box's go-ahead for the next block.
Pending deviceReady(const ReplyRecord&) {
  playerState().deviceReady.store(1);
  return Pending::kClear;
}

void playbackItem(uint8_t value) {
  // A refusal comes first and is followed by a plain fault for libraries that know no
  // refusals: the fault does not hide it.
  if (value == kPlaybackRefused) playerState().playbackFault.store(TAVRO_ERROR_ALREADY_RUNNING);
  if (value == kPlaybackFault && playerState().playbackFault.load() >= 0)
    playerState().playbackFault.store(-1);
}

}  // namespace

void addAudioReplyHandlers() {
  addReplyHandler(Reply::kDeviceReady, deviceReady);
  addStatusItemHandler(StatusItemKind::kPlayback, playbackItem);
}

}  // namespace tavro
