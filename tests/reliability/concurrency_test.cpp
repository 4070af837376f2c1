// Several application threads at once: the command round trips queue one behind another,
// nothing is corrupted, a caller number is never made of two calls, and every operation
// may be called from any thread while the others run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "device/state.h"
#include "support/conditions.h"
#include "support/link.h"
#include "support/runtime_dir.h"
#include "support/test_box.h"
#include "tavro/CKusb_IO.h"
#include "tavro/events.h"
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
  ASSERT_TRUE(test::waitForLink(io));
  box_.setFlagsValue(0x1234);
  constexpr int kThreads = 4;
  constexpr int kRounds = 40;
  std::atomic<int> failures{0};
  std::atomic<bool> stop{false};

  // Unsolicited reports arrive all the while.
  std::thread events([&] {
    // Paced, so that the box's queue holds the answers up only briefly. The emulated USB
    // box serves every record through several calls into the test process: it carries
    // fewer records a second than the virtual wire.
    const auto pace = std::chrono::microseconds(test::overUsb() ? 5000 : 500);
    for (uint8_t i = 0; !stop; ++i) {
      box_.sendDtmf(static_cast<uint8_t>(i % 12 + 1));
      box_.sendTone(3, static_cast<uint16_t>(i));
      std::this_thread::sleep_for(pace);
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
  ASSERT_TRUE(test::waitForLink(io));
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

// Every kind of operation from its own thread for ten seconds, while the box sends calls,
// digits and tones and a callback runs operations of its own: each result is one that the
// header documents for it, and the library stops promptly afterwards. Under ThreadSanitizer
// this is the check that nothing is shared without synchronisation.
TEST_F(Concurrency, EveryOperationFromEveryThreadAtOnce) {
  auto* io = new CKusb_IO;
  ASSERT_TRUE(test::waitForLink(*io));
  const std::string wave = runtime_.path() + "/stress.wav";
  std::atomic<bool> stop{false};
  std::mutex unexpectedMutex;
  std::set<std::string> unexpected;
  auto expectIn = [&](const char* what, int result, std::initializer_list<int> allowed) {
    for (int a : allowed)
      if (a == result) return;
    std::lock_guard<std::mutex> lock(unexpectedMutex);
    unexpected.insert(std::string(what) + " " + std::to_string(result));
  };
  std::atomic<int> callbacks{0};
  struct Context {
    std::atomic<int>* callbacks;
  } context{&callbacks};
  ASSERT_EQ(tavro_events_set_callback(
                io,
                [](CKusb_IO* self, const tavro_event*, void* user) {
                  // A callback may call any operation, a round trip too.
                  self->AckTelStatus(kReply3Bit);
                  if (self->GetTelStatus() & kLinkDownBit) return;
                  ++*static_cast<Context*>(user)->callbacks;
                },
                &context),
            1);

  std::vector<std::function<void()>> jobs = {
      [&] {  // the box: a line that keeps happening
        for (int i = 0; !stop; ++i) {
          if (i % 10 == 0) box_.sendCallerId(vbox::CallerIdFormat::DigitString, "5551234");
          box_.sendDtmf(static_cast<uint8_t>(i % 12 + 1));
          box_.sendTone(3, static_cast<uint16_t>(i));
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
      },
      [&] {  // line control
        for (int i = 0; !stop; ++i) {
          expectIn("PickUp", io->PickUp(), {1});
          expectIn("IfMute", io->IfMute(i & 1), {1});
          expectIn("DialNmb", io->DialNmb("12#"), {1});
          expectIn("PutDown", io->PutDown(), {1});
        }
      },
      [&] {  // other round trips and a raw send
        unsigned char packet[64] = {14};
        for (int i = 0; !stop; ++i) {
          expectIn("RequestSpaceCode", io->RequestSpaceCode(), {1});
          expectIn("SetNextCallDelay", io->SetNextCallDelay(static_cast<unsigned char>(i)), {1});
          expectIn("Write_Data_to_USB", io->Write_Data_to_USB(packet), {1});
          expectIn("ReaddiFlagsValue", io->ReaddiFlagsValue() >= 0 ? 1 : 0, {1});
        }
      },
      [&] {  // the status word and what the reports left
        for (; !stop;) {
          unsigned char number[64] = {};
          unsigned char code = 0;
          unsigned short report[2] = {};
          tavro_caller_id id;
          io->AckTelStatus(kToneBit);
          expectIn("Read_Call_Nmb", io->Read_Call_Nmb(number), {1, -2});
          expectIn("tavro_read_caller_id", tavro_read_caller_id(io, &id), {0, 1});
          expectIn("GetDTMFCode", io->GetDTMFCode(&code), {1, -4});
          expectIn("Get450HzRecd", io->Get450HzRecd(report), {1, -2});
          expectIn("DetectRing", io->DetectRing(), {1});
          io->SetTelStatus(io->GetTelStatus());
          std::this_thread::yield();
        }
      },
      [&] {  // events taken while the callback also runs
        tavro_event e;
        while (!stop) expectIn("tavro_event_wait", tavro_event_wait(io, &e, 50), {0, 1});
      },
      [&] {  // recordings
        for (; !stop;) {
          // On a loaded machine a stop may pass its 6 s limit (-3, the file still whole);
          // the next start then finds the recorder still finishing (-6).
          expectIn("StartReadSound", io->StartReadSound(wave.c_str(), 1), {1, -6});
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          const int bytes = io->StopReadSound();
          expectIn("StopReadSound", bytes >= 48 ? 1 : bytes, {1, -3});
        }
      },
  };
  std::vector<std::thread> threads;
  for (auto& job : jobs) threads.emplace_back(job);
  // The length of the run, not a wait for something.
  std::this_thread::sleep_for(std::chrono::seconds(10));
  stop = true;
  for (auto& t : threads) t.join();
  EXPECT_TRUE(unexpected.empty()) << [&] {
    std::string all;
    for (const auto& u : unexpected) all += u + "; ";
    return all;
  }();
  EXPECT_GT(callbacks.load(), 0);
  EXPECT_EQ(tavro_close(io), 1);
}

}  // namespace
}  // namespace tavro
