// The box's device link against raw sockets: publishing, control requests, commands and
// answers, connection handling, unplugging and the answer faults.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <future>

#include "platform/platform.h"
#include "vbox/raw_wire.h"
#include "vbox/virtual_box.h"

namespace tavro::vbox {
namespace {

using namespace std::chrono_literals;
using testing::connectPipe;
using testing::connectTo;
using testing::control;
using testing::controlRequest;
using testing::Fd;
using testing::Host;
using testing::packet;
using testing::receive;
using testing::sendBytes;

const std::vector<uint8_t> kProbe = controlRequest(kVendorReadCode, 0, kProbeIndex, 1);
const std::vector<uint8_t> kSetupIn =
    controlRequest(kVendorWriteCode, 0, kTransferSetupIndex, 6, {0, 0, 0, 0x40, 0, 0x81});

mode_t modeOf(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode;
}

class BoxLink : public ::testing::Test {
 protected:
  testing::RuntimeDir dir;
};

TEST_F(BoxLink, PublishesPrivateDirectoriesAndSocketsAndRemovesThemOnUnplug) {
  VirtualBox box({"dev7"});
  std::string root = dir.path() + "/tavro";
  std::string classDir = root + "/" + kInterfaceClass;
  EXPECT_EQ(box.devicePath(), classDir + "/dev7");
  EXPECT_EQ(modeOf(root) & 0777, 0700u);
  EXPECT_EQ(modeOf(classDir) & 0777, 0700u);
  EXPECT_TRUE(S_ISDIR(modeOf(classDir)));
  EXPECT_TRUE(S_ISSOCK(modeOf(box.devicePath())));
  for (int p = 0; p < kPipeCount; ++p)
    EXPECT_TRUE(S_ISSOCK(modeOf(testing::pipePath(box, p)))) << p;

  // The audio-in pipe is a byte stream, the others keep message boundaries.
  EXPECT_LT(connectTo(testing::pipePath(box, kAudioInPipe), SOCK_SEQPACKET), 0);
  Fd stream(connectPipe(box, kAudioInPipe));
  EXPECT_TRUE(stream.valid());

  box.unplug();
  EXPECT_FALSE(box.plugged());
  EXPECT_EQ(modeOf(box.devicePath()), 0u);
  for (int p = 0; p < kPipeCount; ++p) EXPECT_EQ(modeOf(testing::pipePath(box, p)), 0u) << p;
  EXPECT_TRUE(S_ISDIR(modeOf(classDir)));  // directories stay

  box.plug();
  EXPECT_TRUE(box.plugged());
  EXPECT_EQ(control(box, kProbe), (std::vector<uint8_t>{1, 1}));
}

TEST_F(BoxLink, UsesPerUserTmpRootWithoutAbsoluteRuntimeDir) {
  setenv("XDG_RUNTIME_DIR", "relative/dir", 1);
  std::string name = "vbox-test-" + std::to_string(getpid());
  VirtualBox box({name});
  std::string root = "/tmp/tavro-" + std::to_string(getuid());
  EXPECT_EQ(box.devicePath(), root + "/" + kInterfaceClass + "/" + name);
  EXPECT_TRUE(S_ISSOCK(modeOf(box.devicePath())));
  box.unplug();
  EXPECT_EQ(modeOf(box.devicePath()), 0u);
}

TEST_F(BoxLink, RejectsBadNamesAndForeignFiles) {
  EXPECT_THROW(VirtualBox({"a\\b"}), std::invalid_argument);
  EXPECT_THROW(VirtualBox({""}), std::invalid_argument);
  {
    VirtualBox box({"taken"});  // creates the directories
  }
  std::string path = dir.path() + "/tavro/" + kInterfaceClass + "/taken";
  FILE* f = std::fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  EXPECT_THROW(VirtualBox({"taken"}), std::system_error);
  EXPECT_TRUE(S_ISREG(modeOf(path)));  // a file that is not a socket is left alone
}

// The box publishes only where the library looks: a publish folder that the library's
// trust rule refuses is refused by the box too, with the reason.
TEST_F(BoxLink, RefusesPublishFoldersTheLibraryWouldNotTrust) {
  const std::string root = dir.path() + "/tavro";
  const std::string classDir = root + "/" + kInterfaceClass;
  const std::string elsewhere = dir.path() + "/elsewhere";
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
  auto librarySees = [] { return platform::boxPaths().size(); };
  auto refusal = [] {
    try {
      VirtualBox box({"dev"});
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string("published");
  };

  struct Case {
    const char* what;
    std::function<void()> arrange;
    std::string folder, problem;
  };
  const std::vector<Case> cases = {
      {"group-writable root", [&] { mkdir(root.c_str(), 0700), chmod(root.c_str(), 0770); }, root,
       "is writable by its group or by others"},
      {"others-writable class folder",
       [&] {
         mkdir(root.c_str(), 0700), mkdir(classDir.c_str(), 0700), chmod(classDir.c_str(), 0702);
       },
       classDir, "is writable by its group or by others"},
      {"symbolic link as root", [&] { symlink(elsewhere.c_str(), root.c_str()); }, root,
       "is a symbolic link"},
      {"symbolic link as class folder",
       [&] { mkdir(root.c_str(), 0700), symlink(elsewhere.c_str(), classDir.c_str()); }, classDir,
       "is a symbolic link"},
      {"file as root", [&] { std::ofstream(root) << "x"; }, root, "is not a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(root);
    c.arrange();
    const std::string message = refusal();
    EXPECT_NE(message.find(c.folder + " " + c.problem), std::string::npos) << message;
    EXPECT_EQ(librarySees(), 0u);
  }

  // Mended, both agree again.
  std::filesystem::remove_all(root);
  VirtualBox box({"dev"});
  EXPECT_EQ(librarySees(), 1u);
}

TEST_F(BoxLink, AnswersControlRequestsAndLogsThem) {
  VirtualBox box;
  EXPECT_EQ(control(box, kProbe), (std::vector<uint8_t>{1, 1}));
  EXPECT_EQ(control(box, kSetupIn), (std::vector<uint8_t>{1}));
  EXPECT_EQ(control(box, controlRequest(kPipeResetCode, 2, 0, 0)), (std::vector<uint8_t>{1}));

  // Failures: unknown code, a probe of another register, a short setup, a pipe that does not
  // exist, a message too short to be a request.
  EXPECT_EQ(control(box, controlRequest(0x12345678, 0, 0, 0)), (std::vector<uint8_t>{0}));
  EXPECT_EQ(control(box, controlRequest(kVendorReadCode, 0, 0x0471, 1)), (std::vector<uint8_t>{0}));
  EXPECT_EQ(control(box, controlRequest(kVendorWriteCode, 0, kTransferSetupIndex, 6, {0, 0})),
            (std::vector<uint8_t>{0}));
  EXPECT_EQ(control(box, controlRequest(kPipeResetCode, 4, 0, 0)), (std::vector<uint8_t>{0}));
  EXPECT_EQ(control(box, {1, 2, 3}), (std::vector<uint8_t>{0}));

  auto log = box.controlRequests();
  ASSERT_EQ(log.size(), 8u);
  EXPECT_EQ(log[0].code, kVendorReadCode);
  EXPECT_EQ(log[0].index, kProbeIndex);
  EXPECT_TRUE(log[0].succeeded);
  EXPECT_EQ(log[1].data, (std::vector<uint8_t>{0, 0, 0, 0x40, 0, 0x81}));
  EXPECT_EQ(log[2].code, kPipeResetCode);
  EXPECT_EQ(log[2].value, 2u);
  EXPECT_FALSE(log[3].succeeded);
  box.clearLog();
  EXPECT_TRUE(box.controlRequests().empty());
}

TEST_F(BoxLink, ProbeAndSetupFaultsAndIndependentControlConnections) {
  VirtualBox box;
  // Two control connections at once; one that only connects and leaves does no harm.
  Fd a(connectTo(box.devicePath(), SOCK_SEQPACKET));
  Fd b(connectTo(box.devicePath(), SOCK_SEQPACKET));
  close(connectTo(box.devicePath(), SOCK_SEQPACKET));

  box.setProbeFails(true);
  box.setTransferSetupFails(true);
  ASSERT_TRUE(sendBytes(b.get(), kProbe));
  ASSERT_TRUE(sendBytes(a.get(), kSetupIn));
  EXPECT_EQ(receive(a.get()).bytes, (std::vector<uint8_t>{0}));
  EXPECT_EQ(receive(b.get()).bytes, (std::vector<uint8_t>{0}));

  box.setProbeFails(false);
  ASSERT_TRUE(sendBytes(a.get(), kProbe));
  EXPECT_EQ(receive(a.get()).bytes, (std::vector<uint8_t>{1, 1}));
  ASSERT_TRUE(sendBytes(b.get(), kSetupIn));
  EXPECT_EQ(receive(b.get()).bytes, (std::vector<uint8_t>{0}));
  box.setTransferSetupFails(false);
  ASSERT_TRUE(sendBytes(b.get(), kSetupIn));
  EXPECT_EQ(receive(b.get()).bytes, (std::vector<uint8_t>{1}));
}

TEST_F(BoxLink, AnswersEveryCommandWithOneClearingRecordAndLogsIt) {
  VirtualBox box;
  Host host(box);
  auto before = Clock::now();
  ASSERT_TRUE(sendBytes(host.command.get(), packet({4})));
  ASSERT_TRUE(sendBytes(host.command.get(), packet({14, 9, 8})));
  auto first = receive(host.reply.get());
  auto second = receive(host.reply.get());
  EXPECT_EQ(first.bytes, packet({1, 4}));
  EXPECT_EQ(second.bytes, packet({1, 14}));
  EXPECT_TRUE(receive(host.reply.get(), 100).timedOut);  // exactly one answer each

  ASSERT_TRUE(box.waitForCommands(2, 5s));
  auto log = box.commands();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1].packet[0], 14);
  EXPECT_EQ(log[1].packet[2], 8);
  EXPECT_GE(log[0].time, before);
  EXPECT_LE(log[0].time, log[1].time);
  EXPECT_LE(log[1].time, Clock::now());
  EXPECT_FALSE(box.waitForCommands(3, 10ms));
}

TEST_F(BoxLink, IgnoresMessagesOfTheWrongSize) {
  VirtualBox box;
  Host host(box);
  ASSERT_TRUE(sendBytes(host.command.get(), packet({4}, 10)));
  ASSERT_TRUE(sendBytes(host.command.get(), packet({4}, 65)));
  ASSERT_TRUE(sendBytes(host.command.get(), packet({3})));
  EXPECT_EQ(receive(host.reply.get()).bytes, packet({1, 3}));
  EXPECT_EQ(box.commands().size(), 1u);
  EXPECT_EQ(box.malformedMessages(), 2u);
}

TEST_F(BoxLink, SilentAndResponderDecideTheAnswers) {
  VirtualBox box;
  Host host(box);
  box.setSilent(true);
  ASSERT_TRUE(sendBytes(host.command.get(), packet({4})));
  ASSERT_TRUE(box.waitForCommands(1, 5s));
  box.setSilent(false);
  box.setResponder([](const Packet& p) -> std::optional<std::vector<Record>> {
    if (p[0] == 24) return std::vector<Record>{makeRecord({8, 1, 2}), makeRecord({6})};
    if (p[0] == 3) return std::vector<Record>{};  // no answer
    return std::nullopt;
  });
  for (uint8_t code : {3, 24, 13}) ASSERT_TRUE(sendBytes(host.command.get(), packet({code})));
  // Nothing for the silent command nor for 3: the first record is the answer to 24.
  EXPECT_EQ(receive(host.reply.get()).bytes, packet({8, 1, 2}));
  EXPECT_EQ(receive(host.reply.get()).bytes, packet({6}));
  EXPECT_EQ(receive(host.reply.get()).bytes, packet({1, 13}));
  EXPECT_EQ(box.commands().size(), 4u);
}

TEST_F(BoxLink, ResponderMayUseTheBox) {
  VirtualBox box;
  Host host(box);
  box.setResponder([&box](const Packet&) -> std::optional<std::vector<Record>> {
    box.sendRecord({7, 5});  // an event ahead of the answer
    return std::nullopt;
  });
  ASSERT_TRUE(sendBytes(host.command.get(), packet({4})));
  EXPECT_EQ(receive(host.reply.get()).bytes, packet({7, 5}));
  EXPECT_EQ(receive(host.reply.get()).bytes, packet({1, 4}));
}

TEST_F(BoxLink, ResponderMayUnplugReplugOrFail) {
  VirtualBox box;
  Host host(box);
  std::promise<void> replugged;
  box.setResponder([&](const Packet& p) -> std::optional<std::vector<Record>> {
    if (p[0] == 99) {
      box.unplug();
      box.plug();
      replugged.set_value();
      return std::vector<Record>{};
    }
    if (p[0] == 98) throw std::runtime_error("test");
    return std::nullopt;
  });
  EXPECT_EQ(host.ask({98}), packet({1, 98}));  // a failing responder: the box's own answer
  ASSERT_TRUE(sendBytes(host.command.get(), packet({99})));
  EXPECT_TRUE(receive(host.reply.get()).ended);
  replugged.get_future().wait();  // the old connection ends before the new sockets exist
  Host again(box);
  EXPECT_EQ(again.ask({4}), packet({1, 4}));
}

TEST_F(BoxLink, SlowBoxAnswersLateInOrder) {
  VirtualBox box;
  Host host(box);
  box.setAnswerDelay(300ms);
  auto sent = Clock::now();
  ASSERT_TRUE(sendBytes(host.command.get(), packet({4})));
  ASSERT_TRUE(sendBytes(host.command.get(), packet({3})));
  auto first = receive(host.reply.get());
  auto arrived = Clock::now();
  EXPECT_EQ(first.bytes, packet({1, 4}));
  EXPECT_GE(arrived - sent, 300ms);
  EXPECT_EQ(receive(host.reply.get()).bytes, packet({1, 3}));
}

TEST_F(BoxLink, SendRecordNeedsAReplyConnectionAndPadsTheRecord) {
  VirtualBox box;
  EXPECT_FALSE(box.sendRecord({7, 5}));
  Host host(box);
  ASSERT_TRUE(sendBytes(host.command.get(), packet({3})));
  ASSERT_EQ(receive(host.reply.get()).bytes, packet({1, 3}));  // the reply pipe is accepted
  EXPECT_TRUE(box.sendRecord({7, 5}));
  EXPECT_EQ(receive(host.reply.get()).bytes, packet({7, 5}));
}

TEST_F(BoxLink, NewConnectionReplacesTheOldOnePerPipe) {
  VirtualBox box;
  std::vector<Fd> first, second;
  for (int p = 0; p < kPipeCount; ++p) first.emplace_back(connectPipe(box, p));
  ASSERT_TRUE(box.waitForPipes(5s));
  for (int p = 0; p < kPipeCount; ++p) {
    second.emplace_back(connectPipe(box, p));
    EXPECT_TRUE(receive(first[p].get()).ended) << p;  // the box closed the old one
  }
  for (int p = 0; p < kPipeCount; ++p) EXPECT_EQ(box.connectionCount(p), 2) << p;
  EXPECT_TRUE(box.pipesConnected());
  ASSERT_TRUE(sendBytes(second[kCommandPipe].get(), packet({4})));
  EXPECT_EQ(receive(second[kReplyPipe].get()).bytes, packet({1, 4}));
  // The line left off hook: the next connection learns it first.
  second[kReplyPipe] = Fd(connectPipe(box, kReplyPipe));
  EXPECT_EQ(receive(second[kReplyPipe].get()).bytes, packet({208, 1, 1}));
}

TEST_F(BoxLink, UnplugClosesEveryConnectionAndReplugAcceptsAgain) {
  VirtualBox box;
  Fd pipes[kPipeCount] = {Fd(connectPipe(box, 0)), Fd(connectPipe(box, 1)), Fd(connectPipe(box, 2)),
                          Fd(connectPipe(box, 3))};
  Fd ctl(connectTo(box.devicePath(), SOCK_SEQPACKET));
  ASSERT_TRUE(sendBytes(ctl.get(), kProbe));
  EXPECT_EQ(receive(ctl.get()).bytes, (std::vector<uint8_t>{1, 1}));
  ASSERT_TRUE(box.waitForPipes(5s));

  box.unplug();
  EXPECT_FALSE(box.pipesConnected());
  for (int p = 0; p < kPipeCount; ++p) EXPECT_TRUE(receive(pipes[p].get()).ended) << p;
  EXPECT_TRUE(receive(ctl.get()).ended);
  EXPECT_LT(connectPipe(box, kReplyPipe), 0);
  EXPECT_FALSE(box.sendRecord({1}));

  box.plug();
  Host host(box);
  ASSERT_TRUE(sendBytes(host.command.get(), packet({3})));
  EXPECT_EQ(receive(host.reply.get()).bytes, packet({1, 3}));
  EXPECT_EQ(box.connectionCount(kReplyPipe), 2);
}

TEST_F(BoxLink, HostClosingAPipeIsNoticed) {
  VirtualBox box;
  {
    Fd pipes[kPipeCount] = {Fd(connectPipe(box, 0)), Fd(connectPipe(box, 1)),
                            Fd(connectPipe(box, 2)), Fd(connectPipe(box, 3))};
    ASSERT_TRUE(box.waitForPipes(5s));
  }
  EXPECT_TRUE(box.waitForPipesClosed(5s));
}

}  // namespace
}  // namespace tavro::vbox
