// The "wire" backend: boxes published on the virtual wire. A device is a control
// connection to the box's device socket; its pipes are connections to the sockets beside
// it (platform/wire.h, docs/virtual-wire.md).
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/backend.h"
#include "platform/folder_watch.h"
#include "platform/lasting.h"
#include "platform/platform.h"
#include "platform/thread_safety.h"

namespace tavro::platform {
namespace {

using namespace std::chrono_literals;

// How long a connect may wait for the box to accept, and a control request for its
// answer, in library time: a box that has stopped answering must not stall a caller.
constexpr std::chrono::milliseconds kConnectLimit = 200ms;
constexpr std::chrono::milliseconds kAnswerLimit = 2000ms;

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

struct ConnectHook {
  Mutex mutex;
  std::function<void()> hook TAVRO_GUARDED_BY(mutex);
};

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

// Connects to a device or pipe socket of the publish folder. Its folders are opened and checked
// by the trust rule, and the socket is reached through the opened class folder, so that a
// folder renamed or swapped after the check is never used. A path outside the publish folder, or
// longer than a socket address holds, is not connected.
int connectInPublishFolder(const std::string& path, int type) {
  if (path.size() > wire::kMaxSocketPath) return -1;
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash + 1 == path.size()) return -1;
  // The user's publish folder or the system's, each with its own trust rule.
  std::string root;
  for (const auto& r : wire::publishRoots()) {
    if (path.compare(0, r.size() + 1, r + "/") == 0) {
      root = r;
      break;
    }
  }
  if (root.empty() || slash <= root.size() + 1) return -1;
  const std::string className = path.substr(root.size() + 1, slash - root.size() - 1);
  if (className.find('/') != std::string::npos) return -1;
  const int folder = wire::openPublishFolder(className, root);
  if (folder < 0) return -1;
  std::function<void()> hook;
  {
    ConnectHook& c = lasting<ConnectHook>();
    MutexLock lock(c.mutex);
    hook = c.hook;
  }
  if (hook) hook();
  const int fd = connectSocket(wire::pathInFolder(folder, path.substr(slash + 1)), type);
  ::close(folder);
  return fd;
}

bool sendAll(int fd, const void* data, size_t n) {
  for (;;) {
    const ssize_t sent = ::send(fd, data, n, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    return sent >= 0 && static_cast<size_t>(sent) == n;
  }
}

// Receives one message by the deadline (within the answer limit when none is given); the
// byte count, or -1 on time-out, end of stream or error.
ssize_t receiveAnswer(int fd, uint8_t* buffer, size_t size,
                      Clock::time_point deadline = Clock::time_point::min()) {
  if (deadline == Clock::time_point::min()) deadline = Clock::now() + realDuration(kAnswerLimit);
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
                      const void* dataOut, void* dataIn) {
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
  if (static_cast<size_t>(got) < expected || answer[0] != kAnswerSuccess) return false;
  if (dataIn != nullptr && length > 0) std::memcpy(dataIn, &answer[1], length);
  return true;
}

// A connection that a cancel or close shuts down, waking a call blocked on it; the
// descriptor itself closes with the object, when no call uses it any more.
class Connection {
 public:
  explicit Connection(int fd) : fd_(fd) {}
  ~Connection() { ::close(fd_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  int fd() const { return fd_; }
  void shutDown() { ::shutdown(fd_, SHUT_RDWR); }

 private:
  const int fd_;
};

class WirePipe : public BackendPipe {
 public:
  WirePipe(int fd, int number, std::string devicePath)
      : connection_(fd), number_(number), devicePath_(std::move(devicePath)) {}

  // A message pipe delivers one message per read (cut to n); the stream waits for n.
  bool read(void* buffer, uint32_t n, uint32_t* got) override {
    if (got != nullptr) *got = 0;
    if (buffer == nullptr && n > 0) return false;
    if (n == 0) return true;
    auto* bytes = static_cast<uint8_t*>(buffer);
    const bool stream = wire::pipeSocketType(number_) == SOCK_STREAM;
    uint32_t total = 0;
    for (;;) {
      const ssize_t r = ::recv(connection_.fd(), bytes + total, n - total, 0);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;  // end of stream or error
      total += static_cast<uint32_t>(r);
      if (got != nullptr) *got = total;
      if (!stream || total == n) return true;
    }
    return false;
  }

  // As much as the socket holds now: what the box sent before the call, never more.
  bool readHeld(void* buffer, uint32_t n, uint32_t* got) override {
    *got = 0;
    int held = 0;
    if (::ioctl(connection_.fd(), FIONREAD, &held) != 0) return false;
    if (held <= 0) return true;
    for (;;) {
      const ssize_t r = ::recv(connection_.fd(), buffer,
                               std::min<uint32_t>(n, static_cast<uint32_t>(held)), MSG_DONTWAIT);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return errno == EAGAIN;
      if (r == 0) return false;  // end of stream
      *got = static_cast<uint32_t>(r);
      return true;
    }
  }

  bool write(const void* buffer, uint32_t n, uint32_t* written) override {
    if (written != nullptr) *written = 0;
    if (buffer == nullptr && n > 0) return false;
    for (;;) {
      const ssize_t r = ::send(connection_.fd(), buffer, n, MSG_NOSIGNAL);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return false;
      if (written != nullptr) *written = static_cast<uint32_t>(r);
      return static_cast<uint32_t>(r) == n;
    }
  }

  // The close shows at once, also while what the box sent before it is still unread.
  bool hungUp() override {
    pollfd p{connection_.fd(), POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
  }

  void cancel() override { connection_.shutDown(); }

  // The reset goes to the pipe's device on a connection of its own; its answer does not
  // matter.
  bool reset() override {
    const int fd = connectInPublishFolder(devicePath_, wire::kDeviceSocketType);
    if (fd < 0) return false;
    const std::vector<uint8_t> header =
        wire::encodeControlRequest({kPipeReset, static_cast<uint32_t>(number_), 0, 0}, nullptr, 0);
    const bool sent = sendAll(fd, header.data(), header.size());
    if (sent) {
      uint8_t answer[2];
      receiveAnswer(fd, answer, sizeof answer);
    }
    ::close(fd);
    return sent;
  }

 private:
  Connection connection_;
  const int number_;
  const std::string devicePath_;
};

class WireDevice : public BackendDevice {
 public:
  WireDevice(int fd, std::string path) : connection_(fd), path_(std::move(path)) {}

  bool vendorRequest(bool in, uint32_t value, uint32_t index, void* data,
                     uint16_t length) override {
    if (length > 0 && data == nullptr) return false;
    MutexLock lock(controlMutex_);
    if (claimAsked_) return false;  // its late answer would be taken for this one's
    return controlRoundTrip(connection_.fd(), in ? kVendorRead : kVendorWrite, value, index, length,
                            in ? nullptr : data, in ? data : nullptr);
  }

  void cancel() override { connection_.shutDown(); }

  std::unique_ptr<BackendPipe> openPipe(int number) override {
    if (number < 0 || number >= kPipeCount) return nullptr;
    const std::string pipePath = path_ + wire::kPipeSeparator + wire::kPipeNames[number];
    const int fd = connectInPublishFolder(pipePath, wire::pipeSocketType(number));
    if (fd < 0) return nullptr;
    return std::make_unique<WirePipe>(fd, number, path_);
  }

  Claim claim() override { return claimUntil(Clock::now() + realDuration(kAnswerLimit)); }

  Claim claimUntil(Clock::time_point deadline) override {
    MutexLock lock(controlMutex_);
    if (!claimAsked_) {
      const std::vector<uint8_t> request =
          wire::encodeControlRequest({kClaimPipes, 0, 0, 1}, nullptr, 0);
      if (!sendAll(connection_.fd(), request.data(), request.size())) return Claim::kNoAnswer;
      claimAsked_ = true;
    }
    // The answer: success and the verdict byte.
    uint8_t answer[2] = {};
    const ssize_t got = receiveAnswer(connection_.fd(), answer, sizeof answer, deadline);
    if (got < 0) return Claim::kNoAnswer;  // the request stays asked: a later call waits on
    claimAsked_ = false;
    if (got == 2 && answer[0] == kAnswerSuccess && answer[1] == kClaimBusy) return Claim::kBusy;
    if (got == 2 && answer[0] == kAnswerSuccess && answer[1] == kClaimGranted)
      return Claim::kGranted;
    return Claim::kNotKnown;  // a box that knows no claims: it belongs to whoever uses it
  }

  std::string holder() override {
    MutexLock lock(controlMutex_);
    if (claimAsked_) return {};  // a late claim answer would be taken for this one's
    uint8_t answer[kHolderSize] = {};
    if (!controlRoundTrip(connection_.fd(), kHolder, 0, 0, kHolderSize, nullptr, answer))
      return {};  // a box that does not say
    const uint32_t pid = le32(answer);
    if (pid == 0 || pid > 0x7FFFFFFF) return {};
    // The name comes from the box: only printable ASCII of it is shown.
    std::string name;
    for (size_t i = 4; i < 4 + kHolderNameSize && answer[i] != 0; ++i)
      name += (answer[i] >= 0x20 && answer[i] < 0x7F) ? static_cast<char>(answer[i]) : '?';
    return "process " + std::to_string(pid) + (name.empty() ? "" : " (" + name + ")");
  }

  std::string sharing() override {
    MutexLock lock(controlMutex_);
    if (claimAsked_) return {};
    uint8_t answer[kSharingSize] = {};
    if (!controlRoundTrip(connection_.fd(), kSharing, 0, 0, kSharingSize, nullptr, answer))
      return {};  // not a shared box
    // The text comes from the box: only printable ASCII and line ends are kept.
    std::string text;
    for (size_t i = 0; i < kSharingSize && answer[i] != 0; ++i)
      text += (answer[i] == '\n' || (answer[i] >= 0x20 && answer[i] < 0x7F))
                  ? static_cast<char>(answer[i])
                  : '?';
    return text;
  }

 private:
  Connection connection_;
  const std::string path_;
  Mutex controlMutex_;  // keeps each control request together with its answer
  // A claim went out and its answer has not come yet.
  bool claimAsked_ TAVRO_GUARDED_BY(controlMutex_) = false;
};

class WireBackend : public Backend {
 public:
  const char* name() const override { return "wire"; }

  // The sockets of the class folder whose names hold no backslash, sorted bytewise. The
  // trust rule is checked on the folders as opened, and the listing is read from the very
  // folder that was checked.
  // The user's publish folder first, then the system's.
  std::vector<DeviceListing> enumerate() override {
    std::vector<DeviceListing> found;
    for (const auto& root : wire::publishRoots()) listPublishFolder(root, &found);
    return found;
  }

  void listPublishFolder(const std::string& root, std::vector<DeviceListing>* found) {
    const int dirFd = wire::openPublishFolder(wire::kInterfaceClassName, root);
    if (dirFd < 0) return;
    DIR* d = fdopendir(dirFd);
    if (d == nullptr) {
      ::close(dirFd);
      return;
    }
    std::vector<std::string> names;
    while (const dirent* e = readdir(d)) {
      const char* name = e->d_name;
      if (std::strchr(name, wire::kPipeSeparator) != nullptr) continue;  // a pipe
      if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
      struct stat st;
      if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISSOCK(st.st_mode)) continue;
      names.emplace_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());  // char_traits<char> compares bytes as unsigned
    const std::string dir = root + "/" + wire::kInterfaceClassName;
    const bool system = root == wire::kSystemPublishRoot;
    for (const auto& name : names) {
      found->push_back(
          {dir + "/" + name,
           (system ? "virtual wire box " + name + " (system)" : "virtual wire box " + name),
           true,
           {}});
    }
  }

  Opened open(const std::string& path) override {
    const size_t slash = path.rfind('/');
    const bool pipeName =
        slash != std::string::npos && path.find(wire::kPipeSeparator, slash) != std::string::npos;
    const int fd = pipeName ? -1 : connectInPublishFolder(path, wire::kDeviceSocketType);
    if (fd < 0) return {nullptr, DeviceState::kFails, "does not answer on the virtual wire"};
    return {std::make_shared<WireDevice>(fd, path), DeviceState::kOpens, {}};
  }

  // The class folder of the publish folder as it is named now. The system publish folder is watched
  // too when it is there; whether changes can be told is the user's publish folder's answer.
  bool watchChanges(std::function<void(bool arrived)> changed) override {
    watch_.reset();
    systemWatch_.reset();
    if (changed && wire::publishRoot() != wire::kSystemPublishRoot)
      systemWatch_ = std::make_unique<FolderWatch>(
          std::string(wire::kSystemPublishRoot) + "/" + wire::kInterfaceClassName, changed);
    watch_ = std::make_unique<FolderWatch>(wire::classDirectory(), std::move(changed));
    return watch_->active();
  }

 private:
  std::unique_ptr<FolderWatch> watch_;
  std::unique_ptr<FolderWatch> systemWatch_;
};

}  // namespace

std::unique_ptr<Backend> makeWireBackend() {
  return std::make_unique<WireBackend>();
}

void setConnectHook(std::function<void()> hook) {
  ConnectHook& c = lasting<ConnectHook>();
  MutexLock lock(c.mutex);
  c.hook = std::move(hook);
}

}  // namespace tavro::platform
