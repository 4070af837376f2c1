// The device link against the virtual box: start, round trips, link loss, stop.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "device/command.h"
#include "device/pipes.h"
#include "device/threads.h"
#include "device/wait.h"
#include "library/context.h"
#include "platform/platform.h"
#include "support/conditions.h"
#include "support/runtime_dir.h"
#include "support/scaled_time.h"
#include "support/test_box.h"
#include "support/unix_socket.h"
#include "tavro/CKusb_IO.h"
#include "tavro/events.h"
#include "tavro/notice.h"
#include "vbox/virtual_box.h"

namespace tavro {
namespace {

using std::chrono::milliseconds;
using test::eventually;

class Notices {
 public:
  Notices() {
    previous_ = setNoticeHandler([this](const std::string& text) {
      std::lock_guard<std::mutex> lock(mutex_);
      texts_.push_back(text);
    });
  }
  ~Notices() { setNoticeHandler(previous_); }
  // What was shown so far: the notices raised are shown first, on their own thread.
  std::vector<std::string> texts() const {
    EXPECT_TRUE(platform::awaitNoticesDelivered(std::chrono::seconds(20)));
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
  }
  size_t count() const { return texts().size(); }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> texts_;
  NoticeHandler previous_;
};

bool anyWorkerAlive() {
  return workers().monitorAlive || workers().replyReaderAlive || workers().commandWriterAlive ||
         workers().audioInAlive || workers().audioOutAlive;
}

// The threads of this process, but for GLib's own, which the USB emulation starts when it
// likes ("gmain", "gdbus").
int threadCount() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
      std::string name;
      std::getline(comm, name);
      if (name != "gmain" && name != "gdbus") ++n;
    }
    closedir(d);
  }
  return n;
}

using test::ScaledTime;

std::set<int> openDescriptors() {
  std::set<int> fds;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') fds.insert(std::atoi(e->d_name));
    closedir(d);
  }
  return fds;
}

// A connection of the USB emulation's own to its device's ioctl socket (umockdev's, made
// beside the device file that libusb opened).
bool emulationsOwn(int fd) {
  const char* dir = std::getenv("UMOCKDEV_DIR");
  sockaddr_un peer{};
  socklen_t size = sizeof peer;
  return dir != nullptr && *dir != '\0' &&
         ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0 &&
         peer.sun_family == AF_UNIX && std::string(peer.sun_path).starts_with(dir);
}

// The descriptors opened since `before` that a program started by exec would inherit.
std::vector<std::string> inheritedByExec(const std::set<int>& before) {
  std::vector<std::string> open;
  for (int fd : openDescriptors()) {
    const int flags = ::fcntl(fd, F_GETFD);
    if (before.count(fd) || flags < 0 || (flags & FD_CLOEXEC) || emulationsOwn(fd)) continue;
    char target[256] = {};
    const ssize_t n =
        ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
    open.push_back(std::to_string(fd) + " " + (n > 0 ? target : "?"));
  }
  return open;
}

class Link : public ::testing::Test {
 protected:
  test::RuntimeDir runtime_;
  Notices notices_;
  test::TestBox box_;
};

TEST_F(Link, ConstructionWithABoxBringsTheLinkUp) {
  const int threadsBefore = threadCount();
  {
    CKusb_IO io;
    const uint32_t word = statusWord();
    EXPECT_TRUE(word & kInitialisedBit);
    EXPECT_TRUE(word & kReaderReadyBit);
    EXPECT_FALSE(word & kLinkDownBit);
    EXPECT_FALSE(word & kLinkFaultBit);
    EXPECT_EQ(linkState().pipesOpened.load(), 4u);
    EXPECT_TRUE(box_.waitForPipes(milliseconds(5000)));
    // The reply reader probed the box on a control connection of its own.
    bool probed = false;
    for (const auto& c : box_.controlRequests())
      probed |= c.code == tavro::kVendorRead && c.index == 0x0472;
    EXPECT_TRUE(probed);

    box_.clearLog();
    EXPECT_EQ(io.RequestSpaceCode(), 1);
    ASSERT_TRUE(box_.waitForCommands(1, milliseconds(5000)));
    EXPECT_EQ(box_.commands()[0].packet, makePacket({14}));
    EXPECT_FALSE(statusHas(kPendingBit));
  }
  EXPECT_EQ(statusWord(), 0x200u);
  EXPECT_FALSE(anyWorkerAlive());
  EXPECT_EQ(threadCount(), threadsBefore);
}

TEST(LinkWithoutBox, ConstructionEndsWithLinkDownAndStopsPromptly) {
  test::RuntimeDir runtime;
  const auto start = std::chrono::steady_clock::now();
  {
    CKusb_IO io;
    EXPECT_EQ(statusWord(), 0x284u);
    EXPECT_EQ(io.RequestSpaceCode(), -1);
  }
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(1));
  EXPECT_EQ(statusWord(), 0x200u);
  EXPECT_FALSE(anyWorkerAlive());
}

TEST(LinkWithoutBox, TheLinkComesUpWhenTheBoxAppears) {
  TAVRO_SKIP_OVER_USB("the emulated system must exist before the library starts");
  test::RuntimeDir runtime;
  CKusb_IO io;
  EXPECT_TRUE(statusHas(kLinkDownBit));
  test::TestBox box;
  EXPECT_TRUE(eventually([] { return !linkDown(); }));
  EXPECT_EQ(io.RequestSpaceCode(), 1);
}

// TAVRO_BACKENDS chooses where the box is looked for, each time the library starts.
TEST(LinkWithoutBox, TavroBackendsNarrowsWhereTheBoxIsLookedFor) {
  TAVRO_SKIP_OVER_USB("the backends are chosen for the whole binary");
  test::RuntimeDir runtime;
  test::TestBox box;
  for (const char* elsewhere : {"null", "usb", "serial"}) {
    ::setenv("TAVRO_BACKENDS", elsewhere, 1);
    CKusb_IO io;
    EXPECT_TRUE(linkDown()) << elsewhere;
  }
  for (const char* here : {"wire", "usb,wire", ""}) {
    ::setenv("TAVRO_BACKENDS", here, 1);
    CKusb_IO io;
    EXPECT_TRUE(eventually([] { return !linkDown(); })) << here;
  }
  ::unsetenv("TAVRO_BACKENDS");
}

// With no box, the library's threads sleep until a box may have come: the reader looks
// again by itself only once a second of library time. At 20 times real speed, a second
// takes 50 ms; the reader that looked every 50 ms would wake 20 times as often.
TEST(LinkWithoutBox, TheThreadsWakeAtMostOnceASecondWhileNoBoxIsThere) {
  test::RuntimeDir runtime;
  constexpr double kScale = 20;
  ScaledTime fast(kScale);
  CKusb_IO io;
  ASSERT_TRUE(linkDown());
  platform::sleepFor(milliseconds(2000));  // the start's own changes have woken everyone
  const uint64_t before = waitWakeups();
  const auto start = std::chrono::steady_clock::now();
  platform::sleepFor(milliseconds(10000));
  const uint64_t woke = waitWakeups() - before;
  // Library seconds that passed (more than ten when the machine is slow), and one wakeup
  // each, with one to spare for the wait in progress.
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() * kScale;
  EXPECT_LE(static_cast<double>(woke), seconds + 1) << "over " << seconds << " s";
  EXPECT_GE(woke, 5u) << "the reader still looks again by itself";
  EXPECT_TRUE(linkDown());
}

// A box that appears wakes the reader at once. Library time runs 50 times slower here: the
// reader's own next look is 50 s away, so the box is probed within the generous deadline
// only if its appearance woke the reader: nothing between the wakeup and the probe waits on
// library time. (The settling nap after the probe does: the link is then given its own
// generous deadline.)
TEST(LinkWithoutBox, ABoxThatAppearsWakesTheReaderAtOnce) {
  TAVRO_SKIP_OVER_USB("the emulation has no udev to tell of a device that arrives");
  test::RuntimeDir runtime;
  CKusb_IO io;
  ASSERT_TRUE(linkDown());
  ASSERT_EQ(linkState().changesWatched.load(), 1);
  std::unique_ptr<test::TestBox> box;
  {
    ScaledTime slow(0.02);
    // The wait in progress was measured at full speed; the next one is the slow one.
    const uint64_t woke = waitWakeups();
    ASSERT_TRUE(eventually([&] { return waitWakeups() != woke; }));
    box = std::make_unique<test::TestBox>();
    EXPECT_TRUE(eventually([&] {
      for (const auto& c : box->controlRequests())
        if (c.code == tavro::kVendorRead && c.index == 0x0472) return true;
      return false;
    })) << "the box was not probed";
  }
  EXPECT_TRUE(eventually([] { return !linkDown(); }));
}

// A device socket that accepts connections and never answers, as a box whose process is
// suspended: the connections wait in its queue.
class HungBox {
 public:
  explicit HungBox(const std::string& name) : path_(wire::classDirectory() + "/" + name) {
    sockaddr_un address;
    EXPECT_TRUE(test::unixAddress(path_, &address));
    fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(fd_, 64), 0);
  }
  ~HungBox() {
    for (int fd : taken_) ::close(fd);
    ::close(fd_);
    ::unlink(path_.c_str());
  }
  // Connections made to it since the last call.
  size_t connections() {
    const size_t before = taken_.size();
    for (int fd; (fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) taken_.push_back(fd);
    return taken_.size() - before;
  }

 private:
  std::string path_;
  int fd_ = -1;
  std::vector<int> taken_;
};

// Boxes that never answer, listed before a working one, are asked once, skipped and not
// asked again by the opens that follow: the link comes up without their 2 s limit.
TEST_F(Link, BoxesThatDoNotAnswerDoNotHoldUpTheWorkingOne) {
  TAVRO_SKIP_OVER_USB("the hung boxes are sockets of the virtual wire");
  std::vector<std::unique_ptr<HungBox>> hung;
  for (const char* name : {"a0", "a1", "a2"}) hung.push_back(std::make_unique<HungBox>(name));
  const auto start = std::chrono::steady_clock::now();
  CKusb_IO io;
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(linkDown());
  EXPECT_EQ(io.RequestSpaceCode(), 1);
  // A start takes a fraction of one such limit.
  EXPECT_LT(took, milliseconds(2000));
  for (auto& h : hung) EXPECT_EQ(h->connections(), 1u);
}

TEST_F(Link, UnplugAndReplugWhileIdle) {
  CKusb_IO io;
  ASSERT_FALSE(linkDown());
  box_.unplug();
  ASSERT_TRUE(eventually([] { return statusHas(kLinkLostBit); }));
  uint32_t word = statusWord();
  EXPECT_TRUE(word & kLinkDownBit);
  EXPECT_TRUE(word & kLinkFaultBit);
  EXPECT_FALSE(word & kReaderReadyBit);
  ASSERT_TRUE(eventually([&] { return notices_.count() == 1; }));
  EXPECT_EQ(notices_.texts()[0], kLinkLostMessage);
  EXPECT_EQ(io.RequestSpaceCode(), -1);

  box_.plug();
  ASSERT_TRUE(eventually([] { return !linkDown(); }));
  word = statusWord();
  EXPECT_FALSE(word & kLinkFaultBit);
  EXPECT_TRUE(word & kReaderReadyBit);
  EXPECT_TRUE(word & kLinkLostBit);
  EXPECT_EQ(io.RequestSpaceCode(), 1);
  EXPECT_EQ(notices_.count(), 1u);  // once per failure
}

// A command posted just as the link is lost (after the loss has cleared the pending bit)
// is refused, not left pending: the first command on the link that comes back would wait
// for its answer, which never comes, and fail with -3.
TEST_F(Link, ACommandPostedAsTheLinkIsLostDoesNotHoldUpTheNextLink) {
  CKusb_IO io;
  ASSERT_FALSE(linkDown());
  // The send asks whether a recording runs just before it posts: the box goes there.
  static test::TestBox* box = nullptr;
  static std::atomic<bool> armed{false};
  box = &box_;
  static AreaHooks spy = kAreaHooks;
  spy.recording = [] {
    if (armed.exchange(false)) {
      box->unplug();
      // The reader has taken the loss in once its reply pipe is marked down.
      EXPECT_TRUE(eventually([] { return linkState().replyPipeUp.load() == 0; }));
    }
    return kAreaHooks.recording();
  };
  context().hooks.store(&spy);
  armed = true;
  EXPECT_EQ(io.RequestSpaceCode(), -1);
  context().hooks.store(&kAreaHooks);
  EXPECT_FALSE(statusHas(kPendingBit));

  box_.plug();
  ASSERT_TRUE(eventually([] { return !linkDown(); }));
  EXPECT_EQ(io.RequestSpaceCode(), 1);
}

// The pause after a lost link waits for the box: one that comes back ends it, also over
// USB, where the box's departure is told too. Library time runs 50 times slower here, so
// that the pause alone would take 25 s.
TEST_F(Link, ABoxThatComesBackEndsThePauseAfterALostLink) {
  CKusb_IO io;
  ASSERT_EQ(linkState().changesWatched.load(), 1);
  ScaledTime slow(0.02);
  box_.unplug();
  ASSERT_TRUE(eventually([] { return statusHas(kLinkLostBit); }));
  box_.plug();
  EXPECT_TRUE(eventually([] { return !linkDown(); }, milliseconds(10000)));
  EXPECT_EQ(io.RequestSpaceCode(), 1);
}

TEST_F(Link, TheLinkLostMessageIsHeldBackDuringARecording) {
  CKusb_IO io;
  noticeState().eventFlags.fetch_or(kRecordingActiveEvent);
  box_.unplug();
  ASSERT_TRUE(eventually([] { return statusHas(kLinkLostBit); }));
  ASSERT_TRUE(eventually([] { return (noticeState().eventFlags.load() & kLinkLostEvent) == 0; }));
  EXPECT_EQ(notices_.count(), 0u);
  noticeState().eventFlags.fetch_and(~kRecordingActiveEvent);
}

TEST_F(Link, ARoundTripTimesOutAfterItsLimitAndTheNextSendWaitsForIt) {
  CKusb_IO io;
  box_.setSilent(true);
  ScaledTime fast(100);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(commandRoundTrip(makePacket({17, 1}), 30), -3);
  // 31 polls of 100 ms in library time.
  EXPECT_GE(std::chrono::steady_clock::now() - start, platform::realDuration(milliseconds(3100)));
  EXPECT_TRUE(statusHas(kPendingBit));

  // The pending bit stays: the next send gives up without posting.
  box_.clearLog();
  EXPECT_EQ(writeDataToUsb(makePacket({18, 1}).data()), -3);
  box_.setSilent(false);
  EXPECT_TRUE(box_.commands().empty());
}

TEST_F(Link, AnyClearingRecordAnswersTheWaitingCommand) {
  CKusb_IO io;
  box_.setResponder([](const vbox::Packet&) { return std::vector<vbox::Record>{}; });
  std::atomic<int> result{0};
  std::thread caller([&] { result = commandRoundTrip(makePacket({26}), 100); });
  ASSERT_TRUE(box_.waitForCommands(1, milliseconds(5000)));
  // Non-clearing records leave the command waiting.
  box_.sendRecord({240, 0});
  box_.sendRecord({7, 3});
  box_.sendRecord({208, 1, 1});
  ASSERT_TRUE(eventually([] { return statusHas(kOffHookBit); }));
  EXPECT_EQ(result.load(), 0);
  EXPECT_TRUE(statusHas(kPendingBit));
  box_.sendRecord({3});  // unsolicited, but of a clearing type
  caller.join();
  EXPECT_EQ(result.load(), 1);
  EXPECT_TRUE(statusHas(kReply3Bit));
}

TEST_F(Link, RecordsArrivingBeforeTheFirstLookAnswerAtOnce) {
  CKusb_IO io;
  ScaledTime slow(0.02);  // a poll would take 10 s: only an answer seen at once passes
  box_.sendRecord({1});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(commandRoundTrip(makePacket({26}), 100), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(Link, TestTransfersCopyTheTestReplyArea) {
  CKusb_IO io;
  box_.setResponder([](const vbox::Packet& p) -> std::optional<std::vector<vbox::Record>> {
    if (p[0] != 0x33) return std::nullopt;
    vbox::Record r{};
    r[0] = p[4] == 1 ? 240 : 241;
    r[1] = 1;
    for (int i = 4; i < 64; ++i) r[i] = static_cast<uint8_t>(i + 100);
    return std::vector<vbox::Record>{r};
  });
  unsigned char data[64] = {};
  data[0] = 1;
  data[59] = 0x5A;
  EXPECT_EQ(io.Test_End0_WR(0x33, data), 1);
  ASSERT_TRUE(box_.waitForCommands(1, milliseconds(5000)));
  const auto sent = box_.commands().back().packet;
  EXPECT_EQ(sent[0], 0x33);
  EXPECT_EQ(sent[4], 1);
  EXPECT_EQ(sent[63], 0x5A);
  EXPECT_EQ(data[4], 104);  // type 240: record bytes 4..63
  EXPECT_EQ(data[63], 163);

  data[0] = 2;
  EXPECT_EQ(io.Test_End0_WR(0x33, data), 1);
  EXPECT_EQ(data[4], 241);  // type 241: the whole record, type byte first
  EXPECT_EQ(data[5], 1);
}

TEST_F(Link, UnansweredTestTransfersFailAfterTheNotice) {
  CKusb_IO io;
  box_.setResponder([](const vbox::Packet& p) -> std::optional<std::vector<vbox::Record>> {
    if (p[0] == 0x33) return std::vector<vbox::Record>{};
    return std::nullopt;
  });
  ScaledTime fast(200);
  unsigned char data[64] = {};
  std::fill(data + 4, data + 64, 0xAB);
  // The first attempt is not answered, so the second cannot post: it gives up, without the
  // notice, and reports the failure instead of stale data.
  EXPECT_EQ(io.Test_End0_WR(0x33, data), -3);
  EXPECT_EQ(data[4], 0xAB);
  EXPECT_EQ(notices_.count(), 0u);
  EXPECT_EQ(box_.commands().size(), 1u);
}

TEST_F(Link, TheStopEndsEveryThreadWhenTheBoxStaysSilent) {
  const auto start = std::chrono::steady_clock::now();
  {
    CKusb_IO io;
    box_.setSilent(true);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
  EXPECT_FALSE(anyWorkerAlive());
  EXPECT_EQ(statusWord(), 0x200u);
}

TEST_F(Link, SendsFailWithMinusTwoOnceTheLibraryHasStopped) {
  CKusb_IO io;
  io.ExistUSB_IO();
  EXPECT_EQ(writeDataToUsb(makePacket({14}).data()), -2);
  EXPECT_EQ(statusWord(), 0x200u);
  io.ExistUSB_IO();  // a second stop does nothing
  EXPECT_EQ(statusWord(), 0x200u);
  EXPECT_EQ(io.InitialUSB_IO(), 1);  // and the library starts again
  EXPECT_FALSE(linkDown());
  EXPECT_EQ(io.RequestSpaceCode(), 1);
}

TEST_F(Link, ASecondObjectJoinsTheRunningLibrary) {
  auto first = std::make_unique<CKusb_IO>();
  ASSERT_FALSE(linkDown());
  const int threads = threadCount();
  auto second = std::make_unique<CKusb_IO>();
  EXPECT_EQ(threadCount(), threads);  // no second set of threads
  EXPECT_EQ(second->InitialUSB_IO(), 1);
  EXPECT_EQ(threadCount(), threads);
  first.reset();
  EXPECT_FALSE(linkDown());
  EXPECT_EQ(second->RequestSpaceCode(), 1);
  second.reset();
  EXPECT_EQ(statusWord(), 0x200u);
  EXPECT_FALSE(anyWorkerAlive());
}

// A program that the application starts (fork and exec) inherits nothing of the library:
// not its connections to the box, its files or its event descriptor.
TEST_F(Link, EveryDescriptorOfTheLibraryIsCloseOnExec) {
  const std::string played = runtime_.path() + "/out.al";
  std::FILE* f = std::fopen(played.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  for (int i = 0; i < 64000; ++i) std::fputc(0x55, f);  // 8 s at the box's pace
  std::fclose(f);
  const std::set<int> before = openDescriptors();

  CKusb_IO io;
  ASSERT_TRUE(eventually([] { return !linkDown(); }));
  ASSERT_GE(tavro_events_fd(&io), 0);
  ASSERT_EQ(io.PickUp(), 1);
  ASSERT_EQ(io.StartReadSound((runtime_.path() + "/in.wav").c_str(), 0), 1);
  ASSERT_TRUE(eventually([&] { return io.ReadRecLength() > 48 + 512; }));
  EXPECT_EQ(inheritedByExec(before), std::vector<std::string>{}) << "recording";
  ASSERT_GT(io.StopReadSound(), 0);

  ASSERT_EQ(io.StartPlaySound(played.c_str(), 0, 0, 0, false), 1);
  ASSERT_TRUE(box_.waitForPackets(2, std::chrono::seconds(20)));
  EXPECT_EQ(inheritedByExec(before), std::vector<std::string>{}) << "playing";
  EXPECT_EQ(io.StopPlaySound(), 1);
}

TEST_F(Link, ProbeRefusedCountsAsAFailedAttempt) {
  box_.setProbeFails(true);
  {
    CKusb_IO io;
    EXPECT_EQ(statusWord() & (kReaderReadyBit | kInitialisedBit | kLinkDownBit), 0x284u);
    box_.setProbeFails(false);
    EXPECT_TRUE(eventually([] { return !linkDown(); }));
  }
  EXPECT_FALSE(anyWorkerAlive());
}

TEST(PipeCount, CountsWhatIsOpenSoThatAOwnReopenRestoresTheLink) {
  useStateForTest();
  storeStatusWord(kLinkDownBit | kLinkFaultBit);
  for (PipeNumber p : {kReplyPipe, kCommandPipe, kAudioInPipe}) pipeOpened(p);
  EXPECT_TRUE(linkDown());
  pipeOpened(kAudioOutPipe);
  EXPECT_EQ(statusWord(), 0u);
  pipeOpened(kAudioOutPipe);  // counted once
  EXPECT_EQ(linkState().pipesOpened.load(), 4u);

  // The command writer's own write failed: it takes its pipe out, the link goes down, and
  // its reopen brings the count back to exactly 4.
  pipeClosed(kCommandPipe);
  setStatusBits(kLinkDownBit);
  EXPECT_EQ(linkState().pipesOpened.load(), 3u);
  pipeOpened(kCommandPipe);
  EXPECT_FALSE(linkDown());
  useStateForTest();
}

}  // namespace
}  // namespace tavro
