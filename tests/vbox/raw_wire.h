// Raw-socket side of the virtual wire for the box's own tests, and a private runtime
// directory per test.
#pragma once

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "vbox/virtual_box.h"

namespace tavro::vbox::testing {

// Points XDG_RUNTIME_DIR at a fresh directory for the lifetime of the object.
class RuntimeDir {
 public:
  RuntimeDir() {
    char tmpl[] = "/tmp/vbox-test-XXXXXX";
    path_ = mkdtemp(tmpl);
    setenv("XDG_RUNTIME_DIR", path_.c_str(), 1);
  }
  ~RuntimeDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline int connectTo(const std::string& path, int type) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return -1;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

inline std::string pipePath(const VirtualBox& box, int pipe) {
  return box.devicePath() + "\\PIPE0" + std::to_string(pipe);
}

inline int connectPipe(const VirtualBox& box, int pipe) {
  return connectTo(pipePath(box, pipe), pipe == kAudioInPipe ? SOCK_STREAM : SOCK_SEQPACKET);
}

// Waits for one message (or stream chunk) for up to timeoutMs. Returns the bytes; sets
// `ended` when the peer closed the connection and `timedOut` when nothing came.
struct Received {
  std::vector<uint8_t> bytes;
  bool ended = false;
  bool timedOut = false;
};

inline Received receive(int fd, int timeoutMs = 5000, size_t max = 4096) {
  Received r;
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) {
    r.timedOut = true;
    return r;
  }
  r.bytes.resize(max);
  ssize_t n = recv(fd, r.bytes.data(), max, 0);
  if (n <= 0) {
    r.ended = true;
    n = 0;
  }
  r.bytes.resize(size_t(n));
  return r;
}

inline bool sendBytes(int fd, const std::vector<uint8_t>& bytes) {
  return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

inline std::vector<uint8_t> packet(std::initializer_list<uint8_t> head, size_t size = 64) {
  std::vector<uint8_t> p(size, 0);
  std::copy_n(head.begin(), std::min(head.size(), size), p.begin());
  return p;
}

inline std::vector<uint8_t> controlRequest(uint32_t code, uint32_t value, uint32_t index,
                                           uint32_t length, std::vector<uint8_t> data = {}) {
  std::vector<uint8_t> m;
  for (uint32_t v : {code, value, index, length})
    for (int i = 0; i < 4; ++i) m.push_back(uint8_t(v >> (8 * i)));
  m.insert(m.end(), data.begin(), data.end());
  return m;
}

// One request on a new control connection; the answer's bytes (empty on failure to talk).
inline std::vector<uint8_t> control(const VirtualBox& box, const std::vector<uint8_t>& request) {
  int fd = connectTo(box.devicePath(), SOCK_SEQPACKET);
  if (fd < 0) return {};
  std::vector<uint8_t> answer;
  if (sendBytes(fd, request)) answer = receive(fd).bytes;
  close(fd);
  return answer;
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd& operator=(Fd&& o) noexcept {
    std::swap(fd_, o.fd_);
    return *this;
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

// The reply and command pipes connected, as the library's reader and writer would have them.
struct Host {
  explicit Host(const VirtualBox& box)
      : reply(connectPipe(box, kReplyPipe)), command(connectPipe(box, kCommandPipe)) {}
  // Sends a command packet and gives the next record on the reply pipe.
  std::vector<uint8_t> ask(std::initializer_list<uint8_t> head) {
    if (!sendBytes(command.get(), packet(head))) return {};
    return receive(reply.get()).bytes;
  }
  std::vector<uint8_t> ask(const std::vector<uint8_t>& p) {
    if (!sendBytes(command.get(), p)) return {};
    return receive(reply.get()).bytes;
  }
  std::vector<uint8_t> next(int timeoutMs = 5000) { return receive(reply.get(), timeoutMs).bytes; }
  Fd reply;
  Fd command;
};

}  // namespace tavro::vbox::testing
