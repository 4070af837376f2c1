// Seeded fault injection: the box is unplugged and plugged back in at random moments of
// random activities, and after every cycle the library must be whole again.
//
//   TAVRO_FAULT_CYCLES  cycles to run (default 50; 10 over emulated USB, where a replug is
//                       the emulation's slowest work)
//   TAVRO_FAULT_SEED    seed to replay (default: a fresh one; it is printed either way)
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "device/state.h"
#include "platform/platform.h"
#include "support/conditions.h"
#include "support/runtime_dir.h"
#include "support/test_box.h"
#include "tavro/CKusb_IO.h"
#include "tavro/notice.h"
#include "vbox/virtual_box.h"

namespace tavro {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

int countEntries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
         uint32_t{b[at + 3]} << 24;
}

// A wave file is whole (its sizes match it), also when a lost link cut its recording. Only
// a start that the loss dropped before the box streamed leaves the bare header with its
// placeholder sizes.
std::string waveFileProblem(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";  // no file: the recording never opened one
  std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), {});
  if (b.size() < 48) return "shorter than its header: " + std::to_string(b.size());
  const uint32_t riff = le32(b, 4), data = le32(b, 44);
  if (riff == 16376 && data == 2016 && b.size() == 48) return "";
  if (riff == b.size() - 8 && data == b.size() - 48) return "";
  return "sizes " + std::to_string(riff) + "/" + std::to_string(data) + " for " +
         std::to_string(b.size()) + " bytes";
}

// Runs library time faster for the length of a stop that may wait on a cut-off recording.
class FastTime {
 public:
  FastTime() { platform::setTimeScale(20); }
  ~FastTime() { platform::setTimeScale(1); }
};

enum Scenario {
  kIdle,
  kCommandInFlight,
  kRecording,
  kPlayback,
  kHostRead,
  kHostWrite,
  kOpening,
  kConstruction,
  kDestruction,
  kScenarioCount
};

const char* const kScenarioNames[kScenarioCount] = {
    "idle",          "command in flight", "recording",
    "file playback", "host-buffer read",  "host-buffer write",
    "pipes opening", "construction",      "destruction"};

class Injector {
 public:
  Injector(uint64_t seed, std::string dir) : rng_(seed), dir_(std::move(dir)) {
    box_.setPlayPace(8);
    box_.setAudioPace(4);
    io_ = std::make_unique<CKusb_IO>();
    playFile_ = dir_ + "/play.al";
    std::ofstream(playFile_, std::ios::binary) << std::string(40000, '\x55');
  }

  // Takes the baseline of descriptors and threads with the library up and idle.
  void baseline() {
    // Everything check() expects after a replug: a baseline taken while the pipes are still
    // opening counts too few descriptors and fails every cycle after it.
    ASSERT_TRUE(test::eventually([] {
      return !linkDown() && (statusWord() & kReaderReadyBit) && linkState().pipesOpened.load() == 4;
    }));
    ASSERT_TRUE(box_.waitForPipes(milliseconds(20000)));
    fds_ = countEntries("/proc/self/fd");
    threads_ = countEntries("/proc/self/task");
  }

  milliseconds slowestLinkBack() const {
    return std::chrono::duration_cast<milliseconds>(slowestLinkBack_);
  }

  void cycle(int n) {
    const Scenario scenario = static_cast<Scenario>(rng_() % kScenarioCount);
    const milliseconds delay(rng_() % 150);
    const milliseconds down(rng_() % 200);
    SCOPED_TRACE(std::string("cycle ") + std::to_string(n) + ": " + kScenarioNames[scenario]);
    const std::string wave = dir_ + "/rec" + std::to_string(n % 4) + ".wav";
    std::filesystem::remove(wave);

    switch (scenario) {
      case kIdle:
        sleep(delay);
        replugAfter(down);
        break;
      case kCommandInFlight: {
        box_.setAnswerDelay(milliseconds(rng_() % 100));
        std::thread caller([&] {
          for (int i = 0; i < 3; ++i) io_->SetNextCallDelay(static_cast<unsigned char>(i));
        });
        sleep(delay);
        replugAfter(down);
        caller.join();
        box_.setAnswerDelay(milliseconds(0));
        break;
      }
      case kRecording: {
        const int started = io_->StartReadSound(wave.c_str(), 1);
        EXPECT_EQ(started, 1);
        sleep(delay);
        replugAfter(down);
        awaitLink();
        FastTime fast;
        io_->StopReadSound();
        break;
      }
      case kPlayback: {
        EXPECT_EQ(io_->StartPlaySound(playFile_.c_str(), 0, 1, 0, false), 1);
        sleep(delay);
        replugAfter(down);
        awaitLink();
        FastTime fast;
        io_->StopPlaySound();
        break;
      }
      case kHostRead: {
        io_->SetRecordStatus(true, 1);
        EXPECT_EQ(io_->OpenReadSoundInPC(), 1);
        std::atomic<bool> stop{false};
        std::thread reader([&] {
          unsigned char buf[513];
          while (!stop && io_->ReadSoundFromBufferToPC(buf, 512) == 512) {
          }
        });
        sleep(delay);
        replugAfter(down);
        awaitLink();
        stop = true;
        {
          FastTime fast;
          io_->CloseReadSoundInPC();
        }
        reader.join();
        io_->SetRecordStatus(false, 0);
        break;
      }
      case kHostWrite: {
        io_->SetPlayStatus(1, 1, 0, 0);
        EXPECT_EQ(io_->OpenWriteSoundToBuff(), 1);
        std::atomic<bool> stop{false};
        std::thread writer([&] {
          unsigned char buf[512];
          std::memset(buf, 0x55, sizeof buf);
          while (!stop) io_->WriteSoundFromPCToBuffer(buf, 512);
        });
        sleep(delay);
        replugAfter(down);
        awaitLink();
        stop = true;
        writer.join();
        FastTime fast;
        io_->CloseWriteSoundToBuff();
        break;
      }
      case kOpening:
        box_.unplug();
        sleep(down);
        box_.plug();
        sleep(milliseconds(rng_() % 40));  // the threads are reopening their pipes now
        replugAfter(down);
        break;
      case kConstruction: {
        io_.reset();
        std::thread unplugger([&] {
          sleep(delay);
          box_.unplug();
        });
        io_ = std::make_unique<CKusb_IO>();
        unplugger.join();
        sleep(down);
        box_.plug();
        plugged_ = Clock::now();
        break;
      }
      case kDestruction: {
        std::thread unplugger([&] {
          sleep(delay / 4);
          box_.unplug();
        });
        io_.reset();
        unplugger.join();
        EXPECT_EQ(statusWord(), 0x200u);
        box_.plug();
        io_ = std::make_unique<CKusb_IO>();
        plugged_ = Clock::now();
        break;
      }
      default:
        break;
    }
    check(wave);
  }

 private:
  static void sleep(milliseconds d) { std::this_thread::sleep_for(d); }

  void replugAfter(milliseconds down) {
    box_.unplug();
    sleep(down);
    box_.plug();
    plugged_ = Clock::now();
    awaitLink();
  }

  // Waits for the link after the last replug and notes how long it took. The link must be
  // up again with the box that was plugged in: a replug quicker than the library can see
  // the loss leaves the link up for a moment, and then lost.
  void awaitLink() {
    if (test::eventually(
            [&] {
              return box_.pipesConnected() && !linkDown() && linkState().pipesOpened.load() == 4;
            },
            milliseconds(5000)))
      linkBack_ = std::min(linkBack_, Clock::now() - plugged_);
  }

  void check(const std::string& wave) {
    // The link is back with the documented bits. How fast is a figure for the benchmark
    // (tavro-bench, "replug to link up"); the slowest cycle is reported here.
    awaitLink();
    if (linkBack_ != Clock::duration::max())
      slowestLinkBack_ = std::max(slowestLinkBack_, linkBack_);
    linkBack_ = Clock::duration::max();
    ASSERT_FALSE(linkDown()) << "the link did not come back";
    const uint32_t word = statusWord();
    EXPECT_TRUE(word & kReaderReadyBit);
    EXPECT_FALSE(word & kLinkFaultBit);
    EXPECT_EQ(linkState().pipesOpened.load(), 4u);
    // Commands work.
    EXPECT_EQ(io_->RequestSpaceCode(), 1);
    // Nothing leaked.
    EXPECT_TRUE(
        test::eventually([&] { return countEntries("/proc/self/fd") == fds_; }, milliseconds(5000)))
        << countEntries("/proc/self/fd") << " descriptors, " << fds_ << " before";
    EXPECT_TRUE(test::eventually([&] { return countEntries("/proc/self/task") == threads_; },
                                 milliseconds(5000)))
        << countEntries("/proc/self/task") << " threads, " << threads_ << " before";
    EXPECT_EQ(waveFileProblem(wave), "");
  }

  std::mt19937_64 rng_;
  std::string dir_;
  std::string playFile_;
  test::TestBox box_;
  std::unique_ptr<CKusb_IO> io_;
  Clock::time_point plugged_ = Clock::now();
  Clock::duration linkBack_ = Clock::duration::max();
  Clock::duration slowestLinkBack_{0};
  int fds_ = 0;
  int threads_ = 0;
};

uint64_t seedFromEnvironment() {
  if (const char* s = std::getenv("TAVRO_FAULT_SEED")) return std::strtoull(s, nullptr, 0);
  return std::random_device{}() ^ (uint64_t{std::random_device{}()} << 32);
}

int cyclesFromEnvironment() {
  if (const char* s = std::getenv("TAVRO_FAULT_CYCLES")) return std::atoi(s);
  return test::overUsb() ? 10 : 50;
}

void run(uint64_t seed, int cycles) {
  std::printf("fault injection: seed %llu, %d cycles (replay with TAVRO_FAULT_SEED=%llu)\n",
              static_cast<unsigned long long>(seed), cycles, static_cast<unsigned long long>(seed));
  std::fflush(stdout);
  test::RuntimeDir runtime;
  const NoticeHandler previous = setNoticeHandler([](const std::string&) {});
  {
    Injector injector(seed, runtime.path());
    injector.baseline();
    for (int i = 0; i < cycles && !::testing::Test::HasFatalFailure(); ++i) injector.cycle(i);
    std::printf("fault injection: slowest link back after a replug %lld ms\n",
                static_cast<long long>(injector.slowestLinkBack().count()));
  }
  setNoticeHandler(previous);
  EXPECT_EQ(statusWord(), 0x200u);
}

TEST(FaultInjection, RandomUnplugsAtRandomMoments) {
  run(seedFromEnvironment(), cyclesFromEnvironment());
}

// A seed that once caught a fault (a reopen marking the link up while the reply pipe was
// down), replayed on every run.
TEST(FaultInjection, ReplaysAPrintedSeed) {
  run(7451649403883638013ull, 18);
}

}  // namespace
}  // namespace tavro
