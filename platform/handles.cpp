// File handles over the virtual wire: device control connections and pipes are
// Unix-domain sockets published by a box.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace tavro::platform {

namespace {

using namespace std::chrono_literals;

// The library's device path buffer holds 255 characters and the zero.
constexpr size_t kPathBufferSize = 256;
using wire::kPipeSuffixLength;
// How long a connect may wait for the box to accept, and a control request for its
// answer, in library time: a box that has stopped answering must not stall a caller.
constexpr std::chrono::milliseconds kConnectLimit = 200ms;
constexpr std::chrono::milliseconds kAnswerLimit = 2000ms;

struct OpenHandle {
  explicit OpenHandle(int f) : fd(f) {}
  ~OpenHandle() { ::close(fd); }
  OpenHandle(const OpenHandle&) = delete;
  OpenHandle& operator=(const OpenHandle&) = delete;

  const int fd;
  std::mutex controlMutex;  // keeps each control request together with its answer
  int socketType = SOCK_SEQPACKET;
  int pipe = -1;           // 0 to 3 for a pipe, -1 for a device control connection
  std::string devicePath;  // the device the handle belongs to
};

// Handles are small numbers of our own, not descriptors: a descriptor is closed only when
// no call is using it any more, so a closed handle can never reach a reused descriptor.
std::mutex gHandlesMutex;
// Never destroyed: the library's threads may still use their handles while the process
// exits.
std::map<Handle, std::shared_ptr<OpenHandle>>& gHandles =
    *new std::map<Handle, std::shared_ptr<OpenHandle>>;
Handle gNextHandle = 1;

std::shared_ptr<OpenHandle> lookUp(Handle h) {
  std::lock_guard<std::mutex> lock(gHandlesMutex);
  auto it = gHandles.find(h);
  return it == gHandles.end() ? nullptr : it->second;
}

int remainingMillis(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), 1 << 30));
}

// Waits until fd is ready for `events` or the deadline passes.
bool waitReady(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, remainingMillis(deadline));
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

std::mutex gHookMutex;
std::function<void()>& gConnectHook = *new std::function<void()>;  // never destroyed

// Connects a socket of `type` to the socket at `reach` without blocking on a box that does
// not accept; returns the connected descriptor (blocking, close-on-exec) or -1.
int connectSocket(const std::string& reach, int type) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (reach.empty() || reach.size() >= sizeof addr.sun_path) return -1;
  std::memcpy(addr.sun_path, reach.c_str(), reach.size() + 1);

  const int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  const auto deadline = Clock::now() + realDuration(kConnectLimit);
  bool connected = false;
  for (;;) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
      connected = true;
      break;
    }
    if (errno == EINTR) continue;
    if (errno == EINPROGRESS) {
      int error = 0;
      socklen_t len = sizeof error;
      connected = waitReady(fd, POLLOUT, deadline) &&
                  ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
      break;
    }
    // A full backlog: the box is busy accepting; try again shortly, within the limit.
    if (errno != EAGAIN || Clock::now() >= deadline) break;
    pollfd none{-1, 0, 0};
    ::poll(&none, 1, std::min(5, remainingMillis(deadline)));
  }
  if (connected) {
    const int flags = ::fcntl(fd, F_GETFL);
    connected = flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
  }
  if (!connected) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Connects to a device or pipe socket of the registry. Its folders are opened and checked
// by the trust rule, and the socket is reached through the opened class folder, so that a
// folder renamed or swapped after the check is never used. A path outside the registry, or
// longer than a socket address holds, is not connected.
int connectInRegistry(const std::string& path, int type) {
  if (path.size() > wire::kMaxSocketPath) return -1;
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash + 1 == path.size()) return -1;
  const std::string root = wire::registryRoot() + "/";
  if (path.compare(0, root.size(), root) != 0 || slash <= root.size()) return -1;
  const std::string className = path.substr(root.size(), slash - root.size());
  if (className.find('/') != std::string::npos) return -1;
  const int folder = wire::openRegistryFolder(className);
  if (folder < 0) return -1;
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(gHookMutex);
    hook = gConnectHook;
  }
  if (hook) hook();
  const int fd = connectSocket(wire::pathInFolder(folder, path.substr(slash + 1)), type);
  ::close(folder);
  return fd;
}

// The pipe number of a pipe path ("...\PIPE00" to "...\PIPE03"), else -1.
int pipeNumber(const std::string& path) {
  if (path.size() <= kPipeSuffixLength) return -1;
  const std::string suffix = path.substr(path.size() - kPipeSuffixLength);
  for (int pipe = 0; pipe < wire::kPipeCount; ++pipe) {
    if (suffix[0] == wire::kPipeSeparator && suffix.compare(1, 6, wire::kPipeNames[pipe]) == 0)
      return pipe;
  }
  return -1;
}

bool sendAll(int fd, const void* data, size_t n) {
  for (;;) {
    const ssize_t sent = ::send(fd, data, n, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    return sent >= 0 && static_cast<size_t>(sent) == n;
  }
}

// Receives one message within the answer limit; the byte count, or -1 on time-out, end of
// stream or error.
ssize_t receiveAnswer(int fd, uint8_t* buffer, size_t size) {
  const auto deadline = Clock::now() + realDuration(kAnswerLimit);
  for (;;) {
    if (!waitReady(fd, POLLIN, deadline)) return -1;
    const ssize_t n = ::recv(fd, buffer, size, MSG_DONTWAIT);
    if (n > 0) return n;
    if (n == 0) return -1;
    if (errno != EINTR && errno != EAGAIN) return -1;
  }
}

// One request and its answer on a control connection. A request whose answer does not
// come in time leaves the connection out of step (a late answer would be taken for the
// next request's), so the connection is shut down and later requests on it fail.
bool controlRoundTrip(int fd, uint32_t code, uint32_t value, uint32_t index, uint32_t length,
                      const void* dataOut, void* dataIn, bool* answered = nullptr) {
  if (answered != nullptr) *answered = false;
  const std::vector<uint8_t> request = wire::encodeControlRequest(
      {code, value, index, length}, dataOut, dataOut != nullptr ? length : 0);
  if (!sendAll(fd, request.data(), request.size())) return false;

  // A longer answer is cut; a shorter one carries less than the data stage and fails.
  const size_t expected = 1 + (dataIn != nullptr ? length : 0);
  std::vector<uint8_t> answer(expected);
  const ssize_t got = receiveAnswer(fd, answer.data(), answer.size());
  if (got < 0) {
    ::shutdown(fd, SHUT_RDWR);
    return false;
  }
  if (answered != nullptr) *answered = true;
  if (static_cast<size_t>(got) < expected || answer[0] != 1) return false;
  if (dataIn != nullptr && length > 0) std::memcpy(dataIn, &answer[1], length);
  return true;
}

}  // namespace

Handle createFile(const char* path) {
  if (path == nullptr) return kInvalidHandle;
  const size_t length = ::strnlen(path, kPathBufferSize);
  if (length == 0 || length >= kPathBufferSize) return kInvalidHandle;
  const std::string text(path, length);
  const int pipe = pipeNumber(text);
  const int type = pipe < 0 ? wire::kDeviceSocketType : wire::pipeSocketType(pipe);
  const int fd = connectInRegistry(text, type);
  if (fd < 0) return kInvalidHandle;

  auto handle = std::make_shared<OpenHandle>(fd);
  handle->socketType = type;
  handle->pipe = pipe;
  handle->devicePath = pipe < 0 ? text : text.substr(0, text.size() - kPipeSuffixLength);
  std::lock_guard<std::mutex> lock(gHandlesMutex);
  const Handle h = gNextHandle++;
  gHandles.emplace(h, std::move(handle));
  return h;
}

bool readFile(Handle h, void* buffer, uint32_t n, uint32_t* got) {
  if (got != nullptr) *got = 0;
  const auto handle = lookUp(h);
  if (handle == nullptr || (buffer == nullptr && n > 0)) return false;
  if (n == 0) return true;
  auto* bytes = static_cast<uint8_t*>(buffer);
  uint32_t total = 0;
  for (;;) {
    const ssize_t r = ::recv(handle->fd, bytes + total, n - total, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;  // end of stream or error
    total += static_cast<uint32_t>(r);
    if (got != nullptr) *got = total;
    // A message pipe delivers one message per read (cut to n); the stream waits for n.
    if (handle->socketType != SOCK_STREAM || total == n) return true;
  }
  return false;
}

bool writeFile(Handle h, const void* buffer, uint32_t n, uint32_t* written) {
  if (written != nullptr) *written = 0;
  const auto handle = lookUp(h);
  if (handle == nullptr || (buffer == nullptr && n > 0)) return false;
  for (;;) {
    const ssize_t r = ::send(handle->fd, buffer, n, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return false;
    if (written != nullptr) *written = static_cast<uint32_t>(r);
    return static_cast<uint32_t>(r) == n;
  }
}

bool deviceIoControl(Handle h, uint32_t code, const VendorRequest* request) {
  const auto handle = lookUp(h);
  if (handle == nullptr) return false;
  switch (code) {
    case kVendorRead:
    case kVendorWrite: {
      if (handle->pipe >= 0 || request == nullptr) return false;
      if (request->length > wire::kMaxDataStage) return false;
      if (request->length > 0 && request->data == nullptr) return false;
      const bool read = code == kVendorRead;
      std::lock_guard<std::mutex> lock(handle->controlMutex);
      return controlRoundTrip(handle->fd, code, request->value, request->index, request->length,
                              read ? nullptr : request->data, read ? request->data : nullptr);
    }
    case kPipeReset: {
      if (handle->pipe < 0) return false;
      // The reset goes to the pipe's device on a connection of its own; its answer does
      // not matter.
      const int fd = connectInRegistry(handle->devicePath, SOCK_SEQPACKET);
      if (fd < 0) return false;
      const std::vector<uint8_t> header = wire::encodeControlRequest(
          {kPipeReset, static_cast<uint32_t>(handle->pipe), 0, 0}, nullptr, 0);
      const bool sent = sendAll(fd, header.data(), header.size());
      if (sent) {
        uint8_t answer[2];
        receiveAnswer(fd, answer, sizeof answer);
      }
      ::close(fd);
      return sent;
    }
    default:
      return false;
  }
}

Claim claimDevice(Handle h) {
  const auto handle = lookUp(h);
  if (handle == nullptr || handle->pipe >= 0) return Claim::kNoAnswer;
  std::lock_guard<std::mutex> lock(handle->controlMutex);
  uint8_t verdict = 0;
  bool answered = false;
  const bool succeeded =
      controlRoundTrip(handle->fd, wire::kClaimPipes, 0, 0, 1, nullptr, &verdict, &answered);
  if (!answered) return Claim::kNoAnswer;
  if (succeeded && verdict == wire::kClaimBusy) return Claim::kBusy;
  if (succeeded && verdict == wire::kClaimGranted) return Claim::kGranted;
  return Claim::kNotKnown;  // a box that knows no claims: it belongs to whoever uses it
}

void closeHandle(Handle h) {
  std::shared_ptr<OpenHandle> handle;
  {
    std::lock_guard<std::mutex> lock(gHandlesMutex);
    auto it = gHandles.find(h);
    if (it == gHandles.end()) return;
    handle = std::move(it->second);
    gHandles.erase(it);
  }
  // Wakes a call still blocked on it; the descriptor closes when the last call returns.
  ::shutdown(handle->fd, SHUT_RDWR);
}

void setConnectHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(gHookMutex);
  gConnectHook = std::move(hook);
}

void cancelHandle(Handle h) {
  const auto handle = lookUp(h);
  if (handle != nullptr) ::shutdown(handle->fd, SHUT_RDWR);
}

}  // namespace tavro::platform
