#include "platform/usb/wire_bridge.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/unix_socket.h"

namespace tavro::test {
namespace {

constexpr uint32_t kVendorRead = 0x8000200C;
constexpr uint32_t kVendorWrite = 0x80002010;
constexpr uint32_t kPipeReset = 0x00220008;

int connectTo(const std::string& path, int type) {
  sockaddr_un addr;
  if (!unixAddress(path, &addr)) return -1;
  const int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void putLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// One control request and its answer: success, and the data stage of a read.
bool request(int fd, uint32_t code, uint32_t value, uint32_t index, std::vector<uint8_t>& data,
             bool in) {
  std::vector<uint8_t> message(16 + (in ? 0 : data.size()));
  putLe32(&message[0], code);
  putLe32(&message[4], value);
  putLe32(&message[8], index);
  putLe32(&message[12], static_cast<uint32_t>(data.size()));
  if (!in && !data.empty()) std::memcpy(&message[16], data.data(), data.size());
  if (::send(fd, message.data(), message.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(message.size())) {
    return false;
  }
  std::vector<uint8_t> answer(1 + data.size());
  const ssize_t n = ::recv(fd, answer.data(), answer.size(), 0);
  if (n < 1 || answer[0] != 1) return false;
  if (in) {
    if (static_cast<size_t>(n) < answer.size()) return false;
    std::memcpy(data.data(), &answer[1], data.size());
  }
  return true;
}

}  // namespace

WireBridge::WireBridge(std::string devicePath) : devicePath_(std::move(devicePath)) {}

WireBridge::~WireBridge() {
  disconnect();
}

bool WireBridge::connect(EmulatedUsbDevice& device) {
  disconnect();
  std::lock_guard<std::mutex> lock(mutex_);
  device_ = &device;
  control_ = connectTo(devicePath_, SOCK_SEQPACKET);
  for (int pipe = 0; pipe < 4; ++pipe) {
    pipes_[pipe] = connectTo(devicePath_ + "\\PIPE0" + std::to_string(pipe),
                             pipe == 2 ? SOCK_STREAM : SOCK_SEQPACKET);
  }
  const bool ok =
      control_ >= 0 && pipes_[0] >= 0 && pipes_[1] >= 0 && pipes_[2] >= 0 && pipes_[3] >= 0;
  readers_[0] = std::thread([this, fd = pipes_[0]] { forward(0, fd); });
  readers_[1] = std::thread([this, fd = pipes_[2]] { forward(2, fd); });
  return ok;
}

void WireBridge::disconnect() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : pipes_) {
      if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    }
    if (control_ >= 0) ::shutdown(control_, SHUT_RDWR);
  }
  for (auto& t : readers_) {
    if (t.joinable()) t.join();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (int& fd : pipes_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  if (control_ >= 0) ::close(control_);
  control_ = -1;
}

void WireBridge::forward(int pipe, int fd) {
  if (fd < 0) return;
  std::vector<uint8_t> buffer(4096);
  for (;;) {
    const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    device_->sendIn(pipe, std::vector<uint8_t>(buffer.begin(), buffer.begin() + n));
  }
}

bool WireBridge::control(const ControlSetup& setup, std::vector<uint8_t>& data) {
  const int only = onlyRequest_.load();
  if (only >= 0 && setup.request != only) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (control_ < 0) return false;
  const bool in = (setup.requestType & 0x80) != 0;
  return request(control_, in ? kVendorRead : kVendorWrite, setup.value, setup.index, data, in);
}

void WireBridge::bulkOut(int pipe, const std::vector<uint8_t>& data) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (pipe < 0 || pipe > 3 || pipes_[pipe] < 0) return;
  ::send(pipes_[pipe], data.data(), data.size(), MSG_NOSIGNAL);
}

void WireBridge::clearHalt(int pipe) {
  const int fd = connectTo(devicePath_, SOCK_SEQPACKET);
  if (fd < 0) return;
  std::vector<uint8_t> none;
  request(fd, kPipeReset, static_cast<uint32_t>(pipe), 0, none, false);
  ::close(fd);
}

}  // namespace tavro::test
