#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/socket_fixture.h"

namespace tavro::platform {
namespace {

using namespace std::chrono_literals;
using test::acceptOne;
using test::receive;
using test::sendBytes;
using Bytes = std::vector<uint8_t>;

using Device = std::shared_ptr<BackendDevice>;
using Pipe = std::shared_ptr<BackendPipe>;

class HandlesTest : public test::PublishFolderFixture {
 protected:
  // Opens path against a listener there and returns the box's end of the connection.
  Device open(const std::string& path, int listener, int* peer) {
    Device device = openDevice(path).device;
    *peer = device == nullptr ? -1 : keep(acceptOne(listener));
    return device;
  }

  // Opens pipe `number` of the device "box" against a listener for it and returns the
  // box's end of the pipe connection; the device is closed again at once.
  Pipe openPipeOf(int number, int listener, int* peer) {
    if (device_ < 0) device_ = listen("box");
    const Device device = openDevice(devicePath("box")).device;
    Pipe pipe = device ? openPipe(*device, number) : nullptr;
    *peer = pipe == nullptr ? -1 : keep(acceptOne(listener));
    return pipe;
  }

  void TearDown() override {
    setConnectHook(nullptr);
    opened_.clear();
    PublishFolderFixture::TearDown();
  }

  template <typename T>
  T track(T opened) {
    if (opened != nullptr) opened_.push_back(opened);
    return opened;
  }

  std::vector<std::shared_ptr<void>> opened_;
  int device_ = -1;
};

TEST_F(HandlesTest, MissingStaleOrUnfittingPathsDoNotOpen) {
  EXPECT_EQ(openDevice(devicePath("absent")).device, nullptr);
  EXPECT_EQ(openDevice("").device, nullptr);

  // A socket file that nobody listens on any more.
  const int stale = test::listenAt(devicePath("stale"), SOCK_SEQPACKET);
  ASSERT_GE(stale, 0);
  ::close(stale);
  EXPECT_EQ(openDevice(devicePath("stale")).device, nullptr);

  const std::string tooLong = "/" + std::string(300, 'x');
  EXPECT_EQ(openDevice(tooLong).device, nullptr);
}

TEST_F(HandlesTest, ABoxThatDoesNotAcceptDoesNotBlockTheOpen) {
  // A listener that never accepts has room for one pending connection (backlog 0); the
  // opens after it must give up within their short limit instead of waiting for the box.
  const std::string path = devicePath("busy");
  const int listener = keep(test::listenAt(path, SOCK_SEQPACKET));
  ASSERT_GE(listener, 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  setTimeScale(20);
  auto opening = std::async(std::launch::async, [path] {
    std::vector<Device> opened;
    for (int i = 0; i < 4; ++i) opened.push_back(openDevice(path).device);
    return opened;
  });
  ASSERT_EQ(opening.wait_for(10s), std::future_status::ready) << "an open blocked on the box";
  const std::vector<Device> opened = opening.get();
  for (const Device& d : opened) track(d);
  EXPECT_NE(opened.front(), nullptr);
  EXPECT_EQ(opened.back(), nullptr);
}

TEST_F(HandlesTest, LongestPathThatFitsASocketAddress) {
  // A device path of exactly 107 bytes opens; its pipe path (114 bytes) cannot.
  const std::string prefix = classDir_ + "/";
  ASSERT_LT(prefix.size(), 100u);
  const std::string name(107 - prefix.size(), 'n');
  const int listener = listen(name);
  ASSERT_GE(listener, 0);
  int peer = -1;
  const Device device = track(open(prefix + name, listener, &peer));
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(openPipe(*device, 1), nullptr);
}

TEST_F(HandlesTest, SocketTypeFollowsThePipeNumber) {
  // A Unix-domain connect fails unless both ends have the same type, so opening
  // against a listener of the wrong type shows which type the layer chose.
  const int types[] = {SOCK_SEQPACKET, SOCK_SEQPACKET, SOCK_STREAM, SOCK_SEQPACKET};
  for (int pipe = 0; pipe < 4; ++pipe) {
    const std::string suffix = "\\PIPE0" + std::to_string(pipe);
    listen("right");
    listen("wrong");
    listen("right" + suffix, types[pipe]);
    listen("wrong" + suffix, types[pipe] == SOCK_STREAM ? SOCK_SEQPACKET : SOCK_STREAM);
    const Device right = track(openDevice(devicePath("right")).device);
    const Device wrong = track(openDevice(devicePath("wrong")).device);
    ASSERT_NE(right, nullptr);
    ASSERT_NE(wrong, nullptr);
    EXPECT_NE(track(openPipe(*right, pipe)), nullptr) << pipe;
    EXPECT_EQ(openPipe(*wrong, pipe), nullptr) << pipe;
    for (const char* name : {"right", "wrong"}) {
      ::unlink(devicePath(name).c_str());
      ::unlink(devicePath(name + suffix).c_str());
    }
  }
  // The device itself is a message socket; there are four pipes, and a pipe is no device.
  listen("stream", SOCK_STREAM);
  EXPECT_EQ(openDevice(devicePath("stream")).device, nullptr);
  listen("box");
  listen("box\\PIPE04");
  const Device box = track(openDevice(devicePath("box")).device);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(openPipe(*box, 4), nullptr);
  EXPECT_EQ(openPipe(*box, -1), nullptr);
  listen("box\\PIPE01");
  EXPECT_EQ(openDevice(devicePath("box\\PIPE01")).device, nullptr);
}

TEST_F(HandlesTest, MessagePipeReadsOneMessageCutToTheBuffer) {
  const int listener = listen("box\\PIPE00");
  int peer = -1;
  const Pipe h = track(openPipeOf(0, listener, &peer));
  ASSERT_NE(h, nullptr);
  Bytes longer(100), shorter(10, 0x5A);
  for (size_t i = 0; i < longer.size(); ++i) longer[i] = static_cast<uint8_t>(i);
  sendBytes(peer, longer);
  sendBytes(peer, shorter);

  Bytes buffer(64);
  uint32_t got = 0;
  ASSERT_TRUE(h->read(buffer.data(), 64, &got));
  EXPECT_EQ(got, 64u);
  EXPECT_EQ(buffer, Bytes(longer.begin(), longer.begin() + 64));
  ASSERT_TRUE(h->read(buffer.data(), 64, &got));
  EXPECT_EQ(got, 10u) << "the rest of the long message is gone, the next one follows";
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 10), shorter);

  ::close(peer);
  EXPECT_FALSE(h->read(buffer.data(), 64, &got));
  EXPECT_EQ(got, 0u);
}

TEST_F(HandlesTest, StreamPipeReadsExactlyTheCountUnlessItEnds) {
  const int listener = listen("box\\PIPE02", SOCK_STREAM);
  int peer = -1;
  const Pipe h = track(openPipeOf(2, listener, &peer));
  ASSERT_NE(h, nullptr);

  Bytes frame(256);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7);
  sendBytes(peer, Bytes(frame.begin(), frame.begin() + 100));
  auto reading = std::async(std::launch::async, [h] {
    Bytes buffer(256);
    uint32_t got = 0;
    const bool ok = h->read(buffer.data(), 256, &got);
    return std::make_tuple(ok, got, buffer);
  });
  ASSERT_EQ(reading.wait_for(50ms), std::future_status::timeout) << "returned before 256 bytes";
  sendBytes(peer, Bytes(frame.begin() + 100, frame.end()));
  ASSERT_EQ(reading.wait_for(10s), std::future_status::ready);
  const auto [ok, got, buffer] = reading.get();
  EXPECT_TRUE(ok);
  EXPECT_EQ(got, 256u);
  EXPECT_EQ(buffer, frame);

  sendBytes(peer, Bytes(10, 1));
  ::close(peer);
  Bytes rest(256);
  uint32_t partial = 0;
  EXPECT_FALSE(h->read(rest.data(), 256, &partial));
  EXPECT_EQ(partial, 10u);
}

TEST_F(HandlesTest, WriteSendsOneMessageAndFailsOnAClosedPeer) {
  const int listener = listen("box\\PIPE01");
  int peer = -1;
  const Pipe h = track(openPipeOf(1, listener, &peer));
  ASSERT_NE(h, nullptr);
  Bytes packet(64, 0x04);
  uint32_t written = 0;
  ASSERT_TRUE(h->write(packet.data(), 64, &written));
  EXPECT_EQ(written, 64u);
  EXPECT_EQ(receive(peer), packet);

  // Without MSG_NOSIGNAL this would end the test program with SIGPIPE.
  ::close(peer);
  EXPECT_FALSE(h->write(packet.data(), 64, &written));
  EXPECT_FALSE(h->write(packet.data(), 64, &written));
}

TEST_F(HandlesTest, CancelWakesABlockedReadAndFailsLaterOnes) {
  const int listener = listen("box\\PIPE00");
  int peer = -1;
  const Pipe h = track(openPipeOf(0, listener, &peer));
  ASSERT_NE(h, nullptr);
  auto reading = std::async(std::launch::async, [h] {
    uint8_t buffer[64];
    uint32_t got = 0;
    return h->read(buffer, 64, &got);
  });
  ASSERT_EQ(reading.wait_for(20ms), std::future_status::timeout);
  h->cancel();
  ASSERT_EQ(reading.wait_for(10s), std::future_status::ready);
  EXPECT_FALSE(reading.get());

  EXPECT_EQ(receive(peer).size(), 0u) << "the box sees the connection end";
  uint8_t buffer[64];
  uint32_t got = 0;
  EXPECT_FALSE(h->read(buffer, 64, &got));
  EXPECT_FALSE(h->write(buffer, 64, &got));
}

TEST_F(HandlesTest, ThePipeClosesWithItsLastOwner) {
  const int listener = listen("box\\PIPE00");
  int peer = -1;
  Pipe h = openPipeOf(0, listener, &peer);
  ASSERT_NE(h, nullptr);
  Pipe reader = h;
  h.reset();
  pollfd p{peer, POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 0), 0) << "still open while another owner holds it";
  reader.reset();
  EXPECT_EQ(receive(peer).size(), 0u) << "the box sees the connection end";
}

// Nothing waits at a listener: a connection made to it would be pending by now.
bool nothingPending(int listener) {
  pollfd p{listener, POLLIN, 0};
  return ::poll(&p, 1, 0) == 0;
}

TEST_F(HandlesTest, APublishFolderSwappedAfterTheTrustCheckIsNeverUsed) {
  // Between the check and the connect, the publish root is renamed away and an impostor's
  // tree (trusted in its own right) takes its place: every connection must still land in
  // the folder that was checked.
  const int device = listen("box");
  const int pipe = listen("box\\PIPE01");
  const std::string impostorRoot = runtimeDir_ + "/impostor";
  const std::string impostorClass = impostorRoot + "/" + wire::kInterfaceClassName;
  ASSERT_EQ(::mkdir(impostorRoot.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(impostorClass.c_str(), 0700), 0);
  const int fakeDevice = keep(test::listenAt(impostorClass + "/box", SOCK_SEQPACKET));
  const int fakePipe = keep(test::listenAt(impostorClass + "/box\\PIPE01", SOCK_SEQPACKET));
  ASSERT_GE(fakeDevice, 0);
  ASSERT_GE(fakePipe, 0);
  const std::string checked = runtimeDir_ + "/checked";
  int swaps = 0;
  setConnectHook([&] {
    ASSERT_EQ(::rename(root_.c_str(), checked.c_str()), 0);
    ASSERT_EQ(::rename(impostorRoot.c_str(), root_.c_str()), 0);
    ++swaps;
  });
  const auto swapBack = [&] {
    ASSERT_EQ(::rename(root_.c_str(), impostorRoot.c_str()), 0);
    ASSERT_EQ(::rename(checked.c_str(), root_.c_str()), 0);
  };

  const Device control = track(openDevice(devicePath("box")).device);
  swapBack();
  ASSERT_NE(control, nullptr);
  const Pipe command = track(openPipe(*control, 1));
  swapBack();
  ASSERT_NE(command, nullptr);
  EXPECT_GE(keep(acceptOne(device)), 0);
  EXPECT_GE(keep(acceptOne(pipe)), 0);

  // The pipe reset opens a connection of its own to the pipe's device.
  setTimeScale(20);  // its answer never comes: the wait for it is short
  EXPECT_TRUE(command->reset());
  swapBack();
  EXPECT_GE(keep(acceptOne(device)), 0);

  setConnectHook(nullptr);
  EXPECT_EQ(swaps, 3);
  EXPECT_TRUE(nothingPending(fakeDevice)) << "a connection went to the impostor";
  EXPECT_TRUE(nothingPending(fakePipe)) << "a connection went to the impostor";
}

TEST_F(HandlesTest, OnlyTrustedPublishFoldersAreConnectedThrough) {
  listen("box");
  EXPECT_NE(track(openDevice(devicePath("box")).device), nullptr);
  // A socket outside the publish folder is not a device.
  const std::string outside = runtimeDir_ + "/box";
  keep(test::listenAt(outside, SOCK_SEQPACKET));
  EXPECT_EQ(openDevice(outside).device, nullptr);
  // A class folder others may write to is not trusted, whatever the enumeration saw before.
  ASSERT_EQ(::chmod(classDir_.c_str(), 0720), 0);
  EXPECT_EQ(openDevice(devicePath("box")).device, nullptr);
  ASSERT_EQ(::chmod(classDir_.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(root_.c_str(), 0702), 0);
  EXPECT_EQ(openDevice(devicePath("box")).device, nullptr);
  ASSERT_EQ(::chmod(root_.c_str(), 0700), 0);
  EXPECT_NE(track(openDevice(devicePath("box")).device), nullptr);
}

}  // namespace
}  // namespace tavro::platform
