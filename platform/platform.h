// The platform layer: everything the library needs from the operating system.
//
// It keeps the shape of the Windows device calls (device-interface enumeration, file
// handles, device-control requests) so that the code above it reads like the documented
// algorithms. On Linux the devices are reached over the virtual wire: Unix-domain
// sockets published by a box under the registry root.
#ifndef TAVRO_PLATFORM_PLATFORM_H
#define TAVRO_PLATFORM_PLATFORM_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/wire.h"

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

// A snapshot of the present interfaces of one class (SetupDiGetClassDevs). Empty when the
// registry root or the class directory is missing, not a directory, not owned by the user,
// or writable by group or others.
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

// CreateFile with read/write access on a device path or a pipe path
// ("<device path>\PIPE0n"). Connects the socket of the right type, through the registry
// folders as opened and checked by the trust rule; kInvalidHandle when the path is not in
// the registry or a registry folder is not trusted, does not exist, refuses the
// connection, or does not fit.
Handle createFile(const char* path);

// ReadFile: one message (reply pipe), or exactly n bytes (audio-in stream) unless the
// connection ends. False on end-of-stream or error; *got is the count received.
bool readFile(Handle h, void* buffer, uint32_t n, uint32_t* got);

// WriteFile: one message of n bytes. False unless all n bytes were sent.
bool writeFile(Handle h, const void* buffer, uint32_t n, uint32_t* written);

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

// DeviceIoControl. Vendor requests go on a device control handle with a VendorRequest as
// input; a pipe reset goes on a pipe handle (sent on a new control connection to the
// pipe's device). True when the box answered success. The answer is awaited for at most
// 2 s of library time; a connection whose answer did not come is out of step and is ended,
// so later requests on it fail until it is reopened.
bool deviceIoControl(Handle h, uint32_t code, const VendorRequest* request);

// The claim request on a device control handle: a box belongs to one program at a time.
// kGranted: this program holds it now. kBusy: another program holds it; its pipes refuse
// this one. kNotKnown: the box knows no claims (it answered failure). kNoAnswer: the box
// did not answer within the 2 s limit (the connection is then out of step and ended).
enum class Claim { kGranted, kBusy, kNotKnown, kNoAnswer };
Claim claimDevice(Handle h);

// CloseHandle. A call still blocked on h returns with a failure. Handle values are never
// reused, so a stale handle reaches nothing.
void closeHandle(Handle h);

// Makes any read or write blocked on h return with a failure, now and later, without
// closing it; the owner still closes it.
void cancelHandle(Handle h);

// Test hook, not public API: runs in every connect to a device or pipe socket after the
// registry folders were opened and checked, and before the connect. Empty: none.
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
// written only when the output takes it at once). A notice equal to one that is showing or
// waiting is dropped, and so is any beyond eight waiting. The thread starts with the first
// notice and ends after a quarter of a second without one.
void showNotice(const std::string& text);
// Called with every notice as showNotice gets it, on the caller's thread, before the
// handler sees it (the library's event queues); set while the library is assembled.
void setNoticeObserver(void (*observer)(const std::string& text));

// Delivers what is waiting, for at most `limit` of library time, then ends the notice
// thread. A handler still showing its notice then is not waited for: its thread ends by
// itself when the handler returns, and the rest of the queue is dropped. False in that case.
bool stopNotices(std::chrono::milliseconds limit);

// Test hook, not public API: true once no notice waits and no handler runs, within `limit`
// of real time.
bool awaitNoticesDelivered(std::chrono::milliseconds limit);

}  // namespace tavro::platform

#endif  // TAVRO_PLATFORM_PLATFORM_H
