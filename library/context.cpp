#include "library/context.h"

#include <atomic>
#include <deque>
#include <mutex>

#include "platform/lasting.h"

namespace tavro {
namespace {

// Contexts are never destroyed (lasting): a thread, or the process's exit, may still use
// one. A deque keeps each where it was made.
struct Contexts {
  Contexts() : all(1), current(&all.front()) {}
  std::mutex mutex;
  std::deque<LibraryContext> all;
  std::atomic<LibraryContext*> current;
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
  c.current.store(&c.all.emplace_back(), std::memory_order_release);
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
Lifecycle& lifecycle() {
  return context().lifecycle;
}
const AreaHooks& areaHooks() {
  return *context().hooks.load(std::memory_order_acquire);
}

}  // namespace tavro
