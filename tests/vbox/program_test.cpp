// The tavro-box program: a scenario reaches a raw host, the audio played is captured, and
// SIGTERM unplugs cleanly.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>

#include "vbox/audio.h"
#include "vbox/raw_wire.h"

extern char** environ;

namespace tavro::vbox {
namespace {

using testing::connectTo;
using testing::Fd;
using testing::packet;
using testing::receive;

// Reads the program's output until a line contains `what`; the text of that line.
std::string waitForLine(int fd, const std::string& what, std::string& seen) {
  for (;;) {
    size_t at = seen.find(what);
    if (at != std::string::npos) {
      size_t end = seen.find('\n', at);
      if (end != std::string::npos) return seen.substr(at, end - at);
    }
    pollfd p{fd, POLLIN, 0};
    char buf[4096];
    ssize_t n = poll(&p, 1, 10000) == 1 ? read(fd, buf, sizeof buf) : -1;
    if (n <= 0) return "";
    seen.append(buf, size_t(n));
  }
}

// Ends the program when a test stops early.
struct Child {
  pid_t pid = -1;
  ~Child() {
    if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
  }
};

TEST(Program, PlaysAScenarioCapturesAndStopsOnSigterm) {
  testing::RuntimeDir dir;
  std::ofstream(dir.path() + "/sc") << "# test\n+0 waitpipes 20\n"
                                    << "+0 call 5551234 name=\"Ann Lee\" date=01020304\n"
                                    << "+0.1 dtmf 5\n";
  std::string capture = dir.path() + "/played.wav";
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::vector<std::string> args = {TAVRO_BOX_PROGRAM,  "--runtime-dir", dir.path(),
                                   "--name",           "e2e",           "--scenario",
                                   dir.path() + "/sc", "--capture",     capture};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Child child;
  ASSERT_EQ(posix_spawn(&child.pid, TAVRO_BOX_PROGRAM, &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  Fd output(out[0]);

  std::string seen;
  std::string device = waitForLine(output.get(), "device ", seen);
  ASSERT_FALSE(device.empty()) << seen;
  std::string path = device.substr(7);
  EXPECT_EQ(path, dir.path() + "/tavro/" + kInterfaceClass + "/e2e");
  auto pipePath = [&](int p) { return path + "\\PIPE0" + std::to_string(p); };
  Fd reply(connectTo(pipePath(0), SOCK_SEQPACKET));
  Fd command(connectTo(pipePath(1), SOCK_SEQPACKET));
  Fd audioIn(connectTo(pipePath(2), SOCK_STREAM));
  Fd audioOut(connectTo(pipePath(3), SOCK_SEQPACKET));

  // The scenario waited for the four pipes, then played its events.
  auto call = callerIdRecord(CallerIdFormat::MultipleData, "5551234", "01020304", "Ann Lee");
  EXPECT_EQ(receive(reply.get()).bytes, std::vector<uint8_t>(call->begin(), call->end()));
  EXPECT_EQ(receive(reply.get()).bytes, packet({7, 5}));

  ASSERT_TRUE(testing::sendBytes(command.get(), packet({9, 1})));
  EXPECT_EQ(receive(reply.get()).bytes, packet({9, 0}));
  ASSERT_TRUE(testing::sendBytes(audioOut.get(), std::vector<uint8_t>(256, 0x42)));
  ASSERT_TRUE(testing::sendBytes(command.get(), packet({9, 0})));
  EXPECT_EQ(receive(reply.get()).bytes, packet({1, 9}));
  EXPECT_FALSE(waitForLine(output.get(), "audio out: stopped (256 bytes", seen).empty()) << seen;

  ASSERT_EQ(kill(child.pid, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child.pid, &status, 0), child.pid);
  child.pid = -1;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(receive(reply.get()).ended);
  struct stat st {};
  EXPECT_NE(stat(path.c_str(), &st), 0);  // unplugged: the socket files are gone
  EXPECT_NE(stat(pipePath(2).c_str(), &st), 0);
  std::string why;
  auto played = readAlawWave(capture, &why);
  ASSERT_TRUE(played) << why;
  EXPECT_EQ(*played, std::vector<uint8_t>(256, 0x42));
}

// Runs the program to its end; its exit status, and what it wrote on both outputs.
int runToEnd(std::vector<std::string> args, std::string& output) {
  int out[2];
  if (pipe(out) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  args.insert(args.begin(), TAVRO_BOX_PROGRAM);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Child child;
  int rc = posix_spawn(&child.pid, TAVRO_BOX_PROGRAM, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  Fd output_(out[0]);
  if (rc != 0) return -1;
  // A program that goes on running fails the test by the deadline, not by hanging it.
  for (;;) {
    pollfd p{output_.get(), POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return -1;
    char buf[4096];
    ssize_t n = read(output_.get(), buf, sizeof buf);
    if (n <= 0) break;  // the program closed its outputs: it has ended
    output.append(buf, size_t(n));
  }
  int status = 0;
  if (waitpid(child.pid, &status, 0) != child.pid) return -1;
  child.pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Program, RefusesAScenarioWithMistakesBeforePublishing) {
  testing::RuntimeDir dir;
  std::string file = dir.path() + "/sc";
  std::ofstream(file) << "+0 ring\n+0 bogus 1\n# fine\n+1 source wave " << dir.path()
                      << "/none.wav\n+0.5 dtmf 5\n";
  std::string output;
  EXPECT_EQ(runToEnd({"--runtime-dir", dir.path(), "--scenario", file}, output), 2) << output;
  EXPECT_NE(output.find(file + ":2: unknown verb 'bogus'"), std::string::npos) << output;
  EXPECT_NE(output.find(file + ":4: source: " + dir.path() + "/none.wav"), std::string::npos)
      << output;
  // Nothing was published: no host could have seen the box.
  EXPECT_EQ(output.find("device "), std::string::npos) << output;
  struct stat st {};
  EXPECT_NE(stat((dir.path() + "/tavro").c_str(), &st), 0);

  output.clear();
  EXPECT_EQ(runToEnd({"--runtime-dir", dir.path(), "--scenario", dir.path() + "/missing"}, output),
            2)
      << output;
  EXPECT_NE(output.find("missing: cannot read the scenario"), std::string::npos) << output;
  output.clear();
  EXPECT_EQ(runToEnd({"--runtime-dir", dir.path(), "--scenario", dir.path()}, output), 2) << output;
  output.clear();
  EXPECT_EQ(runToEnd({"--no-such-option"}, output), 2) << output;
}

}  // namespace
}  // namespace tavro::vbox
