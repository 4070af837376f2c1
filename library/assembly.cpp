// The top layer puts the library together: the areas' hooks for the device layer, in one
// table, and the object that starts and stops it.
#include "audio/audio_threads.h"
#include "audio/replies.h"
#include "device/binding.h"
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
    // The events of a context go to the queues of its objects.
    .publish = [](tavro_event& event) { events::publish(event, boundContext()); },
};

// On the thread that raised the notice, or the notice thread for repeats: the event goes to
// the queues of the context it is about, while that context is there.
void platform::noticeShown(const std::string& text, const platform::NoticeSource& source) {
  std::shared_ptr<LibraryContext> own;
  if (source.id != 0 && (own = contextWithId(source.id)) == nullptr) return;
  const ContextScope scope(own.get());
  postNotice(text);
}

}  // namespace tavro

CKusb_IO::CKusb_IO() : testReplyArea{} {
  tavro::events::attach(this, nullptr);  // first, so that the start's events are in the queue
  InitialUSB_IO();
}

CKusb_IO::CKusb_IO(const char* device) : testReplyArea{} {
  tavro::makeOwnContext(this, device);
  const tavro::ObjectScope scope(this);
  tavro::events::attach(this, tavro::boundContext());
  InitialUSB_IO();
}

CKusb_IO::~CKusb_IO() {
  {
    const tavro::ObjectScope scope(this);
    // A copy in a forked child (a global object, say, at the child's exit): its queue,
    // library and context are the parent's.
    if (started_ && tavro::libraryOfParent()) return;
    tavro::events::detach(this);  // ends the callbacks while the operations still work
    ExistUSB_IO();
  }
  // Its threads have ended: its own context, if it has one, can go.
  tavro::dropOwnContext(this);
}
