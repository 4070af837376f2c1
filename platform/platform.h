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
// ("<device path>\PIPE0n"). Connects the socket of the right type; kInvalidHandle when
// the path does not exist, refuses the connection, or does not fit.
Handle createFile(const char* path);

// ReadFile: one message (reply pipe), or exactly n bytes (audio-in stream) unless the
// connection ends. False on end-of-stream or error; *got is the count received.
bool readFile(Handle h, void* buffer, uint32_t n, uint32_t* got);

// WriteFile: one message of n bytes. False unless all n bytes were sent.
bool writeFile(Handle h, const void* buffer, uint32_t n, uint32_t* written);

// Device-control codes.
inline constexpr uint32_t kVendorRead = 0x8000200C;
inline constexpr uint32_t kVendorWrite = 0x80002010;
inline constexpr uint32_t kPipeReset = 0x00220008;

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

// CloseHandle. A call still blocked on h returns with a failure. Handle values are never
// reused, so a stale handle reaches nothing.
void closeHandle(Handle h);

// Makes any read or write blocked on h return with a failure, now and later, without
// closing it; the owner still closes it.
void cancelHandle(Handle h);

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

// Shows a notice with an OK button and returns when the user has closed it, through the
// handler installed with tavro::setNoticeHandler (default: one line on standard error).
void showNotice(const std::string& text);

}  // namespace tavro::platform

#endif  // TAVRO_PLATFORM_PLATFORM_H
