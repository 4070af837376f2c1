#include "library/context.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "device/lasting.h"

namespace tavro {
namespace {

// Contexts are never destroyed: a thread, or the process's exit, may still use one.
struct Contexts {
  std::mutex mutex;
  std::vector<LibraryContext*> all{new LibraryContext};
  std::atomic<LibraryContext*> current{all.front()};
};

Contexts& contexts() {
  return lasting<Contexts>();
}

}  // namespace

LibraryContext& context() {
  return *contexts().current.load(std::memory_order_acquire);
}

void useStateForTest() {
  Contexts& c = contexts();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.all.push_back(new LibraryContext);
  c.current.store(c.all.back(), std::memory_order_release);
}

void LibraryContext::reset() {
  notices.reset();
  workers.reset();
  command.reset();
  replies.reset();
  recorder.reset();
  player.reset();
  host.reset();
  sink.reset();
  link.reset();
}

LinkState& linkState() {
  return context().link;
}
WorkerThreads& workers() {
  return context().workers;
}
CommandChannel& commandChannel() {
  return context().command;
}
NoticeState& noticeState() {
  return context().notices;
}
ReplyStores& replyStores() {
  return context().replies;
}
DialParameters& dialParameters() {
  return context().dial;
}
RecorderState& recorderState() {
  return context().recorder;
}
PlayerState& playerState() {
  return context().player;
}
HostStreams& hostStreams() {
  return context().host;
}
EventSinkState& eventSinkState() {
  return context().sink;
}
const AreaHooks& areaHooks() {
  return *context().hooks.load(std::memory_order_acquire);
}

}  // namespace tavro
