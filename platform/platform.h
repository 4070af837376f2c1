// The platform layer: everything the library needs from the operating system.
//
// It keeps the shape of the Windows device calls (device-interface enumeration, file
// handles, device-control requests) so that the code above it reads like the documented
// algorithms. The devices are reached through the backends chosen when the process starts
// (backend.h): boxes on the virtual wire, boxes on USB.
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

// ---- Device interfaces -------------------------------------------------------------

// A device interface class identifier, as the 16-byte in-memory record.
struct InterfaceClass {
  uint8_t bytes[16];
};

// The class of the box's USB chip driver, {77F49321-16EF-11D2-AD51-006097B514DD}.
extern const InterfaceClass kBoxInterfaceClass;

// The class identifier as text, "{77F49321-16EF-11D2-AD51-006097B514DD}".
std::string interfaceClassName(const InterfaceClass& cls);

// The registry root: $XDG_RUNTIME_DIR/tavro when XDG_RUNTIME_DIR is an absolute path,
// else /tmp/tavro-<uid>.
std::string registryRoot();

// The directory of a class under the registry root.
std::string classDirectory(const InterfaceClass& cls);

inline constexpr uint32_t kErrorNoMoreItems = 259;

// A snapshot of the present interfaces of one class (SetupDiGetClassDevs): every backend in
// use is asked, in the fixed order, for the boxes it has; index 0 is the first found. Only
// the box's class has interfaces. On the virtual wire: none when the registry root or the
// class directory is missing, not a directory, not owned by the user, or writable by group
// or others.
class DeviceInfoSet {
 public:
  explicit DeviceInfoSet(const InterfaceClass& cls);
  ~DeviceInfoSet();
  DeviceInfoSet(const DeviceInfoSet&) = delete;
  DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;

  // SetupDiEnumDeviceInterfaces: true and the interface's index when there is one at
  // `index`; false with *error = kErrorNoMoreItems past the last one.
  bool enumInterface(uint32_t index, uint32_t* error) const;

  // SetupDiGetDeviceInterfaceDetail: the device path of the interface at `index`.
  // With buffer == nullptr, reports the size needed (path and its zero) in *required and
  // returns false. Otherwise copies the path with its zero and returns true, or false when
  // the buffer is too small.
  bool interfaceDetail(uint32_t index, char* buffer, size_t size, size_t* required) const;

  size_t count() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// ---- Handles ---------------------------------------------------------------------

using Handle = intptr_t;
inline constexpr Handle kInvalidHandle = -1;

// GetLastError after a createFile that failed, on the calling thread.
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorSharingViolation = 32;  // another program holds the box
uint32_t lastError();

// CreateFile with read/write access on a device path that the enumeration gave: the
// device's control channel. kInvalidHandle when no backend has a device at that path or it
// cannot be opened; lastError() then says kErrorSharingViolation when another program holds
// it, else kErrorFileNotFound.
Handle createFile(const char* path);

// Opens pipe `number` (0 to 3) of the device that `device` (from createFile) controls;
// kInvalidHandle when it cannot be opened. The pipe stays usable after the device handle
// is closed.
Handle openPipe(Handle device, int number);

// ReadFile on a pipe: one record (reply pipe), or exactly n bytes (audio-in stream) unless
// a transfer fails. False on end-of-stream or error; *got is the count received.
bool readFile(Handle h, void* buffer, uint32_t n, uint32_t* got);

// What the audio-in stream holds now, at most n bytes, without waiting for more: what the
// box sent before the call. *got is 0 when nothing is held. False on end-of-stream or error.
bool readHeld(Handle h, void* buffer, uint32_t n, uint32_t* got);

// WriteFile on a pipe: one packet of n bytes. False unless all n bytes were sent.
bool writeFile(Handle h, const void* buffer, uint32_t n, uint32_t* written);

// Whether the box has closed pipe h, seen without a transfer (BackendPipe::hungUp): for a
// writer that waits for the box, whose wait a lost packet would leave without an end.
bool pipeHungUp(Handle h);

// Device-control codes.
inline constexpr uint32_t kVendorRead = wire::kVendorRead;
inline constexpr uint32_t kVendorWrite = wire::kVendorWrite;
inline constexpr uint32_t kPipeReset = wire::kPipeReset;

// The input record of both vendor requests. On the 32-bit platform the data address is a
// 32-bit field; here it is a pointer.
struct VendorRequest {
  uint32_t value;
  uint32_t length;
  void* data;  // the data stage: read from (vendor write) or written to (vendor read)
  uint32_t index;
};

// DeviceIoControl. Vendor requests go on a device handle with a VendorRequest as input; a
// pipe reset goes on a pipe handle (clears the pipe after a failed transfer). True when the
// box answered success. The answer is awaited for at most 2 s of library time; a device
// whose answer did not come may refuse later requests until it is opened again.
bool deviceIoControl(Handle h, uint32_t code, const VendorRequest* request);

// The claim of the box on a device handle, before its pipes are used (see Claim). A box
// that another program holds may also be refused at createFile already
// (kErrorSharingViolation). Its answer is awaited until `deadline`: kNoAnswer when it has
// not come by then, or when the box went away before; a later call on the same handle
// waits on for the same answer.
Claim claimDevice(Handle h, std::chrono::steady_clock::time_point deadline);

// CloseHandle. A call still blocked on h returns with a failure. Handle values are never
// reused, so a stale handle reaches nothing.
void closeHandle(Handle h);

// Makes any read, write or request blocked on h return with a failure, now and later,
// without closing it; the owner still closes it.
void cancelHandle(Handle h);

// Test hook, not public API: runs in every connect to a device or pipe socket of the
// virtual wire after the registry folders were opened and checked, and before the
// connect. Empty: none.
void setConnectHook(std::function<void()> hook);

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
};

// While a hold lasts: calls `changed` (from any thread; it must not block) when a device
// may have come (`arrived` true) or gone (false), until the last hold ends. False when some
// backend cannot tell, or no hold lasts: then the caller looks again by itself.
bool watchDeviceChanges(std::function<void(bool arrived)> changed);

// Every device interface of every backend in use, in the fixed order, with what it is.
struct FoundDevice {
  std::string backend;
  DeviceListing device;
};
std::vector<FoundDevice> findDevices();

// Every device of every backend in use, in the fixed order, each opened, claimed and
// probed to tell whether the library could use it (tavro/devices.h).
DeviceList checkDevices();

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
// shown once with their count when the second has passed (tavro/notice.h). Beyond eight
// different notices waiting, more are dropped. The thread starts with the first notice and
// ends a quarter of a second after the last, once no repeats wait.
void showNotice(const std::string& text);
// Installs the handler that shows the notices (empty: the default); returns the previous
// one, whose call still running, if any, has ended (tavro/notice.h).
NoticeHandler installNoticeHandler(NoticeHandler handler);
// Within a handler's call: how many raises of its notice it shows; 0 elsewhere.
uint64_t noticeCount();
// Called with every notice as it is handed on to the handler (repeats once they are due),
// on the thread that raised it or, for repeats, the notice thread: the one call up from this
// layer, defined where the library is assembled (library/assembly.cpp), which posts it to
// the event queues.
void noticeShown(const std::string& text);

// Delivers what is waiting, for at most `limit` of library time, then ends the notice
// thread. A handler still showing its notice then is not waited for: its thread ends by
// itself when the handler returns, and the rest of the queue is dropped. False in that case.
bool stopNotices(std::chrono::milliseconds limit);

// Test hook, not public API: true once no notice waits and no handler runs, within `limit`
// of real time.
bool awaitNoticesDelivered(std::chrono::milliseconds limit);

}  // namespace tavro::platform

#endif  // TAVRO_PLATFORM_PLATFORM_H
