#include "library/assembly.h"

#include <mutex>

#include "audio/audio_threads.h"
#include "audio/replies.h"
#include "device/command.h"
#include "device/event_sink.h"
#include "device/reply_dispatch.h"
#include "device/threads.h"
#include "events/queue.h"
#include "incoming/replies.h"
#include "library/context.h"
#include "line/replies.h"
#include "platform/platform.h"
#include "tavro/CKusb_IO.h"

namespace tavro {

void assembleLibrary() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Handlers of one reply type run in this order: the go-ahead is taken before the
    // status item or flags value that the same record carries.
    addAudioReplyHandlers();
    addLinkReplyHandlers();
    addIncomingReplyHandlers();
    addLineReplyHandlers();
    setAudioWorkers(audioInThread, audioOutThread);
    setAudioStop(askRecordingToEnd, endRecordingForStop, askPlaybackToEnd);
    setAudioActivity(recordingRuns, recorderReading, playbackRunning);
    setStartValues([] { context().reset(); });
    setEventPublisher(events::publish);
    platform::setNoticeObserver(postNotice);
  });
}

}  // namespace tavro

CKusb_IO::CKusb_IO() : testReplyArea{} {
  tavro::assembleLibrary();
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
