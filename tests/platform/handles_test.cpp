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

class HandlesTest : public test::RegistryFixture {
 protected:
  // Opens path against a listener there and returns the box's end of the connection.
  Handle open(const std::string& path, int listener, int* peer) {
    const Handle h = createFile(path.c_str());
    *peer = h == kInvalidHandle ? -1 : keep(acceptOne(listener));
    return h;
  }

  // Opens pipe `number` of the device "box" against a listener for it and returns the
  // box's end of the pipe connection; the device handle is closed again at once.
  Handle openPipeOf(int number, int listener, int* peer) {
    if (device_ < 0) device_ = listen("box");
    const Handle device = createFile(devicePath("box").c_str());
    const Handle h = openPipe(device, number);
    closeHandle(device);
    *peer = h == kInvalidHandle ? -1 : keep(acceptOne(listener));
    return h;
  }

  void TearDown() override {
    setConnectHook(nullptr);
    for (Handle h : handles_) closeHandle(h);
    RegistryFixture::TearDown();
  }

  Handle track(Handle h) {
    if (h != kInvalidHandle) handles_.push_back(h);
    return h;
  }

  std::vector<Handle> handles_;
  int device_ = -1;
};

TEST_F(HandlesTest, MissingStaleOrUnfittingPathsDoNotOpen) {
  EXPECT_EQ(createFile(devicePath("absent").c_str()), kInvalidHandle);
  EXPECT_EQ(createFile(""), kInvalidHandle);
  EXPECT_EQ(createFile(nullptr), kInvalidHandle);

  // A socket file that nobody listens on any more.
  const int stale = test::listenAt(devicePath("stale"), SOCK_SEQPACKET);
  ASSERT_GE(stale, 0);
  ::close(stale);
  EXPECT_EQ(createFile(devicePath("stale").c_str()), kInvalidHandle);

  const std::string tooLong = "/" + std::string(300, 'x');
  EXPECT_EQ(createFile(tooLong.c_str()), kInvalidHandle);
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
    std::vector<Handle> opened;
    for (int i = 0; i < 4; ++i) opened.push_back(createFile(path.c_str()));
    return opened;
  });
  ASSERT_EQ(opening.wait_for(10s), std::future_status::ready) << "an open blocked on the box";
  const std::vector<Handle> opened = opening.get();
  for (Handle h : opened) track(h);
  EXPECT_NE(opened.front(), kInvalidHandle);
  EXPECT_EQ(opened.back(), kInvalidHandle);
}

TEST_F(HandlesTest, LongestPathThatFitsASocketAddress) {
  // A device path of exactly 107 bytes opens; its pipe path (114 bytes) cannot.
  const std::string prefix = classDir_ + "/";
  ASSERT_LT(prefix.size(), 100u);
  const std::string name(107 - prefix.size(), 'n');
  const int listener = listen(name);
  ASSERT_GE(listener, 0);
  int peer = -1;
  const Handle device = track(open(prefix + name, listener, &peer));
  EXPECT_NE(device, kInvalidHandle);
  EXPECT_EQ(openPipe(device, 1), kInvalidHandle);
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
    const Handle right = track(createFile(devicePath("right").c_str()));
    const Handle wrong = track(createFile(devicePath("wrong").c_str()));
    ASSERT_NE(right, kInvalidHandle);
    ASSERT_NE(wrong, kInvalidHandle);
    EXPECT_NE(track(openPipe(right, pipe)), kInvalidHandle) << pipe;
    EXPECT_EQ(openPipe(wrong, pipe), kInvalidHandle) << pipe;
    for (const char* name : {"right", "wrong"}) {
      ::unlink(devicePath(name).c_str());
      ::unlink(devicePath(name + suffix).c_str());
    }
  }
  // The device itself is a message socket; there are four pipes, and a pipe is no device.
  listen("stream", SOCK_STREAM);
  EXPECT_EQ(createFile(devicePath("stream").c_str()), kInvalidHandle);
  listen("box");
  listen("box\\PIPE04");
  const Handle box = track(createFile(devicePath("box").c_str()));
  EXPECT_EQ(openPipe(box, 4), kInvalidHandle);
  EXPECT_EQ(openPipe(box, -1), kInvalidHandle);
  listen("box\\PIPE01");
  EXPECT_EQ(createFile(devicePath("box\\PIPE01").c_str()), kInvalidHandle);
  EXPECT_EQ(openPipe(kInvalidHandle, 1), kInvalidHandle);
}

TEST_F(HandlesTest, MessagePipeReadsOneMessageCutToTheBuffer) {
  const int listener = listen("box\\PIPE00");
  int peer = -1;
  const Handle h = track(openPipeOf(0, listener, &peer));
  ASSERT_NE(h, kInvalidHandle);
  Bytes longer(100), shorter(10, 0x5A);
  for (size_t i = 0; i < longer.size(); ++i) longer[i] = static_cast<uint8_t>(i);
  sendBytes(peer, longer);
  sendBytes(peer, shorter);

  Bytes buffer(64);
  uint32_t got = 0;
  ASSERT_TRUE(readFile(h, buffer.data(), 64, &got));
  EXPECT_EQ(got, 64u);
  EXPECT_EQ(buffer, Bytes(longer.begin(), longer.begin() + 64));
  ASSERT_TRUE(readFile(h, buffer.data(), 64, &got));
  EXPECT_EQ(got, 10u) << "the rest of the long message is gone, the next one follows";
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 10), shorter);

  ::close(peer);
  EXPECT_FALSE(readFile(h, buffer.data(), 64, &got));
  EXPECT_EQ(got, 0u);
}

TEST_F(HandlesTest, StreamPipeReadsExactlyTheCountUnlessItEnds) {
  const int listener = listen("box\\PIPE02", SOCK_STREAM);
  int peer = -1;
  const Handle h = track(openPipeOf(2, listener, &peer));
  ASSERT_NE(h, kInvalidHandle);

  Bytes frame(256);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7);
  sendBytes(peer, Bytes(frame.begin(), frame.begin() + 100));
  auto reading = std::async(std::launch::async, [h] {
    Bytes buffer(256);
    uint32_t got = 0;
    const bool ok = readFile(h, buffer.data(), 256, &got);
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
  EXPECT_FALSE(readFile(h, rest.data(), 256, &partial));
  EXPECT_EQ(partial, 10u);
}

TEST_F(HandlesTest, WriteSendsOneMessageAndFailsOnAClosedPeer) {
  const int listener = listen("box\\PIPE01");
  int peer = -1;
  const Handle h = track(openPipeOf(1, listener, &peer));
  ASSERT_NE(h, kInvalidHandle);
  Bytes packet(64, 0x04);
  uint32_t written = 0;
  ASSERT_TRUE(writeFile(h, packet.data(), 64, &written));
  EXPECT_EQ(written, 64u);
  EXPECT_EQ(receive(peer), packet);

  // Without MSG_NOSIGNAL this would end the test program with SIGPIPE.
  ::close(peer);
  EXPECT_FALSE(writeFile(h, packet.data(), 64, &written));
  EXPECT_FALSE(writeFile(h, packet.data(), 64, &written));
}

TEST_F(HandlesTest, CancelWakesABlockedReadAndFailsLaterOnes) {
  const int listener = listen("box\\PIPE00");
  int peer = -1;
  const Handle h = track(openPipeOf(0, listener, &peer));
  ASSERT_NE(h, kInvalidHandle);
  auto reading = std::async(std::launch::async, [h] {
    uint8_t buffer[64];
    uint32_t got = 0;
    return readFile(h, buffer, 64, &got);
  });
  ASSERT_EQ(reading.wait_for(20ms), std::future_status::timeout);
  cancelHandle(h);
  ASSERT_EQ(reading.wait_for(10s), std::future_status::ready);
  EXPECT_FALSE(reading.get());

  EXPECT_EQ(receive(peer).size(), 0u) << "the box sees the connection end";
  uint8_t buffer[64];
  uint32_t got = 0;
  EXPECT_FALSE(readFile(h, buffer, 64, &got));
  EXPECT_FALSE(writeFile(h, buffer, 64, &got));
}

TEST_F(HandlesTest, ClosedHandleIsUnknownAndWakesItsReader) {
  const int listener = listen("box\\PIPE00");
  int peer = -1;
  const Handle h = openPipeOf(0, listener, &peer);
  ASSERT_NE(h, kInvalidHandle);
  auto reading = std::async(std::launch::async, [h] {
    uint8_t buffer[64];
    uint32_t got = 0;
    return readFile(h, buffer, 64, &got);
  });
  closeHandle(h);
  ASSERT_EQ(reading.wait_for(10s), std::future_status::ready);
  EXPECT_FALSE(reading.get());
  EXPECT_EQ(receive(peer).size(), 0u) << "the box sees the connection end";

  // The next handle never reuses the closed one's value.
  int again = -1;
  const Handle next = track(openPipeOf(0, listener, &again));
  EXPECT_NE(next, h);
  uint8_t buffer[4] = {};
  uint32_t count = 0;
  EXPECT_FALSE(readFile(h, buffer, 4, &count));
  EXPECT_FALSE(writeFile(h, buffer, 4, &count));
  closeHandle(h);  // twice is harmless
}

// Nothing waits at a listener: a connection made to it would be pending by now.
bool nothingPending(int listener) {
  pollfd p{listener, POLLIN, 0};
  return ::poll(&p, 1, 0) == 0;
}

TEST_F(HandlesTest, ARegistrySwappedAfterTheTrustCheckIsNeverUsed) {
  // Between the check and the connect, the registry root is renamed away and an impostor's
  // tree (trusted in its own right) takes its place: every connection must still land in
  // the folder that was checked.
  const int device = listen("box");
  const int pipe = listen("box\\PIPE01");
  const std::string impostorRoot = runtimeDir_ + "/impostor";
  const std::string impostorClass = impostorRoot + "/" + interfaceClassName(kBoxInterfaceClass);
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

  const Handle control = track(createFile(devicePath("box").c_str()));
  swapBack();
  const Handle command = track(openPipe(control, 1));
  swapBack();
  ASSERT_NE(control, kInvalidHandle);
  ASSERT_NE(command, kInvalidHandle);
  EXPECT_GE(keep(acceptOne(device)), 0);
  EXPECT_GE(keep(acceptOne(pipe)), 0);

  // The pipe reset opens a connection of its own to the pipe's device.
  setTimeScale(20);  // its answer never comes: the wait for it is short
  EXPECT_TRUE(deviceIoControl(command, kPipeReset, nullptr));
  swapBack();
  EXPECT_GE(keep(acceptOne(device)), 0);

  setConnectHook(nullptr);
  EXPECT_EQ(swaps, 3);
  EXPECT_TRUE(nothingPending(fakeDevice)) << "a connection went to the impostor";
  EXPECT_TRUE(nothingPending(fakePipe)) << "a connection went to the impostor";
}

TEST_F(HandlesTest, OnlyTrustedRegistryFoldersAreConnectedThrough) {
  listen("box");
  EXPECT_NE(track(createFile(devicePath("box").c_str())), kInvalidHandle);
  // A socket outside the registry is not a device.
  const std::string outside = runtimeDir_ + "/box";
  keep(test::listenAt(outside, SOCK_SEQPACKET));
  EXPECT_EQ(createFile(outside.c_str()), kInvalidHandle);
  // A class folder others may write to is not trusted, whatever the enumeration saw before.
  ASSERT_EQ(::chmod(classDir_.c_str(), 0720), 0);
  EXPECT_EQ(createFile(devicePath("box").c_str()), kInvalidHandle);
  ASSERT_EQ(::chmod(classDir_.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(root_.c_str(), 0702), 0);
  EXPECT_EQ(createFile(devicePath("box").c_str()), kInvalidHandle);
  ASSERT_EQ(::chmod(root_.c_str(), 0700), 0);
  EXPECT_NE(track(createFile(devicePath("box").c_str())), kInvalidHandle);
}

}  // namespace
}  // namespace tavro::platform
