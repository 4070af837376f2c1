// Clearing handled status bits while the library sets others: no bit is lost.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "device/state.h"
#include "device/wait.h"
#include "support/box_fixture.h"
#include "support/conditions.h"

namespace tavro {
namespace {

using std::chrono::milliseconds;

class Acknowledge : public test::LineFixture {};

// The library's way of setting a bit (one atomic or, as the reply reader does) at full
// speed, against one thread taking that bit and another acknowledging the tone bit. Every
// set that found the bit clear must be taken exactly once: a clear that rewrote the whole
// word (SetTelStatus(GetTelStatus() & ~kToneBit)) drops some and brings taken ones back.
TEST_F(Acknowledge, AcknowledgingOneBitNeverLosesAnotherBeingSet) {
  constexpr int kFresh = 5000;
  std::atomic<bool> done{false};
  int fresh = 0;
  int taken = 0;
  std::thread library([&] {
    const auto deadline = std::chrono::steady_clock::now() + test::kGenerous;
    while (fresh < kFresh && std::chrono::steady_clock::now() < deadline) {
      const uint32_t old = linkState().statusWord.fetch_or(kReply3Bit | kToneBit);
      if (!(old & kReply3Bit)) ++fresh;
    }
    done = true;
  });
  // The application's tone handler: it sees the bit, handles the tone, clears the bit.
  std::thread clearer([&] {
    while (!done) {
      if (!(io_.GetTelStatus() & kToneBit)) continue;
      std::this_thread::yield();
      io_.AckTelStatus(kToneBit);
    }
  });
  while (!done) {
    if (io_.AckTelStatus(kReply3Bit) & kReply3Bit) ++taken;
  }
  library.join();
  clearer.join();
  if (io_.AckTelStatus(kReply3Bit) & kReply3Bit) ++taken;
  EXPECT_EQ(taken, fresh);
  EXPECT_EQ(fresh, kFresh);
}

// The box rings 300 times, each ring once the one before has been taken; the application
// takes each ring bit with AckTelStatus while a second thread keeps acknowledging the tone
// bit. A clear that rewrote the whole word (SetTelStatus(GetTelStatus() & ~bit)) drops a
// ring set between its read and its write, and the count falls short.
TEST_F(Acknowledge, ASecondThreadClearingOtherBitsLosesNoRing) {
  constexpr int kRings = 300;
  std::atomic<bool> done{false};
  std::atomic<int> taken{0};
  std::atomic<int> lost{0};

  std::thread consumer([&] {
    while (!done) {
      waitFor([&] { return done || statusHas(kReply3Bit); }, milliseconds(100), 1);
      if (io_.AckTelStatus(kReply3Bit) & kReply3Bit) ++taken;
    }
  });
  std::thread clearer([&] {
    while (!done) {
      io_.AckTelStatus(kToneBit);
      std::this_thread::yield();
    }
  });
  for (int i = 0; i < kRings; ++i) {
    ASSERT_TRUE(box_.sendTone(3, 300));
    ASSERT_TRUE(box_.sendRing());
    if (!test::eventually([&] { return taken >= i + 1; }, std::chrono::seconds(5))) {
      ++lost;
      taken = i + 1;
    }
  }
  done = true;
  consumer.join();
  clearer.join();
  EXPECT_EQ(lost.load(), 0);
  EXPECT_EQ(taken.load(), kRings);
}

TEST_F(Acknowledge, ReturnsTheBitsItClearedAndNeverTheLinkDownBit) {
  setStatusBits(kCallerNumberBit | kToneBit);
  EXPECT_EQ(io_.AckTelStatus(kCallerNumberBit | kReply6Bit | kLinkDownBit), kCallerNumberBit);
  EXPECT_TRUE(statusHas(kToneBit));
  EXPECT_FALSE(statusHas(kCallerNumberBit));
  EXPECT_EQ(io_.AckTelStatus(kCallerNumberBit), 0u);
  setStatusBits(kLinkDownBit);
  EXPECT_EQ(io_.AckTelStatus(0xFFFFFFFF) & kLinkDownBit, 0u);
  EXPECT_TRUE(linkDown()) << "the link-down bit belongs to the link";
  clearStatusBits(kLinkDownBit);
}

}  // namespace
}  // namespace tavro
