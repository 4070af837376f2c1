// Ostrel as a program on a real X server: with the link-lost notice open, losing the display
// or an end signal ends it promptly.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/conditions.h"
#include "support/runtime_dir.h"
#include "vbox/virtual_box.h"

extern char** environ;

namespace tavro::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kNextCallDelayCommand = 23;
// A hang is what this catches; the figure itself is printed.
constexpr auto kDeadline = 10s;

pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& env,
            posix_spawn_file_actions_t* actions = nullptr) {
  std::vector<char*> argv, envp;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], actions, nullptr, argv.data(), envp.data()) != 0) return -1;
  return pid;
}

// This process's environment with `overrides` ("NAME=value") in place.
std::vector<std::string> environmentWith(const std::vector<std::string>& overrides) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const auto& o : overrides)
      replaced = replaced || entry.compare(0, o.find('=') + 1, o, 0, o.find('=') + 1) == 0;
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), overrides.begin(), overrides.end());
  return env;
}

// Waits for the end of `pid` up to `limit`; the exit status, or nothing if it still runs.
std::optional<int> awaitEnd(pid_t pid, Clock::duration limit) {
  const auto deadline = Clock::now() + limit;
  int status = 0;
  while (Clock::now() < deadline) {
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    std::this_thread::sleep_for(2ms);
  }
  return std::nullopt;
}

// An X server of its own, on the first free display.
class XServer {
 public:
  XServer() {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ready[1], 3);
    pid_ =
        spawn({XVFB_PROGRAM, "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "800x600x24"},
              environmentWith({}), &actions);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ready[1]);
    // The server writes its display number once it takes connections.
    std::string number;
    char c;
    while (pid_ > 0 && ::read(ready[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(ready[0]);
    if (!number.empty()) display_ = ":" + number;
  }
  ~XServer() { kill(); }
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

// The top-level windows of Ostrel on the display, as the window system lists them.
int ostrelWindows(const std::string& display) {
  const std::string command =
      "DISPLAY=" + display + " " XWININFO_PROGRAM " -root -children 2>/dev/null";
  FILE* out = popen(command.c_str(), "r");
  if (!out) return -1;
  int windows = 0;
  char line[512];
  while (std::fgets(line, sizeof line, out))
    if (std::string(line).find("(\"ostrel\" \"Ostrel\")") != std::string::npos) ++windows;
  pclose(out);
  return windows;
}

class OstrelOnADisplay : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(XVFB_PROGRAM) || !std::filesystem::exists(XWININFO_PROGRAM))
      GTEST_SKIP() << "needs Xvfb and xwininfo (scripts/setup installs them)";
    ASSERT_FALSE(x_.display().empty()) << "the X server did not start";
  }
  void TearDown() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // Whether Ostrel still runs, or how it ended: for the message of a failed wait.
  std::string childState() {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return "it still runs";
    pid_ = -1;
    if (WIFEXITED(status)) return "it exited with status " + std::to_string(WEXITSTATUS(status));
    return "it ended on signal " + std::to_string(WTERMSIG(status));
  }

  // Ostrel up with the line set, then the box gone and its link-lost notice on the screen.
  void startWithTheNoticeOpen() {
    const std::string work = runtime_.path() + "/work";
    std::filesystem::create_directory(work);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, work.c_str());
    pid_ = spawn({OSTREL_PROGRAM},
                 // On a real display Qt's font and bus libraries keep memory to the end
                 // that the leak checker would count against Ostrel's exit status.
                 environmentWith({"DISPLAY=" + x_.display(), "QT_QPA_PLATFORM=xcb",
                                  "XDG_RUNTIME_DIR=" + runtime_.path(),
                                  "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1"}),
                 &actions);
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_GT(pid_, 0);
    ASSERT_TRUE(eventually([&] {
      for (const auto& c : box_.commands())
        if (c.packet[0] == kNextCallDelayCommand) return true;
      return false;
    })) << "Ostrel did not set the line up; "
        << childState();
    ASSERT_TRUE(eventually([&] { return ostrelWindows(x_.display()) == 1; }));
    box_.unplug();
    ASSERT_TRUE(eventually([&] { return ostrelWindows(x_.display()) == 2; }))
        << "the link-lost notice did not open";
  }

  // Sends `signal` and expects the program to end within the deadline of `start`; prints
  // the figure.
  void expectEndOn(int signal, const char* what, Clock::time_point start = Clock::now()) {
    ::kill(pid_, signal);
    const std::optional<int> status = awaitEnd(pid_, kDeadline);
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    ASSERT_TRUE(status) << "Ostrel still ran " << took << " s after " << what;
    pid_ = -1;
    std::printf("Ostrel ended %.3f s after %s\n", took, what);
    RecordProperty("seconds_to_end", std::to_string(took));
    EXPECT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
  }

  RuntimeDir runtime_;
  vbox::VirtualBox box_;
  XServer x_;
  pid_t pid_ = -1;
};

TEST_F(OstrelOnADisplay, EndsPromptlyWhenTheDisplayGoesAndTermFollows) {
  startWithTheNoticeOpen();
  const auto start = Clock::now();
  x_.kill();
  expectEndOn(SIGTERM, "the display went and SIGTERM", start);
}

TEST_F(OstrelOnADisplay, EndsPromptlyOnSigint) {
  startWithTheNoticeOpen();
  expectEndOn(SIGINT, "SIGINT");
}

}  // namespace
}  // namespace tavro::test
