// Several application threads at once: the command round trips queue one behind another,
// nothing is corrupted, and a caller number is never made of two calls.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "device/state.h"
#include "support/conditions.h"
#include "support/runtime_dir.h"
#include "support/test_box.h"
#include "tavro/CKusb_IO.h"
#include "tavro/notice.h"
#include "vbox/virtual_box.h"

namespace tavro {
namespace {

class Concurrency : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = setNoticeHandler([](const std::string&) {});
  }
  void TearDown() override { setNoticeHandler(previous_); }
  test::RuntimeDir runtime_;
  test::TestBox box_;
  NoticeHandler previous_;
};

TEST_F(Concurrency, CommandsFromSeveralThreadsQueueAndAllAreAnswered) {
  CKusb_IO io;
  ASSERT_FALSE(io.GetTelStatus() & kLinkDownBit);
  box_.setFlagsValue(0x1234);
  constexpr int kThreads = 4;
  constexpr int kRounds = 40;
  std::atomic<int> failures{0};
  std::atomic<bool> stop{false};

  // Unsolicited reports arrive all the while.
  std::thread events([&] {
    for (uint8_t i = 0; !stop; ++i) {
      box_.sendDtmf(static_cast<uint8_t>(i % 12 + 1));
      box_.sendTone(3, static_cast<uint16_t>(i));
      // Paced, so that the box's queue holds the answers up only briefly.
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  });

  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        int r = 0;
        switch ((t + i) % 5) {
          case 0:
            r = io.RequestSpaceCode();
            break;
          case 1:
            r = io.IfMute(i & 1);
            break;
          case 2:
            r = io.SetNextCallDelay(static_cast<unsigned char>(i));
            break;
          case 3:
            r = io.DetectRing();
            break;
          case 4:
            r = io.ReaddiFlagsValue() == 0x1234 ? 1 : -9;
            break;
        }
        if (r != 1) ++failures;
        unsigned char code;
        unsigned short report[2];
        io.GetDTMFCode(&code);
        io.Get450HzRecd(report);
      }
    });
  }
  for (auto& c : callers) c.join();
  stop = true;
  events.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_FALSE(io.GetTelStatus() & kPendingBit);
  // Every command reached the box whole.
  size_t commands = 0;
  for (const auto& c : box_.commands()) {
    const uint8_t code = c.packet[0];
    if (code == 14 || code == 17 || code == 23 || code == 26 || code == 24) ++commands;
  }
  EXPECT_EQ(commands, size_t{kThreads * kRounds});
}

TEST_F(Concurrency, ACallerNumberIsNeverMadeOfTwoCalls) {
  CKusb_IO io;
  ASSERT_FALSE(io.GetTelStatus() & kLinkDownBit);
  const std::string first(20, '1');
  const std::string second(20, '2');
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  std::thread calls([&] {
    for (int i = 0; !stop; ++i) {
      box_.sendCallerId(vbox::CallerIdFormat::DigitString, i % 2 ? first : second);
      ++sent;
      std::this_thread::yield();
    }
  });
  int mixed = 0;
  int read = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  const auto giveUp = std::chrono::steady_clock::now() + test::kGenerous;
  for (auto now = std::chrono::steady_clock::now(); (now < deadline || sent < 200) && now < giveUp;
       now = std::chrono::steady_clock::now()) {
    unsigned char number[64] = {};
    if (io.Read_Call_Nmb(number) != 1 || number[0] == 0) continue;
    ++read;
    const std::string got(reinterpret_cast<char*>(number));
    if (got != first && got != second) ++mixed;
  }
  stop = true;
  calls.join();
  EXPECT_GT(read, 0);
  EXPECT_EQ(mixed, 0);
}

}  // namespace
}  // namespace tavro
