// The platform layer: everything the library needs from the operating system.
//
// The devices are reached through the backends chosen when the process starts (backend.h):
// boxes on the virtual wire, boxes on USB.
#ifndef TAVRO_PLATFORM_PLATFORM_H
#define TAVRO_PLATFORM_PLATFORM_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/backend.h"
#include "platform/wire.h"
#include "tavro/devices.h"
#include "tavro/notice.h"

namespace tavro::platform {

// ---- Backends ------------------------------------------------------------------------

// The backends of this process (TAVRO_BACKENDS, see backend.h) are made when the first
// hold begins and end with the last one; the library holds them while it runs. Without a
// hold, every enumeration or open makes them for the call.
class BackendHold {
 public:
  BackendHold();
  ~BackendHold();
  BackendHold(const BackendHold&) = delete;
  BackendHold& operator=(const BackendHold&) = delete;
  // Until this hold ends: calls `changed` (from any thread; it must not block) when a
  // device may have come (`arrived` true) or gone (false). Every hold is told of every
  // change. False when some backend cannot tell: then the caller looks again by itself.
  bool watchChanges(std::function<void(bool arrived)> changed);
};

// Tells every hold's listener of a change as a backend would: a box that this process let
// go may now be had by another of its users.
void tellDeviceChange(bool arrived);

// The paths of the boxes on every backend in use that may open, in the fixed order.
std::vector<std::string> boxPaths();

// Opens the device at `path` on the backend in use that has it: when none opens it, the
// state says kBusy when another program holds it. The device, and every pipe opened on it,
// keeps the backends it came from while it lives, so that the opens of one box share its
// claim. Closed when the last owner lets it go.
Opened openDevice(const std::string& path);

// Pipe `number` (0 to 3) of an opened device; nullptr when it cannot be opened. The pipe
// stays usable after the device is closed.
std::shared_ptr<BackendPipe> openPipe(BackendDevice& device, int number);

// Every device of every backend in use, in the fixed order, each opened, claimed and
// probed to tell whether the library could use it (tavro/devices.h).
DeviceList checkDevices();

// Test hook, not public API: runs in every connect to a device or pipe socket of the
// virtual wire after the publish folders were opened and checked, and before the
// connect. Empty: none.
void setConnectHook(std::function<void()> hook);

// ---- Threads ---------------------------------------------------------------------

enum class ThreadPriority { kNormal, kHighest };

class Thread {
 public:
  // Starts fn at once. Raising the priority is best effort: failing is not an error.
  // stackSize 0 keeps the default.
  Thread(std::function<void()> fn, ThreadPriority priority, size_t stackSize);
  ~Thread();  // joins
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  void join();
  // Lets the thread run on by itself; it is no longer joined.
  void detach();
  bool joinable() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Sleeps while `word` holds `seen`, until wakeWord is called on it or `deadline` passes
// (Clock::time_point::max(): no deadline); it may also return early for no reason.
// The word is process-private.
void waitWord(std::atomic<uint32_t>& word, uint32_t seen,
              std::chrono::steady_clock::time_point deadline);
// Wakes the threads sleeping in waitWord on `word`.
void wakeWord(std::atomic<uint32_t>& word);

// ---- Time ------------------------------------------------------------------------

// Library time. Tests may run it faster: with a scale of 50, a 100 ms sleep takes 2 ms.
using Clock = std::chrono::steady_clock;
void sleepFor(std::chrono::milliseconds duration);
// The real duration of a library duration at the current scale.
Clock::duration realDuration(std::chrono::milliseconds duration);

// Test hook, not public API: 1.0 is real time.
void setTimeScale(double scale);
double timeScale();

// ---- Notices -----------------------------------------------------------------------

// Hands a notice to the notice thread and returns at once; the thread passes it to the
// handler installed with tavro::setNoticeHandler (default: one line on standard error,
// written only when the output takes it at once). A notice equal to one waiting is counted
// into it; repeats within a second (library time) of its last showing are counted and
// shown once with their count when the second has passed (tavro/notice.h). Notices of
// different sources are different notices. Beyond eight
// different notices waiting, more are dropped. The thread starts with the first notice and
// ends a quarter of a second after the last, once no repeats wait.
// What a notice is about: the library context that raised it (0: the process's) and the
// device path it is bound to or holds (empty: none).
struct NoticeSource {
  uint64_t id = 0;
  std::string device;
};
void showNotice(const std::string& text, const NoticeSource& source = {});
// Installs the handler that shows the notices (empty: the default); returns the previous
// one, whose call still running, if any, has ended (tavro/notice.h).
NoticeHandler installNoticeHandler(NoticeHandler handler);
// Within a handler's call: how many raises of its notice it shows; 0 elsewhere.
uint64_t noticeCount();
// Within a handler's call: the source of its notice; null elsewhere.
const NoticeSource* noticeSource();
// Called with every notice as it is handed on to the handler (repeats once they are due),
// on the thread that raised it or, for repeats, the notice thread: the one call up from this
// layer, defined where the library is assembled (library/assembly.cpp), which posts it to
// the event queues.
void noticeShown(const std::string& text, const NoticeSource& source);

// Delivers what is waiting, for at most `limit` of library time, then ends the notice
// thread. A handler still showing its notice then is not waited for: its thread ends by
// itself when the handler returns, and the rest of the queue is dropped. False in that case.
bool stopNotices(std::chrono::milliseconds limit);
// The same for the notices of one source only (NoticeSource::id): the thread goes on while
// it has others' notices to deliver.
bool stopNotices(std::chrono::milliseconds limit, uint64_t source);

// Test hook, not public API: true once no notice waits and no handler runs, within `limit`
// of real time.
bool awaitNoticesDelivered(std::chrono::milliseconds limit);

}  // namespace tavro::platform

#endif  // TAVRO_PLATFORM_PLATFORM_H
