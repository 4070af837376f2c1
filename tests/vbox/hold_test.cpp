// One program at a time: the box tells programs apart by their process, so these tests
// put the other program in a child process.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "platform/wire.h"
#include "support/conditions.h"
#include "vbox/raw_wire.h"
#include "vbox/virtual_box.h"

namespace tavro::vbox {
namespace {

using namespace std::chrono_literals;
using testing::connectPipe;
using testing::control;
using testing::controlRequest;
using testing::Fd;
using testing::receive;

const std::vector<uint8_t> kClaim = controlRequest(kClaimPipesCode, 0, 0, 1);
const std::vector<uint8_t> kGranted{1, tavro::kClaimGranted};
const std::vector<uint8_t> kBusy{1, tavro::kClaimBusy};

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), std::min(path.size(), sizeof addr.sun_path - 1));
  return addr;
}

void ignore(ssize_t) {}

// Another program: a child process that claims the box and connects its command pipe, then
// closes its connections or exits when told. Between fork and exit it makes system calls
// only.
class OtherProgram {
 public:
  explicit OtherProgram(const VirtualBox& box) {
    const sockaddr_un device = addressOf(box.devicePath());
    const sockaddr_un pipe = addressOf(testing::pipePath(box, kCommandPipe));
    const std::vector<uint8_t> claim = kClaim;
    if (::pipe(toChild_) != 0 || ::pipe(toParent_) != 0) return;
    pid_ = fork();
    if (pid_ != 0) return;
    int control = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    int commands = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    uint8_t answer[2] = {0, 0};
    if (connect(control, reinterpret_cast<const sockaddr*>(&device), sizeof device) == 0 &&
        send(control, claim.data(), claim.size(), MSG_NOSIGNAL) == ssize_t(claim.size()))
      ignore(recv(control, answer, sizeof answer, 0));
    ignore(connect(commands, reinterpret_cast<const sockaddr*>(&pipe), sizeof pipe));
    ignore(write(toParent_[1], answer, sizeof answer));
    char order = 0;
    while (read(toChild_[0], &order, 1) == 1 && order == 'c') {
      close(control);
      close(commands);
      ignore(write(toParent_[1], "k", 1));
    }
    _exit(0);
  }
  ~OtherProgram() {
    if (pid_ > 0) {
      end();
      waitpid(pid_, nullptr, 0);
    }
    for (int fd : {toChild_[0], toChild_[1], toParent_[0], toParent_[1]})
      if (fd >= 0) close(fd);
  }

  pid_t pid() const { return pid_; }
  // What the box answered its claim.
  std::vector<uint8_t> claimAnswer() {
    std::vector<uint8_t> answer(2);
    if (read(toParent_[0], answer.data(), 2) != 2) answer.clear();
    return answer;
  }
  void closeConnections() {
    char ack = 0;
    if (write(toChild_[1], "c", 1) == 1) ignore(read(toParent_[0], &ack, 1));
  }
  void end() {
    if (write(toChild_[1], "x", 1) == 1) waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  int toChild_[2] = {-1, -1};
  int toParent_[2] = {-1, -1};
  pid_t pid_ = -1;
};

class BoxHold : public ::testing::Test {
 protected:
  testing::RuntimeDir dir;
};

TEST_F(BoxHold, AnotherProgramIsRefusedAndTheHoldEndsWithItsProcess) {
  BoxOptions options;
  options.holdGrace = 60s;  // so that only the end of the process can end the hold
  VirtualBox box(options);
  OtherProgram other(box);
  ASSERT_GT(other.pid(), 0);
  EXPECT_EQ(other.claimAnswer(), kGranted);
  EXPECT_EQ(box.holder(), other.pid());
  ASSERT_TRUE(test::eventually([&] { return box.connectionCount(kCommandPipe) == 1; }));

  // This process is the other program now: told busy, its pipe connection closed at once
  // without touching the holder's, its other requests failed.
  EXPECT_EQ(control(box, kClaim), kBusy);
  Fd mine(connectPipe(box, kCommandPipe));
  ASSERT_TRUE(mine.valid());
  EXPECT_TRUE(receive(mine.get()).ended);
  EXPECT_EQ(box.refusedConnections(), 1u);
  EXPECT_EQ(box.connectionCount(kCommandPipe), 1);
  EXPECT_EQ(control(box, controlRequest(kVendorReadCode, 0, kProbeIndex, 1)),
            (std::vector<uint8_t>{0}));

  other.end();
  EXPECT_TRUE(test::eventually([&] { return box.holder() == -1; }));
  EXPECT_EQ(control(box, kClaim), kGranted);
  EXPECT_EQ(box.holder(), getpid());
}

TEST_F(BoxHold, TheHoldOutlastsTheHoldersConnectionsByTheGraceTime) {
  BoxOptions options;
  options.holdGrace = 2s;
  VirtualBox box(options);
  OtherProgram other(box);
  ASSERT_GT(other.pid(), 0);
  EXPECT_EQ(other.claimAnswer(), kGranted);
  other.closeConnections();
  const auto closed = std::chrono::steady_clock::now();
  // Still held while the program may come back; free once the grace time is over, although
  // the program still runs.
  EXPECT_EQ(control(box, kClaim), kBusy);
  EXPECT_TRUE(test::eventually([&] { return box.holder() == -1; }, 10s));
  EXPECT_GE(std::chrono::steady_clock::now() - closed, 2s);
  EXPECT_EQ(control(box, kClaim), kGranted);
}

TEST_F(BoxHold, ABoxWithoutClaimsLetsAnyProgramReplaceAPipe) {
  BoxOptions options;
  options.claims = false;
  VirtualBox box(options);
  OtherProgram other(box);
  ASSERT_GT(other.pid(), 0);
  EXPECT_EQ(other.claimAnswer(), (std::vector<uint8_t>{0, 0}));  // one byte: failure
  ASSERT_TRUE(test::eventually([&] { return box.connectionCount(kCommandPipe) == 1; }));
  Fd mine(connectPipe(box, kCommandPipe));
  ASSERT_TRUE(test::eventually([&] { return box.connectionCount(kCommandPipe) == 2; }));
  EXPECT_EQ(box.refusedConnections(), 0u);
  EXPECT_EQ(box.holder(), -1);
}

}  // namespace
}  // namespace tavro::vbox
