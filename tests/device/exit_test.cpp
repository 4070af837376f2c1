// Programs that end while a library object is alive: exit() and a return from main end the
// process promptly, with no box, with a box, with a silent box and during a recording; a
// child that a program forks ends without touching the program's library.
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "support/runtime_dir.h"
#include "vbox/virtual_box.h"

extern char** environ;

namespace tavro::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A hang is what this catches; a deadline this long still fails at once.
constexpr auto kDeadline = 30s;
// How long a prompt exit may take, generous for the sanitizer builds on a busy machine.
constexpr auto kPrompt = 10s;

struct Ending {
  bool ended = false;
  int code = -1;  // exit code, or -signal
  Clock::duration took{};
};

// Runs the helper program and waits for its end, up to the deadline (then kills it).
Ending runHelper(std::vector<std::string> args) {
  args.insert(args.begin(), TAVRO_EXIT_HELPER);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Ending e;
  pid_t pid = -1;
  const auto start = Clock::now();
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return e;
  int status = 0;
  for (;;) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (Clock::now() - start > kDeadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      e.took = Clock::now() - start;
      return e;
    }
    std::this_thread::sleep_for(5ms);
  }
  e.took = Clock::now() - start;
  e.ended = true;
  e.code = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  return e;
}

void expectPromptEnd(const Ending& e) {
  ASSERT_TRUE(e.ended) << "the program still ran after the deadline";
  EXPECT_EQ(e.code, 0);
  EXPECT_LT(e.took, kPrompt) << std::chrono::duration<double>(e.took).count() << " s";
}

std::vector<uint8_t> readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t{b[at + 3]} << 24;
}

TEST(ExitWithLiveObject, NoBox) {
  RuntimeDir runtime;
  expectPromptEnd(runHelper({"idle"}));
}

TEST(ExitWithLiveObject, WithABoxByExitByReturnAndByAGlobalObject) {
  RuntimeDir runtime;
  vbox::VirtualBox box;
  for (const char* mode : {"idle", "link", "return", "global"}) {
    SCOPED_TRACE(mode);
    expectPromptEnd(runHelper({mode}));
    // The box saw the program go: its pipes are free for the next one.
    EXPECT_TRUE(box.waitForPipesClosed(10s));
  }
}

TEST(ExitWithLiveObject, SilentBox) {
  RuntimeDir runtime;
  vbox::VirtualBox box;
  box.setSilent(true);
  for (const char* mode : {"link", "busy", "global"}) {
    SCOPED_TRACE(mode);
    expectPromptEnd(runHelper({mode}));
    EXPECT_TRUE(box.waitForPipesClosed(10s));
  }
}

// The wave file's audio (what follows the 48-byte header), checked against its header.
uint32_t wholeAudio(const std::vector<uint8_t>& bytes, uint32_t atLeast) {
  EXPECT_GE(bytes.size(), 48u + atLeast);
  if (bytes.size() < 48u + atLeast) return 0;
  const uint32_t audio = static_cast<uint32_t>(bytes.size() - 48);
  EXPECT_EQ(audio % 500, 0u);
  EXPECT_EQ(le32(bytes, 4), audio + 40);
  EXPECT_EQ(le32(bytes, 44), audio);
  return audio;
}

// Objects bound to their own boxes: the exit ends the recording of each.
TEST(ExitWithLiveObject, EveryBoundObjectsRecordingIsFinishedToo) {
  RuntimeDir runtime;
  vbox::VirtualBox first({.name = "first"}), second({.name = "second"});
  first.setAudioPace(8);
  second.setAudioPace(8);
  const std::string file = runtime.path() + "/bound.wav";
  expectPromptEnd(runHelper({"bound", file, first.devicePath(), second.devicePath()}));
  for (const char* n : {".0", ".1"}) {
    SCOPED_TRACE(n);
    EXPECT_GT(wholeAudio(readBytes(file + n), 4 * 500), 0u);
  }
}

TEST(ExitWithLiveObject, DuringARecordingTheFileKeepsItsAudioUnderAValidHeader) {
  RuntimeDir runtime;
  vbox::VirtualBox box;
  box.setAudioPace(8);
  const std::string file = runtime.path() + "/exit.wav";
  expectPromptEnd(runHelper({"record", file}));

  const std::vector<uint8_t> bytes = readBytes(file);
  const uint32_t audio = wholeAudio(bytes, 4 * 500);
  ASSERT_GT(audio, 0u);
  for (size_t i = 48; i < bytes.size(); ++i) ASSERT_EQ(bytes[i], vbox::kAlawSilence) << i;

  SF_INFO info{};
  SNDFILE* f = sf_open(file.c_str(), SFM_READ, &info);
  ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
  EXPECT_EQ(info.frames, audio);
  EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_ALAW);
  sf_close(f);
}

// Children that end by exit() or run another program leave the parent's link and recording
// alone (the helper checks its link, notices and recording; see exit_helper.cpp's codes).
TEST(ExitWithLiveObject, AForkedChildsEndLeavesTheParentsLibraryAlone) {
  RuntimeDir runtime;
  vbox::VirtualBox box;
  box.setAudioPace(8);
  const std::string file = runtime.path() + "/parent.wav";
  expectPromptEnd(runHelper({"fork", file}));
  wholeAudio(readBytes(file), 16 * 500);
  EXPECT_TRUE(box.waitForPipesClosed(10s));
}

}  // namespace
}  // namespace tavro::test
