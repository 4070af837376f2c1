// Notices: delivered from their own thread, repeats dropped, the output never waited for.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "library/context.h"
#include "platform/platform.h"
#include "support/conditions.h"
#include "support/scaled_time.h"
#include "support/standard_error.h"
#include "tavro/events.h"
#include "tavro/notice.h"

namespace tavro::platform {
namespace {

using namespace std::chrono_literals;
using test::eventually;

constexpr auto kDelivered = 20s;

// Standard error goes to `fd` for the life of the object.
using test::makeFullPipe;
using test::readAll;
using test::StandardErrorTo;

// A handler that records what it gets, with its count, and, while held, does not return.
class HeldHandler {
 public:
  HeldHandler() {
    previous_ = setNoticeHandler([this](const std::string& text) {
      std::unique_lock<std::mutex> lock(mutex_);
      seen_.push_back(text);
      counts_[text] += tavro_notice_count();
      onRaisingThread_ = onRaisingThread_ || std::this_thread::get_id() == raiser_;
      let_.wait(lock, [&] { return !held_; });
    });
  }
  ~HeldHandler() {
    let();
    setNoticeHandler(std::move(previous_));
  }
  void hold() {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = true;
  }
  void let() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      held_ = false;
    }
    let_.notify_all();
  }
  std::vector<std::string> seen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }
  // How many raises of `text` the calls stood for.
  int counted(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = counts_.find(text);
    return it == counts_.end() ? 0 : it->second;
  }
  bool ranOnRaisingThread() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return onRaisingThread_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable let_;
  bool held_ = false;
  bool onRaisingThread_ = false;
  std::thread::id raiser_ = std::this_thread::get_id();
  std::vector<std::string> seen_;
  std::map<std::string, int> counts_;
  NoticeHandler previous_;
};

TEST(Notices, DefaultWritesOneLineToAFileAndToAPipe) {
  const std::string text = "The line is lost.\nCheck the cable.\nThen press OK.";
  FILE* file = std::tmpfile();
  {
    StandardErrorTo to(fileno(file));
    showNotice(text);
    ASSERT_TRUE(awaitNoticesDelivered(kDelivered));
  }
  std::rewind(file);
  EXPECT_EQ(readAll(fileno(file)), "tavro: " + text + "\n");
  std::fclose(file);

  int pipe[2];
  ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
  {
    StandardErrorTo to(pipe[1]);
    showNotice("NoUsed 0x02");
    ASSERT_TRUE(awaitNoticesDelivered(kDelivered));
  }
  ::close(pipe[1]);
  EXPECT_EQ(readAll(pipe[0]), "tavro: NoUsed 0x02\n");
  ::close(pipe[0]);
}

// The handler for C gets the code with the library's text and its pointer, and standard
// error gets nothing while it is installed; null brings the default back.
TEST(Notices, AHandlerForCTakesTheCodeTheTextAndItsPointer) {
  struct Seen {
    std::mutex mutex;
    std::vector<std::pair<int, std::string>> notices;
  } seen;
  auto handler = [](int code, const char* text, void* user) {
    auto* s = static_cast<Seen*>(user);
    std::lock_guard<std::mutex> lock(s->mutex);
    s->notices.emplace_back(code, text);
  };
  ASSERT_TRUE(stopNotices(kDelivered));  // the notices of earlier tests are not repeated
  int pipe[2];
  ASSERT_EQ(::pipe2(pipe, O_CLOEXEC | O_NONBLOCK), 0);
  {
    StandardErrorTo to(pipe[1]);
    EXPECT_EQ(tavro_set_notice_handler(handler, &seen), 1);
    showNotice("NoUsed 0x02");
    showNotice("not one of the library's");
    ASSERT_TRUE(awaitNoticesDelivered(kDelivered));
    EXPECT_EQ(tavro_set_notice_handler(nullptr, nullptr), 1);
    showNotice("Receive Error!");
    ASSERT_TRUE(awaitNoticesDelivered(kDelivered));
  }
  ::close(pipe[1]);
  EXPECT_EQ(readAll(pipe[0]), "tavro: Receive Error!\n");
  ::close(pipe[0]);
  const std::vector<std::pair<int, std::string>> expected{{TAVRO_NOTICE_NO_USED, "NoUsed 0x02"},
                                                          {0, "not one of the library's"}};
  EXPECT_EQ(seen.notices, expected);
}

TEST(Notices, DefaultDropsWhatAFullPipeCannotTake) {
  int pipe[2];
  ASSERT_TRUE(makeFullPipe(pipe));
  bool delivered = false;
  {
    StandardErrorTo to(pipe[1]);
    showNotice("Receive Error!");
    delivered = awaitNoticesDelivered(kDelivered);
    if (!delivered) {  // blocked in the write: let it end before the pipe goes
      std::string drained = readAll(pipe[0]);
      awaitNoticesDelivered(kDelivered);
    }
  }
  EXPECT_TRUE(delivered) << "the notice waited for the pipe";
  ::close(pipe[1]);
  std::string left = readAll(pipe[0]);
  EXPECT_EQ(left.find("tavro:"), std::string::npos);
  ::close(pipe[0]);
}

// Library time runs this much faster in the tests of repeats: the second within which
// repeats are folded passes in a fifth of a real one.
constexpr double kFoldScale = 5;

// The most calls (or lines) that repeats raised over `took` may cost: the first, one a
// (library) second while they came, and one when they have ended.
size_t foldedAtMost(std::chrono::steady_clock::duration took) {
  return 2 + static_cast<size_t>(std::chrono::duration<double>(took).count() * kFoldScale) + 1;
}

TEST(Notices, RaisingNeverWaitsAndRepeatsComeOnceASecondWithTheirCount) {
  test::ScaledTime fast(kFoldScale);
  HeldHandler handler;
  handler.hold();
  showNotice("Receive Error!");
  ASSERT_TRUE(eventually([&] { return handler.seen().size() == 1; }));
  // While it shows, its repeats and those of another notice are counted.
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 1000; ++i) {
    showNotice("Receive Error!");
    showNotice("NoUsed 0x02");
  }
  EXPECT_FALSE(awaitNoticesDelivered(0ms));
  handler.let();
  ASSERT_TRUE(awaitNoticesDelivered(kDelivered));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(handler.counted("Receive Error!"), 1001);
  EXPECT_EQ(handler.counted("NoUsed 0x02"), 1000);
  EXPECT_LE(handler.seen().size(), 2 * foldedAtMost(took));
  EXPECT_FALSE(handler.ranOnRaisingThread());
  EXPECT_EQ(tavro_notice_count(), 0) << "outside a handler";

  // Later, the same notice comes again, once.
  const size_t before = handler.seen().size();
  showNotice("Receive Error!");
  ASSERT_TRUE(awaitNoticesDelivered(kDelivered));
  EXPECT_EQ(handler.seen().size(), before + 1);
  EXPECT_EQ(handler.counted("Receive Error!"), 1002);
}

// A box that repeats a record without end: the default output gets a line a second with
// the count, and the notice events (the observer) come with the lines.
TEST(Notices, AFloodOfOneNoticeWritesALineASecondWithItsCount) {
  test::ScaledTime fast(kFoldScale);
  static std::atomic<int> observed{0};
  static AreaHooks spy = kAreaHooks;
  spy.publish = [](tavro_event& e) { observed += e.kind == TAVRO_EVENT_NOTICE ? 1 : 0; };
  context().hooks.store(&spy);
  int pipe[2];
  ASSERT_EQ(::pipe2(pipe, O_CLOEXEC | O_NONBLOCK), 0);
  constexpr int kRaises = 20000;
  std::chrono::steady_clock::duration took{};
  {
    StandardErrorTo to(pipe[1]);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kRaises; ++i) showNotice("NoUsed 0x02");
    ASSERT_TRUE(awaitNoticesDelivered(kDelivered));
    took = std::chrono::steady_clock::now() - start;
  }
  context().hooks.store(&kAreaHooks);
  ::close(pipe[1]);
  const std::string out = readAll(pipe[0]);
  ::close(pipe[0]);
  size_t lines = 0;
  long counted = 0;
  for (size_t at = 0; at < out.size();) {
    const size_t end = out.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    const std::string line = out.substr(at, end - at);
    at = end + 1;
    ++lines;
    long times = 1;
    ASSERT_TRUE(line == "tavro: NoUsed 0x02" ||
                std::sscanf(line.c_str(), "tavro: NoUsed 0x02 (%ld times)", &times) == 1)
        << line;
    counted += times;
  }
  EXPECT_EQ(counted, kRaises) << out;
  EXPECT_LE(lines, foldedAtMost(took)) << out;
  EXPECT_EQ(observed.load(), static_cast<int>(lines));
}

TEST(Notices, AHandlerMayReplaceItselfAndTheOldOneIsDoneWhenReplaced) {
  std::vector<std::string> seen;
  const NoticeHandler previous = setNoticeHandler([&](const std::string& text) {
    setNoticeHandler([&](const std::string& later) { seen.push_back("second " + later); });
    seen.push_back("first " + text);
  });
  showNotice("a");
  ASSERT_TRUE(awaitNoticesDelivered(kDelivered));
  showNotice("b");
  ASSERT_TRUE(awaitNoticesDelivered(kDelivered));
  EXPECT_EQ(seen, (std::vector<std::string>{"first a", "second b"}));

  // Replacing a handler that is running returns once it has returned.
  std::atomic<bool> inside{false}, returned{false};
  std::promise<void> go;
  std::shared_future<void> letGo = go.get_future().share();
  setNoticeHandler([&](const std::string&) {
    inside = true;
    letGo.wait();
    returned = true;
  });
  showNotice("c");
  ASSERT_TRUE(eventually([&] { return inside.load(); }));
  std::thread replacer([&] {
    setNoticeHandler(previous);
    EXPECT_TRUE(returned.load());
  });
  go.set_value();
  replacer.join();
}

TEST(Notices, StopLeavesAHandlerThatDoesNotReturnAndANewThreadTakesOver) {
  std::atomic<int> stuck{0};
  std::promise<void> go;
  std::shared_future<void> letGo = go.get_future().share();
  const NoticeHandler previous = setNoticeHandler([&, letGo](const std::string&) {
    ++stuck;
    letGo.wait();
  });
  showNotice("In StopReadSound Error!");
  ASSERT_TRUE(eventually([&] { return stuck.load() == 1; }));
  showNotice("NoUsed 0x02");  // waits behind it, and goes with the stop
  EXPECT_FALSE(stopNotices(50ms));

  // The handler left behind is not waited for; later notices get a thread of their own.
  std::atomic<int> later{0};
  setNoticeHandler([&](const std::string&) { ++later; });
  showNotice("Receive Error!");
  ASSERT_TRUE(awaitNoticesDelivered(kDelivered));
  EXPECT_EQ(later.load(), 1);
  EXPECT_EQ(stuck.load(), 1);
  EXPECT_TRUE(stopNotices(1000ms));

  go.set_value();  // the old thread ends by itself
  setNoticeHandler(previous);
}

// The sanitizers and a forked child of a process with threads: the thread sanitizer ends
// it when it starts a thread; the leak check at its exit takes what only the parent's
// threads hold (their stacks are not in the child) for leaks, so it ends by _exit() there
// (the other builds test its exit).
#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadsAfterFork = false, kExitChecksLeaks = false;
#elif defined(__SANITIZE_ADDRESS__)
constexpr bool kThreadsAfterFork = true, kExitChecksLeaks = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kThreadsAfterFork = false, kExitChecksLeaks = false;
#elif __has_feature(address_sanitizer)
constexpr bool kThreadsAfterFork = true, kExitChecksLeaks = true;
#else
constexpr bool kThreadsAfterFork = true, kExitChecksLeaks = false;
#endif
#else
constexpr bool kThreadsAfterFork = true, kExitChecksLeaks = false;
#endif

// A child forked while the delivery thread lingers has no such thread: it shows its own
// notices on a thread of its own, and its exit does not wait for the parent's.
TEST(Notices, AForkedChildShowsItsOwnAndEndsAtOnce) {
  int pipe[2];
  ASSERT_EQ(::pipe2(pipe, O_CLOEXEC | O_NONBLOCK), 0);
  int code = -1;
  {
    StandardErrorTo to(pipe[1]);
    showNotice("Receive Error!");
    ASSERT_TRUE(awaitNoticesDelivered(kDelivered));  // the thread lingers on a while
    const pid_t child = ::fork();
    if (child == 0) {
      if (kThreadsAfterFork) showNotice("NoUsed 0x02");
      const int code = awaitNoticesDelivered(kDelivered) ? 0 : 3;
      if (kExitChecksLeaks) ::_exit(code);
      std::exit(code);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    if (!eventually([&] { return ::waitpid(child, &status, WNOHANG) == child; })) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
    }
    code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  ::close(pipe[1]);
  EXPECT_EQ(code, 0) << "-1: the child hung at its exit";
  EXPECT_EQ(readAll(pipe[0]), kThreadsAfterFork ? "tavro: Receive Error!\ntavro: NoUsed 0x02\n"
                                                : "tavro: Receive Error!\n");
  ::close(pipe[0]);
}

}  // namespace
}  // namespace tavro::platform
