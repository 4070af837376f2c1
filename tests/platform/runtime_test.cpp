#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tavro/notice.h"

namespace tavro::platform {
namespace {

using namespace std::chrono_literals;

TEST(ThreadTest, RunsJoinsOnceAndJoinsOnDestruction) {
  std::atomic<int> runs{0};
  {
    Thread t([&] { runs++; }, ThreadPriority::kNormal, 0);
    t.join();
    EXPECT_EQ(runs.load(), 1);
    EXPECT_FALSE(t.joinable());
    t.join();
  }
  std::atomic<bool> finished{false};
  {
    Thread t(
        [&] {
          std::this_thread::sleep_for(20ms);
          finished = true;
        },
        ThreadPriority::kHighest, 0);
    EXPECT_TRUE(t.joinable());
  }
  EXPECT_TRUE(finished.load()) << "the destructor waited for the body";
}

TEST(ThreadTest, SmallStackRequestsGetAUsableStack) {
  // The audio-in thread asks for 10000 bytes, less than the system allows.
  size_t stack = 0;
  int used = 0;
  Thread t(
      [&] {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
          pthread_attr_getstacksize(&attr, &stack);
          pthread_attr_destroy(&attr);
        }
        volatile char scratch[32 * 1024];
        std::memset(const_cast<char*>(scratch), 1, sizeof scratch);
        used = scratch[sizeof scratch - 1];
      },
      ThreadPriority::kHighest, 10000);
  t.join();
  EXPECT_GE(stack, 64u * 1024);
  EXPECT_EQ(used, 1);
}

TEST(ThreadTest, ThreadMayDropItselfWithoutHanging) {
  std::atomic<Thread*> self{nullptr};
  std::atomic<bool> done{false};
  auto* t = new Thread(
      [&] {
        while (self.load() == nullptr) std::this_thread::yield();
        self.load()->join();  // must not wait for itself
        done = true;
      },
      ThreadPriority::kNormal, 0);
  self = t;
  while (!done.load()) std::this_thread::yield();
  EXPECT_FALSE(t->joinable());
  delete t;
}

TEST(TimeTest, ScaleShortensLibraryTime) {
  EXPECT_EQ(timeScale(), 1.0);
  EXPECT_EQ(realDuration(100ms), 100ms);
  setTimeScale(50);
  EXPECT_EQ(realDuration(100ms), 2ms);
  const auto start = Clock::now();
  sleepFor(3000ms);
  const auto slept = Clock::now() - start;
  EXPECT_GE(slept, 60ms);
  EXPECT_LT(slept, 2000ms);
  setTimeScale(0);  // not a speed: back to real time
  EXPECT_EQ(timeScale(), 1.0);
  setTimeScale(1);
}

// Runs fn with standard error captured into a file; returns what was written.
template <typename Fn>
std::string captureStandardError(Fn fn) {
  std::fflush(stderr);
  FILE* file = std::tmpfile();
  const int saved = ::dup(STDERR_FILENO);
  ::dup2(fileno(file), STDERR_FILENO);
  fn();
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  std::string text;
  std::rewind(file);
  char chunk[256];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, n);
  std::fclose(file);
  return text;
}

TEST(NoticeTest, DefaultWritesTheTextAsOneLine) {
  const std::string text = "The line is lost.\nCheck the cable.\nThen press OK.";
  EXPECT_EQ(captureStandardError([&] { showNotice(text); }), "tavro: " + text + "\n");
}

TEST(NoticeTest, CustomHandlerGetsTheTextAndCanBeRemoved) {
  std::vector<std::string> seen;
  EXPECT_FALSE(setNoticeHandler([&](const std::string& text) { seen.push_back(text); }));
  const std::string written = captureStandardError([] {
    showNotice("Receive Error!");
    showNotice("NoUsed 0x02");
  });
  EXPECT_EQ(written, "");
  EXPECT_EQ(seen, (std::vector<std::string>{"Receive Error!", "NoUsed 0x02"}));

  // A handler may replace itself while it runs (the notice lock is not held).
  setNoticeHandler([&](const std::string& text) {
    setNoticeHandler([&](const std::string& later) { seen.push_back("second " + later); });
    seen.push_back("first " + text);
  });
  showNotice("a");
  showNotice("b");
  EXPECT_EQ(seen.back(), "second b");

  EXPECT_TRUE(setNoticeHandler(nullptr));
  EXPECT_EQ(captureStandardError([] { showNotice("x"); }), "tavro: x\n");
}

}  // namespace
}  // namespace tavro::platform
