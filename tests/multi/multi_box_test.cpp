// Objects bound to their own box: each records its own line, keeps its own state and
// events, reconnects only to its own box, and comes and goes in any order beside others.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "library/context.h"
#include "support/conditions.h"
#include "support/runtime_dir.h"
#include "tavro/CKusb_IO.h"
#include "tavro/events.h"
#include "tavro/exports.h"
#include "tavro/notice.h"
#include "vbox/audio.h"
#include "vbox/virtual_box.h"

namespace tavro {
namespace {

using namespace std::chrono_literals;
using test::eventually;

// The line's power at `hz` (Goertzel), per sample.
double powerAt(const std::vector<uint8_t>& alaw, double hz) {
  const double k = 2 * std::cos(2 * M_PI * hz / 8000);
  double s1 = 0, s2 = 0;
  for (uint8_t code : alaw) {
    const double s = vbox::alawDecode(code) + k * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  return (s1 * s1 + s2 * s2 - k * s1 * s2) / static_cast<double>(alaw.size() + 1);
}

double toneOf(int i) {
  return 500 + 350 * i;  // 500, 850, 1200, 1550 Hz
}

bool linkUp(CKusb_IO& io) {
  return (io.GetTelStatus() & kLinkDownBit) == 0;
}

// Boxes on one registry, each with its own tone on its line.
class Boxes : public ::testing::Test {
 protected:
  void make(int n) {
    for (int i = 0; i < n; ++i) {
      boxes_.push_back(
          std::make_unique<vbox::VirtualBox>(vbox::BoxOptions{.name = "line" + std::to_string(i)}));
      boxes_.back()->setLineSource(vbox::LineSource::tone(toneOf(i)));
    }
  }
  std::string path(int i) const { return boxes_[i]->devicePath(); }
  std::string file(int i) const { return runtime_.path() + "/line" + std::to_string(i) + ".wav"; }

  // The recording of object i holds box i's tone, and no other box's.
  void expectOwnTone(int i, int boxCount) {
    std::string error;
    const auto audio = vbox::readAlawWave(file(i), &error);
    ASSERT_TRUE(audio) << error;
    ASSERT_GT(audio->size(), 1000u);
    const double own = powerAt(*audio, toneOf(i));
    for (int j = 0; j < boxCount; ++j) {
      if (j == i) continue;
      EXPECT_GT(own, 100 * powerAt(*audio, toneOf(j))) << "line " << i << " vs " << j;
    }
  }

  test::RuntimeDir runtime_;
  std::vector<std::unique_ptr<vbox::VirtualBox>> boxes_;
};

std::vector<uint32_t> takeKinds(CKusb_IO& io) {
  std::vector<uint32_t> kinds;
  for (tavro_event e; tavro_event_take(&io, &e) == 1;) kinds.push_back(e.kind);
  return kinds;
}

bool has(const std::vector<uint32_t>& kinds, uint32_t kind) {
  return std::find(kinds.begin(), kinds.end(), kind) != kinds.end();
}

void recordEach(int count, std::vector<std::unique_ptr<CKusb_IO>>& objects,
                std::vector<std::unique_ptr<vbox::VirtualBox>>& boxes,
                const std::function<std::string(int)>& file) {
  for (int i = 0; i < count; ++i) {
    ASSERT_TRUE(eventually([&] { return linkUp(*objects[i]); })) << i;
    ASSERT_EQ(objects[i]->StartReadSound(file(i).c_str(), 1), 1) << i;
  }
  for (int i = 0; i < count; ++i)
    ASSERT_TRUE(boxes[i]->waitForFrames(boxes[i]->framesSent() + 12, 10s)) << i;
  for (int i = 0; i < count; ++i) EXPECT_GT(objects[i]->StopReadSound(), 48) << i;
}

TEST_F(Boxes, SimultaneousRecordingsHoldTheirOwnBoxsLine) {
  for (int count : {2, 4}) {
    SCOPED_TRACE(count);
    boxes_.clear();
    make(count);
    std::vector<std::unique_ptr<CKusb_IO>> objects;
    for (int i = 0; i < count; ++i) objects.push_back(std::make_unique<CKusb_IO>(path(i).c_str()));
    recordEach(count, objects, boxes_, [&](int i) { return file(i); });
    for (int i = 0; i < count; ++i) expectOwnTone(i, count);

    // A command goes to its own box only: the line of the first is taken, the others' not.
    ASSERT_EQ(objects[0]->PickUp(), 1);
    EXPECT_TRUE(objects[0]->GetTelStatus() & kOffHookBit);
    for (int i = 1; i < count; ++i) EXPECT_FALSE(objects[i]->GetTelStatus() & kOffHookBit) << i;
    EXPECT_TRUE(boxes_[0]->lineState().offHook);
    for (int i = 1; i < count; ++i) EXPECT_FALSE(boxes_[i]->lineState().offHook) << i;
  }
}

TEST_F(Boxes, AnUnpluggedBoxLeavesTheOthersAloneAndComesBackToItsObject) {
  make(2);
  CKusb_IO first(path(0).c_str());
  CKusb_IO second(path(1).c_str());
  ASSERT_TRUE(eventually([&] { return linkUp(first) && linkUp(second); }));
  takeKinds(first);
  takeKinds(second);
  ASSERT_EQ(second.StartReadSound(file(1).c_str(), 1), 1);
  ASSERT_TRUE(boxes_[1]->waitForFrames(boxes_[1]->framesSent() + 4, 10s));

  boxes_[0]->unplug();
  ASSERT_TRUE(eventually([&] { return !linkUp(first); }));
  ASSERT_TRUE(boxes_[1]->waitForFrames(boxes_[1]->framesSent() + 8, 10s));
  EXPECT_TRUE(linkUp(second));
  EXPECT_GT(second.StopReadSound(), 48);
  expectOwnTone(1, 2);
  EXPECT_TRUE(has(takeKinds(first), TAVRO_EVENT_LINK_LOST));
  const auto secondKinds = takeKinds(second);
  EXPECT_FALSE(has(secondKinds, TAVRO_EVENT_LINK_LOST));
  EXPECT_TRUE(has(secondKinds, TAVRO_EVENT_RECORDING_ENDED));

  // Without its box the first takes no other one: not a box that arrives meanwhile and is
  // found before its own, and its own once that is back.
  vbox::VirtualBox spare({.name = "a-spare"});
  boxes_[0]->plug();
  ASSERT_TRUE(eventually([&] { return linkUp(first); }));
  EXPECT_EQ(first.PickUp(), 1);
  EXPECT_TRUE(boxes_[0]->lineState().offHook);
  EXPECT_EQ(spare.connectionCount(0), 0);
}

TEST_F(Boxes, ABoxHeldByAnotherObjectIsBusyAndTheDefaultObjectTakesAFreeOne) {
  make(2);
  CKusb_IO bound(path(0).c_str());
  ASSERT_TRUE(eventually([&] { return linkUp(bound); }));
  EXPECT_FALSE(boxInUse(bound));

  CKusb_IO twin(path(0).c_str());
  EXPECT_TRUE(twin.GetTelStatus() & kLinkDownBit);
  EXPECT_EQ(tavro_box_in_use_for(&twin), 1);

  // The default object: the first box that opens, which is not one an object holds; the
  // plain export reads its status word without an object.
  CKusb_IO plain;
  ASSERT_TRUE(eventually([&] { return linkUp(plain); }));
  EXPECT_EQ(GetTelStatus(nullptr), plain.GetTelStatus());
  ASSERT_EQ(plain.PickUp(), 1);
  EXPECT_TRUE(boxes_[1]->lineState().offHook);
  EXPECT_FALSE(boxes_[0]->lineState().offHook);
  EXPECT_FALSE(bound.GetTelStatus() & kOffHookBit);
  EXPECT_TRUE(GetTelStatus(nullptr) & kOffHookBit);

  // Once the holder has gone, the twin takes the box.
  // (the bound object goes first: destroyed out of order with the others)
  {
    CKusb_IO* gone = &bound;
    gone->ExistUSB_IO();
  }
  EXPECT_TRUE(eventually([&] { return linkUp(twin); }));
  EXPECT_EQ(tavro_box_in_use_for(&twin), 0);
}

TEST_F(Boxes, NoticesSayWhichBoxAndAreNotFoldedTogether) {
  make(3);
  std::mutex mutex;
  std::map<std::string, int> raised;  // by device
  setNoticeHandler([&](const std::string& text) {
    if (text != "NoUsed 0x02") return;
    const char* device = tavro_notice_device();
    std::lock_guard<std::mutex> lock(mutex);
    raised[device ? device : "(none)"] += tavro_notice_count();
  });
  {
    CKusb_IO first(path(0).c_str());
    CKusb_IO second(path(1).c_str());
    ASSERT_TRUE(eventually([&] { return linkUp(first) && linkUp(second); }));
    CKusb_IO plain;  // the default object, on the box left free: its notices name that box
    ASSERT_TRUE(eventually([&] { return linkUp(plain); }));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(boxes_[i]->sendRecord({2, 0}));
    ASSERT_TRUE(eventually([&] {
      std::lock_guard<std::mutex> lock(mutex);
      return raised[path(0)] == 1 && raised[path(1)] == 1 && raised[path(2)] == 1;
    }));
    tavro_event e;
    ASSERT_EQ(tavro_event_wait(&first, &e, 5000), 1);
    while (e.kind != TAVRO_EVENT_NOTICE) ASSERT_EQ(tavro_event_wait(&first, &e, 5000), 1);
  }
  setNoticeHandler({});
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(raised.size(), 3u);
}

// Objects made and destroyed in any order from several threads: each works while it lives,
// and its context goes with it.
TEST_F(Boxes, ObjectsComeAndGoFromSeveralThreads) {
  make(4);
  std::atomic<int> failures{0};
  std::vector<std::weak_ptr<LibraryContext>> contexts;
  std::mutex mutex;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int round = 0; round < 3; ++round) {
        const int i = (t + round) % 4;  // every thread meets every box
        auto io = std::make_unique<CKusb_IO>(path(i).c_str());
        {
          std::lock_guard<std::mutex> lock(mutex);
          contexts.push_back(contextWithId(contextOf(io.get()).id));
        }
        // The box may still be another thread's object's: then it is busy meanwhile.
        if (!eventually([&] { return linkUp(*io); }) || io->PickUp() != 1 || io->PutDown() != 1)
          ++failures;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  ASSERT_EQ(contexts.size(), 12u);
  for (const auto& c : contexts) EXPECT_TRUE(c.expired());
}

TEST(OpenDevice, RefusesANameOfNoDevicesFormAndWaitsForOneNotThere) {
  for (const char* name : {static_cast<const char*>(nullptr), "", "line0", "usb:", "a/b"})
    EXPECT_EQ(tavro_open_device(name), nullptr) << (name ? name : "null");
  EXPECT_EQ(tavro_open_device(("/" + std::string(255, 'x')).c_str()), nullptr);

  test::RuntimeDir runtime;
  CKusb_IO* io = tavro_open_device((runtime.path() + "/absent").c_str());
  ASSERT_NE(io, nullptr);
  EXPECT_TRUE(GetTelStatus(io) & kLinkDownBit);
  EXPECT_EQ(tavro_box_in_use_for(io), 0);
  EXPECT_EQ(tavro_close(io), 1);
}

}  // namespace
}  // namespace tavro
