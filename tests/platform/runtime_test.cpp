#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/platform.h"

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

}  // namespace
}  // namespace tavro::platform
