// A reply storm: the box sends 10,000 unsolicited records a second, of every type, while
// the application dials, reads caller numbers, takes events and records. No command fails,
// no audio frame is lost, no event is lost or out of order (but those an overflow counts),
// memory stays bounded.
//
//   TAVRO_STORM_SECONDS  how long the storm lasts (default 3)
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "device/state.h"
#include "support/conditions.h"
#include "support/link.h"
#include "support/runtime_dir.h"
#include "support/standard_error.h"
#include "support/test_box.h"
#include "tavro/CKusb_IO.h"
#include "tavro/events.h"
#include "tavro/notice.h"
#include "vbox/audio.h"
#include "vbox/virtual_box.h"

namespace tavro {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

long residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

// Records of every type the box may send unasked. Status items and hook reports leave the
// hook alone (kind 2), so that the dialling is not refused for a hang-up.
std::vector<vbox::Record> stormRecords() {
  std::vector<vbox::Record> r;
  for (std::initializer_list<uint8_t> head : {std::initializer_list<uint8_t>{0},
                                              {1, 9},
                                              {2, 1},
                                              {3},
                                              {5, 3, 44, 1},
                                              {6},
                                              {7, 5},
                                              {8, 1, 2, 3, 4},
                                              {9, 0},
                                              {9, 208, 2, 0},
                                              {9, 209, 1, 0, 0, 0},
                                              {10, 1},
                                              {11, 0x35},
                                              {18, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
                                              {19, 2},
                                              {208, 2, 1},
                                              {240, 1},
                                              {240, 0},
                                              {241},
                                              {77}})
    r.push_back(vbox::makeRecord(head));
  return r;
}

TEST(Storm, CommandsCallerNumbersAndAudioSurviveAReplyStorm) {
  const char* env = std::getenv("TAVRO_STORM_SECONDS");
  const double seconds = env ? std::atof(env) : 3.0;
  test::RuntimeDir runtime;
  const NoticeHandler previous = setNoticeHandler([](const std::string&) {});
  test::TestBox box;
  box.setLineSource(vbox::LineSource::pattern());
  CKusb_IO io;
  ASSERT_TRUE(test::waitForLink(io));
  ASSERT_EQ(io.PickUp(), 1);
  const std::string wave = runtime.path() + "/storm.wav";
  ASSERT_EQ(io.StartReadSound(wave.c_str(), 1), 1);
  const long rssBefore = residentKiB();

  std::atomic<bool> stop{false};
  std::atomic<long> stormSent{0};
  std::atomic<long> callerIdsSent{0};

  // An application takes every event as it comes: none may be lost or come out of order,
  // but for those an overflow event counts. It takes them up to a DTMF code that the box
  // sends behind the storm, which comes last over the reply pipe (an overflow drops the
  // oldest events, never it).
  constexpr uint8_t kLastCode = 9;
  std::atomic<bool> takingDone{false};
  bool lastCame = false;
  long taken = 0, dropped = 0, callerIds = 0, outOfOrder = 0, wrongCallers = 0;
  std::thread taker([&] {
    tavro_event e;
    uint32_t lastSequence = 0;
    uint32_t droppedSinceLast = 0;
    int64_t lastTime = 0;
    std::optional<std::chrono::steady_clock::time_point> giveUp;
    for (;;) {
      if (tavro_event_wait(&io, &e, 50) != 1) {
        if (!takingDone) continue;
        if (!giveUp) giveUp = std::chrono::steady_clock::now() + test::kGenerous;
        if (std::chrono::steady_clock::now() > *giveUp) break;
        continue;
      }
      if (e.kind == TAVRO_EVENT_OVERFLOW) {
        dropped += e.u.overflow.dropped;
        droppedSinceLast += e.u.overflow.dropped;
        continue;
      }
      ++taken;
      if (e.sequence != lastSequence + 1 + droppedSinceLast || e.time_ns < lastTime) ++outOfOrder;
      lastSequence = e.sequence;
      droppedSinceLast = 0;
      lastTime = e.time_ns;
      if (e.kind == TAVRO_EVENT_CALLER_ID) {
        ++callerIds;
        const std::string number = e.u.caller_id.number;
        if (number != "5551234" && number != "7654321") ++wrongCallers;
      }
      if (e.kind == TAVRO_EVENT_DTMF && e.u.dtmf.code == kLastCode) {
        lastCame = true;
        break;
      }
    }
  });

  // 10 records a millisecond. The emulated USB box serves every record through several
  // calls into the test process and carries far fewer (under the sanitizers fewer still):
  // faster, the box's own queue would drop records before the library could fall behind.
  const int perMillisecond = test::overUsb() ? 1 : 10;
  std::thread storm([&] {
    const auto records = stormRecords();
    auto next = std::chrono::steady_clock::now();
    size_t i = 0;
    while (!stop) {
      for (int k = 0; k < perMillisecond; ++k, ++i) {
        if (i % 50 == 0) {
          if (box.sendCallerId(vbox::CallerIdFormat::DigitString, i % 100 ? "5551234" : "7654321"))
            ++callerIdsSent;
        } else {
          box.sendRecord(records[i % records.size()]);
        }
        ++stormSent;
      }
      next += std::chrono::milliseconds(1);
      std::this_thread::sleep_until(next);
    }
  });

  int commands = 0, failed = 0, numbers = 0, wrongNumbers = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    const int dialled = io.DialNmb("123");
    const int delay = io.SetNextCallDelay(150);
    const int ring = io.DetectRing();
    commands += 3;
    failed += (dialled != 1) + (delay != 1) + (ring != 1);
    if (io.GetTelStatus() & kCallerNumberBit) {
      unsigned char number[64] = {};
      if (io.Read_Call_Nmb(number) == 1) {
        ++numbers;
        const std::string got(reinterpret_cast<char*>(number));
        if (got != "5551234" && got != "7654321") ++wrongNumbers;
      }
    }
  }
  stop = true;
  storm.join();
  const long rssAfter = residentKiB();
  EXPECT_EQ(io.RequestSpaceCode(), 1);
  // Any record ends that command, so its end does not say that the storm has been read:
  // over USB hundreds of records may still wait in the box. The DTMF code sent now does,
  // when its event comes. (Sent again should the box's full queue refuse it.)
  EXPECT_TRUE(test::eventually([&] {
    const uint64_t refused = box.droppedRecords();
    return box.sendDtmf(kLastCode) && box.droppedRecords() == refused;
  }));
  takingDone = true;
  taker.join();
  const int recorded = io.StopReadSound();
  setNoticeHandler(previous);

  EXPECT_GT(stormSent.load(), static_cast<long>(seconds * 500 * perMillisecond));
  EXPECT_GT(commands, 0);
  EXPECT_EQ(failed, 0) << "of " << commands << " commands";
  EXPECT_GT(numbers, 0);
  EXPECT_EQ(wrongNumbers, 0);
  EXPECT_GT(taken, callerIdsSent.load());
  EXPECT_EQ(outOfOrder, 0) << "of " << taken << " events";
  EXPECT_EQ(wrongCallers, 0);
  EXPECT_TRUE(lastCame) << "the event sent behind the storm never came";
  // Caller IDs that the box's full queue refused never were on the wire.
  if (dropped == 0 && box.droppedRecords() == 0) {
    EXPECT_EQ(callerIds, callerIdsSent.load()) << "every caller ID an event";
  }
  // Under AddressSanitizer freed memory is held back (up to 256 MB) before it is reused, so
  // the resident size says nothing there about what the library keeps.
  if (!kAddressSanitizer) {
    EXPECT_LT(rssAfter - rssBefore, 64 * 1024) << "KiB grown";
  }

  // Every frame arrived, in order, none twice.
  ASSERT_GT(recorded, 48);
  EXPECT_EQ(box.droppedFrames(), 0u);
  std::string error;
  const auto audio = vbox::readAlawWave(wave, &error);
  ASSERT_TRUE(audio) << error;
  ASSERT_GE(audio->size(), 250u * 4);
  ASSERT_EQ(audio->size() % 250, 0u);
  uint32_t expected = 0;
  bool first = true;
  int gaps = 0;
  for (size_t at = 0; at + 250 <= audio->size(); at += 250) {
    const uint8_t* p = audio->data() + at;
    const uint32_t n =
        uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
    if (!first && n != expected) ++gaps;
    first = false;
    expected = n + 1;
  }
  EXPECT_EQ(gaps, 0);
}

// Thousands of "NoUsed 0x02" records while standard error is a full pipe that nobody
// reads: the reply reader goes on, and the object is destroyed promptly.
TEST(Storm, NoticesNeverHoldTheReplyReaderWhenStandardErrorIsNotRead) {
  test::RuntimeDir runtime;
  test::TestBox box;
  auto io = std::make_unique<CKusb_IO>();
  ASSERT_TRUE(test::waitForLink(*io));

  int pipe[2];
  ASSERT_TRUE(test::makeFullPipe(pipe));
  auto toPipe = std::make_unique<test::StandardErrorTo>(pipe[1]);

  // In rounds that the box's queue takes whole, each followed by a DTMF digit.
  bool readerWentOn = true;
  for (int round = 0; round < 4 && readerWentOn; ++round) {
    for (int i = 0; i < 2000; ++i) ASSERT_TRUE(box.sendRecord({2, static_cast<uint8_t>(i & 1)}));
    ASSERT_TRUE(box.sendDtmf(5));
    unsigned char code = 0;
    readerWentOn = test::eventually([&] { return io->GetDTMFCode(&code) == 1; });
  }

  std::promise<void> destroyed;
  std::future<void> done = destroyed.get_future();
  const auto start = std::chrono::steady_clock::now();
  std::thread destroyer([&] {
    io.reset();
    destroyed.set_value();
  });
  const bool prompt = done.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  const auto took = std::chrono::steady_clock::now() - start;
  // A reader held in its write is let go, so that the test can end.
  while (done.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
    char chunk[4096];
    while (::read(pipe[0], chunk, sizeof chunk) > 0) {
    }
  }
  destroyer.join();
  toPipe.reset();
  ::close(pipe[0]);
  ::close(pipe[1]);

  EXPECT_TRUE(readerWentOn) << "no record was read after the storm";
  EXPECT_TRUE(prompt) << "the destructor waited for standard error";
  EXPECT_LT(took, std::chrono::seconds(10))
      << std::chrono::duration<double>(took).count() << " s to destroy the object";
}

}  // namespace
}  // namespace tavro
