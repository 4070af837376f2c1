// State items that wake their waiters, and batches of changes that waiters see whole.
#include "device/signalled.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#include "device/wait.h"

namespace tavro {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// A wait of one long period ends as soon as the item changes: the change itself signals.
TEST(Signalled, EveryKindOfChangeWakesAWaiter) {
  Signalled<uint32_t> item{0};
  auto change = [&](auto how) {
    const uint32_t before = item.load();
    const auto start = steady_clock::now();
    std::thread writer([&] {
      std::this_thread::sleep_for(milliseconds(20));
      how();
    });
    const bool seen = waitFor([&] { return item.load() != before; }, milliseconds(30000), 1);
    writer.join();
    EXPECT_TRUE(seen);
    EXPECT_LT(steady_clock::now() - start, milliseconds(10000));
  };
  change([&] { item.store(1); });
  change([&] { item.fetch_or(0x10); });
  change([&] { item.fetch_and(~0x10u); });
  change([&] { item.fetch_add(2); });
  change([&] { item.fetch_sub(1); });
  change([&] { item.exchange(7); });
  change([&] { item.update([](uint32_t v) { return v * 3; }); });
  change([&] {
    uint32_t expected = item.load();
    item.compare_exchange_strong(expected, 99);
  });
  EXPECT_EQ(item.load(), 99u);
}

// A waiter looks either before a batch or after it, never in between.
TEST(SignalBatch, WaitersNeverSeeHalfOfABatch) {
  Signalled<uint32_t> count{0};
  Signalled<uint8_t> down{0};
  constexpr uint32_t kRounds = 5000;
  std::thread writer([&] {
    for (uint32_t i = 1; i <= kRounds; ++i) {
      SignalBatch batch;
      count.store(i);
      down.store(i % 2);
      SignalBatch nested;  // batches nest: the outer one decides
      count.store(i);
    }
  });
  int halves = 0;
  waitFor(
      [&] {
        if (down.load() != count.load() % 2) ++halves;
        return count.load() == kRounds;
      },
      milliseconds(1), kNoLimit);
  writer.join();
  EXPECT_EQ(halves, 0);
}

// A condition that takes a turn changes an item itself, with the primitive's lock held; the
// one who gives the turn back wakes the next taker.
TEST(SignalBatch, TurnsTakenInsideAWaitPassFromThreadToThread) {
  Signalled<uint8_t> busy{0};
  Signalled<uint32_t> done{0};
  auto worker = [&] {
    for (int i = 0; i < 200; ++i) {
      waitFor(
          [&] {
            uint8_t expected = 0;
            return busy.compare_exchange_strong(expected, 1);
          },
          milliseconds(30000), kNoLimit);
      done.fetch_add(1);
      busy.store(0);
    }
  };
  std::thread a(worker), b(worker);
  a.join();
  b.join();
  EXPECT_EQ(done.load(), 400u);
}

// A thread that waits on `done` for up to 30 s, started once the test has said what it
// reads; join() tells whether `done` held, and wakeups() how often the wait woke.
class Waiter {
 public:
  explicit Waiter(std::function<bool()> done)
      : before_(waitWakeups()),
        thread_([this, done] { held_ = waitFor(done, milliseconds(30000), 1); }) {}
  bool join() {
    thread_.join();
    return held_;
  }
  uint64_t wakeups() const { return waitWakeups() - before_; }

 private:
  uint64_t before_;
  bool held_ = false;
  std::thread thread_;
};

bool waitedOn(const SignalledItem& item) {
  const auto until = steady_clock::now() + milliseconds(10000);
  while (waitsReading(item) == 0 && steady_clock::now() < until) std::this_thread::yield();
  return waitsReading(item) != 0;
}

// Changes of an item the condition does not read wake nobody; the one it reads does.
TEST(WaitReads, AChangeNoWaitReadsWakesNobody) {
  Signalled<uint8_t> awaited{0};
  Signalled<uint32_t> other{0};
  Waiter waiter([&] { return awaited.load() == 1; });
  ASSERT_TRUE(waitedOn(awaited));
  EXPECT_EQ(waitsReading(other), 0u);
  for (int i = 0; i < 200; ++i) {
    other.fetch_add(1);
    std::this_thread::yield();
  }
  awaited.store(1);
  EXPECT_TRUE(waiter.join());
  EXPECT_EQ(waiter.wakeups(), 1u);
}

// The second operand of `a || b` is read while `a` is false, and so wakes the wait; an item
// read inside a helper counts as any other.
TEST(WaitReads, EveryItemALookReadsWakesTheWait) {
  Signalled<uint8_t> a{0};
  Signalled<uint8_t> b{0};
  Waiter either([&] { return a.load() == 1 || b.load() == 1; });
  ASSERT_TRUE(waitedOn(b));
  b.store(1);
  EXPECT_TRUE(either.join());

  Signalled<uint32_t> deep{0};
  auto helper = [&] { return deep.load() > 2; };
  Waiter throughHelper([&] { return a.load() == 0 && helper(); });
  ASSERT_TRUE(waitedOn(deep));
  deep.store(3);
  EXPECT_TRUE(throughHelper.join());
}

// A batch that changes three items a wait reads wakes it once, and it sees all three.
TEST(WaitReads, ABatchWakesEachWaiterOnceWithAllItsChanges) {
  Signalled<uint8_t> a{0}, b{0}, c{0};
  int halves = 0;
  Waiter waiter([&] {
    const int sum = a.load() + b.load() + c.load();
    if (sum != 0 && sum != 3) ++halves;
    return sum == 3;
  });
  ASSERT_TRUE(waitedOn(c));
  {
    SignalBatch batch;
    a.store(1);
    b.store(1);
    c.store(1);
  }
  EXPECT_TRUE(waiter.join());
  EXPECT_EQ(waiter.wakeups(), 1u);
  EXPECT_EQ(halves, 0);
  EXPECT_EQ(waitsReading(a), 0u);  // the wait left no registration behind
}

}  // namespace
}  // namespace tavro
