// The top layer puts the library together: the areas' hooks for the device layer, in one
// table, and the object that starts and stops it.
#include "audio/audio_threads.h"
#include "audio/replies.h"
#include "device/event_sink.h"
#include "device/hooks.h"
#include "device/reply_dispatch.h"
#include "device/threads.h"
#include "events/queue.h"
#include "incoming/replies.h"
#include "library/context.h"
#include "line/replies.h"
#include "platform/platform.h"
#include "tavro/CKusb_IO.h"

namespace tavro {
namespace {

void addReplyHandlers() {
  // The order device/hooks.h sets: the go-ahead is taken before the status item or flags
  // value that the same record carries.
  addAudioReplyHandlers();
  addLinkReplyHandlers();
  addIncomingReplyHandlers();
  addLineReplyHandlers();
}

}  // namespace

extern const AreaHooks kAreaHooks = {
    .addReplyHandlers = addReplyHandlers,
    .startValues = [] { context().reset(); },
    .audioIn = audioInThread,
    .audioOut = audioOutThread,
    .askRecordingToEnd = askRecordingToEnd,
    .endRecording = endRecordingForStop,
    .askPlaybackToEnd = askPlaybackToEnd,
    .recording = recordingRuns,
    .recorderReading = recorderReading,
    .playing = playbackRunning,
    .publish = events::publish,
};

void platform::noticeShown(const std::string& text) {
  postNotice(text);
}

}  // namespace tavro

CKusb_IO::CKusb_IO() : testReplyArea{} {
  tavro::events::attach(this);  // first, so that the start's events are in the queue
  InitialUSB_IO();
}

CKusb_IO::~CKusb_IO() {
  // A copy in a forked child (a global object, say, at the child's exit): its queue and
  // library are the parent's.
  if (started_ && tavro::libraryOfParent()) return;
  tavro::events::detach(this);  // ends the callbacks while the operations still work
  ExistUSB_IO();
}
