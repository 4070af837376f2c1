// A private publish folder and listening sockets in it, playing the box's side of the
// wire by hand.
#ifndef TAVRO_TESTS_PLATFORM_SOCKET_FIXTURE_H
#define TAVRO_TESTS_PLATFORM_SOCKET_FIXTURE_H

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/unix_socket.h"

namespace tavro::test {

// A listening Unix-domain socket; -1 when the path cannot be bound.
inline int listenAt(const std::string& path, int type) {
  sockaddr_un addr;
  if (!unixAddress(path, &addr)) return -1;
  const int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Accepts one connection, waiting at most 10 s; -1 if none came.
inline int acceptOne(int listener) {
  pollfd p{listener, POLLIN, 0};
  if (::poll(&p, 1, 10000) != 1) return -1;
  return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

// Receives one message (or what a stream has), waiting at most 10 s.
inline std::vector<uint8_t> receive(int fd, size_t max = 4096) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 10000) != 1) return {};
  std::vector<uint8_t> data(max);
  const ssize_t n = ::recv(fd, data.data(), data.size(), 0);
  data.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return data;
}

inline void sendBytes(int fd, const std::vector<uint8_t>& data) {
  ASSERT_EQ(::send(fd, data.data(), data.size(), MSG_NOSIGNAL), static_cast<ssize_t>(data.size()));
}

// Points XDG_RUNTIME_DIR at a fresh directory and creates the publish root and the box's
// class directory in it, mode 0700; removes everything afterwards.
class PublishFolderFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tavro-platform-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    runtimeDir_ = pattern;
    ::setenv("XDG_RUNTIME_DIR", runtimeDir_.c_str(), 1);
    root_ = runtimeDir_ + "/tavro";
    classDir_ = root_ + "/" + wire::kInterfaceClassName;
    ASSERT_EQ(::mkdir(root_.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(classDir_.c_str(), 0700), 0);
  }

  void TearDown() override {
    for (int fd : fds_) ::close(fd);
    platform::setTimeScale(1.0);
    std::error_code ignored;
    std::filesystem::remove_all(runtimeDir_, ignored);
  }

  // Listens at <class dir>/<name>; the socket is closed at the end of the test.
  int listen(const std::string& name, int type = SOCK_SEQPACKET) {
    const int fd = listenAt(classDir_ + "/" + name, type);
    EXPECT_GE(fd, 0) << name;
    if (fd >= 0) fds_.push_back(fd);
    return fd;
  }

  // Closed at the end of the test.
  int keep(int fd) {
    if (fd >= 0) fds_.push_back(fd);
    return fd;
  }

  std::string devicePath(const std::string& name) const { return classDir_ + "/" + name; }

  std::string runtimeDir_, root_, classDir_;
  std::vector<int> fds_;
};

}  // namespace tavro::test

#endif  // TAVRO_TESTS_PLATFORM_SOCKET_FIXTURE_H
