#include "library/context.h"

#include <atomic>
#include <deque>
#include <map>
#include <unordered_map>
#include <vector>

#include "device/binding.h"
#include "device/pipes.h"
#include "platform/lasting.h"
#include "platform/thread_safety.h"

namespace tavro {

namespace detail {
std::atomic<uint32_t> boundObjects{0};
}

namespace {

// The process's contexts are never destroyed (lasting): a thread, or the process's exit,
// may still use one. A deque keeps each where it was made. An object's own context lives
// while the object does: its destructor ends its threads before it lets the context go.
// The table of objects is never destroyed either, so that the contexts of objects still
// alive at exit outlast the exit handler and the threads it leaves running.
struct Contexts {
  Contexts() : all(1), current(&all.front()) {}
  Mutex mutex;
  std::deque<LibraryContext> all TAVRO_GUARDED_BY(mutex);
  std::atomic<LibraryContext*> current;

  SharedMutex objectsMutex;
  std::unordered_map<const CKusb_IO*, std::shared_ptr<LibraryContext>> objects
      TAVRO_GUARDED_BY(objectsMutex);
  std::map<uint64_t, std::weak_ptr<LibraryContext>> byId TAVRO_GUARDED_BY(objectsMutex);
  uint64_t nextId TAVRO_GUARDED_BY(objectsMutex) = 1;
};

Contexts& contexts() {
  return lasting<Contexts>();
}

constinit thread_local LibraryContext* tBound = nullptr;

}  // namespace

LibraryContext& context() {
  if (LibraryContext* bound = tBound) return *bound;
  return *contexts().current.load(std::memory_order_acquire);
}

LibraryContext* boundContext() {
  return tBound;
}

ContextScope::ContextScope(LibraryContext* context) : previous_(tBound) {
  tBound = context;
}

ContextScope::~ContextScope() {
  tBound = previous_;
}

LibraryContext* detail::bindObject(const CKusb_IO* io) {
  LibraryContext* const previous = tBound;
  Contexts& c = contexts();
  ReaderLock lock(c.objectsMutex);
  const auto it = c.objects.find(io);
  tBound = it == c.objects.end() ? nullptr : it->second.get();
  return previous;
}

void detail::unbind(LibraryContext* previous) {
  tBound = previous;
}

void makeOwnContext(const CKusb_IO* io, const char* device) {
  auto made = std::make_shared<LibraryContext>();
  made->link.bound = true;
  if (device != nullptr && devicePathForm(device)) made->link.device = device;
  Contexts& c = contexts();
  WriterLock lock(c.objectsMutex);
  made->id = c.nextId++;
  c.byId[made->id] = made;
  c.objects[io] = std::move(made);
  detail::boundObjects.fetch_add(1);
}

void dropOwnContext(const CKusb_IO* io) {
  std::shared_ptr<LibraryContext> last;
  Contexts& c = contexts();
  {
    WriterLock lock(c.objectsMutex);
    const auto it = c.objects.find(io);
    if (it == c.objects.end()) return;
    last = std::move(it->second);
    c.objects.erase(it);
    c.byId.erase(last->id);
    detail::boundObjects.fetch_sub(1);
  }
  // The context ends here, outside the lock, unless a notice being posted still holds it.
}

LibraryContext& contextOf(const CKusb_IO* io) {
  Contexts& c = contexts();
  {
    ReaderLock lock(c.objectsMutex);
    const auto it = c.objects.find(io);
    if (it != c.objects.end()) return *it->second;
  }
  return *c.current.load(std::memory_order_acquire);
}

std::shared_ptr<LibraryContext> contextWithId(uint64_t id) {
  Contexts& c = contexts();
  ReaderLock lock(c.objectsMutex);
  const auto it = c.byId.find(id);
  return it == c.byId.end() ? nullptr : it->second.lock();
}

platform::NoticeSource noticeSource() {
  const LibraryContext& ctx = context();
  return {ctx.id, ctx.link.bound ? ctx.link.device : heldBox()};
}

void forEachContext(const std::function<void()>& f) {
  Contexts& c = contexts();
  std::vector<std::shared_ptr<LibraryContext>> own;
  {
    // Not waited for: the exit may come from a thread inside a change of the table.
    if (c.objectsMutex.try_lock_shared()) {
      for (const auto& entry : c.objects) own.push_back(entry.second);
      c.objectsMutex.unlock_shared();
    }
  }
  {
    const ContextScope scope(nullptr);
    f();
  }
  for (const auto& ctx : own) {
    const ContextScope scope(ctx.get());
    f();
  }
}

void useStateForTest() {
  Contexts& c = contexts();
  MutexLock lock(c.mutex);
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
