// The event queue against the virtual box: every kind with its data, in order, through
// the descriptor, the takes and the callback; the overflow; the end of the object.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/event_sink.h"
#include "device/state.h"
#include "events/queue.h"
#include "library/context.h"
#include "support/box_fixture.h"
#include "support/conditions.h"
#include "tavro/events.h"

namespace tavro {
namespace {

// Waits until everything `box` sent before has been dispatched: a reply-6 record sent behind
// it sets its bit, and posts no event. (An answered command is no such end: any record that
// comes while the command waits ends it, and those behind it may still be on their way.)
void settleBehind(vbox::VirtualBox& box) {
  clearStatusBits(kReply6Bit);
  ASSERT_TRUE(box.sendRecord({6}));
  ASSERT_TRUE(test::eventually([] { return statusHas(kReply6Bit); }));
}

class Events : public test::LineFixture {
 protected:
  // The start brings the link up: its event is in the queue from the first, whenever the
  // last pipe opened.
  void SetUp() override {
    LineFixture::SetUp();
    tavro_event e{};
    while (e.kind != TAVRO_EVENT_LINK_BACK) ASSERT_EQ(tavro_event_wait(&io_, &e, 20000), 1);
    while (tavro_event_take(&io_, &e) == 1) {
    }
  }

  // The next event, waiting generously for it.
  tavro_event next() {
    tavro_event e{};
    EXPECT_EQ(tavro_event_wait(&io_, &e, 20000), 1);
    return e;
  }

  // Everything the box sent before this has been dispatched.
  void settle() { settleBehind(box_); }

  bool readable() {
    pollfd p{tavro_events_fd(&io_), POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
  }
};

TEST_F(Events, EachKindArrivesInOrderWithItsData) {
  ASSERT_TRUE(box_.sendRing());
  ASSERT_TRUE(
      box_.sendCallerId(vbox::CallerIdFormat::MultipleData, "5551234", "12241830", "DOE JANE"));
  ASSERT_TRUE(box_.sendDtmf(12));
  ASSERT_TRUE(box_.sendTone(3, 300));
  ASSERT_TRUE(box_.sendHookStatus(true));
  ASSERT_TRUE(box_.sendRecord({2, 0}));  // a notice

  uint32_t sequence = 0;
  const int64_t wallNow = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
  auto expectNext = [&](uint32_t kind) {
    const tavro_event e = next();
    EXPECT_EQ(e.kind, kind);
    EXPECT_GT(e.sequence, sequence) << "in order";
    EXPECT_GT(e.time_ns, 0);
    EXPECT_LT(std::llabs(e.wall_time_ns - wallNow), int64_t{60'000'000'000}) << "dated now";
    sequence = e.sequence;
    return e;
  };
  expectNext(TAVRO_EVENT_RING);
  const tavro_event id = expectNext(TAVRO_EVENT_CALLER_ID);
  EXPECT_STREQ(id.u.caller_id.number, "5551234");
  EXPECT_STREQ(id.u.caller_id.name, "DOE JANE");
  EXPECT_EQ(id.u.caller_id.month, 12);
  EXPECT_EQ(id.u.caller_id.minute, 30);
  tavro_caller_id again;
  EXPECT_EQ(tavro_read_caller_id(&io_, &again), 1);
  EXPECT_STREQ(again.name, "DOE JANE");
  EXPECT_TRUE(statusHas(kCallerNumberBit)) << "reading the record leaves the bit to Read_Call_Nmb";
  const tavro_event dtmf = expectNext(TAVRO_EVENT_DTMF);
  EXPECT_EQ(dtmf.u.dtmf.code, 12);
  EXPECT_EQ(dtmf.u.dtmf.key, '#');
  const tavro_event tone = expectNext(TAVRO_EVENT_TONE);
  EXPECT_EQ(tone.u.tone.first, 3);
  EXPECT_EQ(tone.u.tone.second, 300);
  EXPECT_EQ(tone.u.tone.tone, 1);
  const tavro_event hook = expectNext(TAVRO_EVENT_HOOK);
  EXPECT_EQ(hook.u.hook.off_hook, 1);
  EXPECT_EQ(hook.u.hook.cause, TAVRO_HOOK_BY_BOX);
  const tavro_event notice = expectNext(TAVRO_EVENT_NOTICE);
  EXPECT_EQ(notice.u.notice.code, TAVRO_NOTICE_NO_USED);
  EXPECT_STREQ(notice.u.notice.text, "NoUsed 0x02");
  EXPECT_STRNE(tavro_notice_text(notice.u.notice.code), "");

  EXPECT_EQ(io_.PutDown(), 1);
  const tavro_event down = expectNext(TAVRO_EVENT_HOOK);
  EXPECT_EQ(down.u.hook.off_hook, 0);
  EXPECT_EQ(down.u.hook.cause, TAVRO_HOOK_BY_CALL);
}

TEST_F(Events, TheDescriptorIsReadableExactlyWhileEventsWait) {
  EXPECT_FALSE(readable());
  ASSERT_TRUE(box_.sendDtmf(1));
  ASSERT_TRUE(box_.sendDtmf(2));
  settle();
  EXPECT_TRUE(readable());
  tavro_event e;
  ASSERT_EQ(tavro_event_take(&io_, &e), 1);
  EXPECT_TRUE(readable()) << "one more waits";
  ASSERT_EQ(tavro_event_take(&io_, &e), 1);
  EXPECT_FALSE(readable());
  EXPECT_EQ(tavro_event_take(&io_, &e), 0);
  EXPECT_EQ(tavro_event_wait(&io_, &e, 1), 0) << "time-out";
  EXPECT_EQ(tavro_event_take(nullptr, &e), -2);
  EXPECT_EQ(tavro_event_take(&io_, nullptr), -2);
}

// A program built before the events had their wall-clock time binds the older take and
// wait, which fill the event it knows and not a byte after it.
extern "C" int tavro_event_take_1_2(CKusb_IO* io, void* event);
extern "C" int tavro_event_wait_1_2(CKusb_IO* io, void* event, int timeout_ms);

TEST_F(Events, AnOlderProgramGetsTheEventWithoutItsWallClockTime) {
  constexpr size_t kOlderSize = offsetof(tavro_event, wall_time_ns);
  ASSERT_TRUE(box_.sendDtmf(1));
  ASSERT_TRUE(box_.sendDtmf(2));
  settle();
  for (int i = 1; i <= 2; ++i) {
    unsigned char room[kOlderSize + 8];
    std::memset(room, 0xAB, sizeof room);
    ASSERT_EQ(i == 1 ? tavro_event_take_1_2(&io_, room) : tavro_event_wait_1_2(&io_, room, 20000),
              1);
    tavro_event e{};
    std::memcpy(&e, room, kOlderSize);
    EXPECT_EQ(e.kind, TAVRO_EVENT_DTMF);
    EXPECT_EQ(e.u.dtmf.code, i);
    EXPECT_EQ(std::count(room + kOlderSize, room + sizeof room, 0xAB), 8) << "written beyond";
  }
}

TEST_F(Events, AFullQueueDropsTheOldestAndSaysHowMany) {
  constexpr int kSent = TAVRO_EVENT_QUEUE_SIZE + 44;
  for (int i = 0; i < kSent; ++i) ASSERT_TRUE(box_.sendDtmf(static_cast<uint8_t>(i % 16 + 1)));
  settle();
  const tavro_event overflow = next();
  ASSERT_EQ(overflow.kind, TAVRO_EVENT_OVERFLOW);
  EXPECT_EQ(overflow.u.overflow.dropped, 44u);
  // The rest are the newest, in order and without a gap.
  uint32_t sequence = 0;
  for (int i = 44; i < kSent; ++i) {
    const tavro_event e = next();
    ASSERT_EQ(e.kind, TAVRO_EVENT_DTMF);
    EXPECT_EQ(e.u.dtmf.code, i % 16 + 1);
    if (sequence != 0) {
      EXPECT_EQ(e.sequence, sequence + 1);
    }
    sequence = e.sequence;
  }
  tavro_event e;
  EXPECT_EQ(tavro_event_take(&io_, &e), 0);
}

// The member and the C function give the record the event carried, byte for byte, and
// leave the caller-number bit to Read_Call_Nmb.
TEST_F(Events, TheLastCallerIdIsReadAgainWholeFromCAndCpp) {
  ASSERT_TRUE(box_.sendCallerId(vbox::CallerIdFormat::SingleData, "O", "07040930"));
  const tavro_event e = next();
  ASSERT_EQ(e.kind, TAVRO_EVENT_CALLER_ID);
  EXPECT_EQ(e.u.caller_id.number_absence, TAVRO_ABSENCE_UNAVAILABLE);
  tavro_caller_id member, c;
  std::memset(&member, 0xAA, sizeof member);
  std::memset(&c, 0x55, sizeof c);
  ASSERT_EQ(io_.ReadCallerId(&member), 1);
  ASSERT_EQ(tavro_read_caller_id(&io_, &c), 1);
  EXPECT_EQ(std::memcmp(&member, &e.u.caller_id, sizeof member), 0);
  EXPECT_EQ(std::memcmp(&c, &e.u.caller_id, sizeof c), 0);
  EXPECT_TRUE(statusHas(kCallerNumberBit));
  EXPECT_EQ(io_.ReadCallerId(nullptr), -2);
  EXPECT_EQ(tavro_read_caller_id(nullptr, &c), -2);

  box_.dropPipes();
  EXPECT_EQ(next().kind, TAVRO_EVENT_LINK_LOST);
  EXPECT_EQ(io_.ReadCallerId(&member), -1);
  EXPECT_EQ(tavro_read_caller_id(&io_, &c), -1);
  ASSERT_TRUE(box_.waitForPipes(std::chrono::seconds(20)));
}

TEST_F(Events, TheLinkLostAndBack) {
  box_.dropPipes();
  EXPECT_EQ(next().kind, TAVRO_EVENT_LINK_LOST);
  ASSERT_TRUE(box_.waitForPipes(std::chrono::seconds(20)));
  tavro_event e = next();
  while (e.kind == TAVRO_EVENT_NOTICE) e = next();  // the link-lost notice
  EXPECT_EQ(e.kind, TAVRO_EVENT_LINK_BACK);
}

// The next event of a kind, passing over others (hook changes, progress).
tavro_event nextOf(CKusb_IO& io, uint32_t kind) {
  tavro_event e{};
  while (tavro_event_wait(&io, &e, 20000) == 1)
    if (e.kind == kind) return e;
  ADD_FAILURE() << "no event of kind " << kind;
  return e;
}

TEST_F(Events, RecordingsAndPlaybacksReportTheirEnd) {
  const std::string wave = runtime_.path() + "/call.wav";
  ASSERT_EQ(io_.PickUp(), 1);
  ASSERT_EQ(io_.StartReadSound(wave.c_str(), 0), 1);
  ASSERT_TRUE(box_.waitForFrames(box_.framesSent() + 4, std::chrono::seconds(20)));
  const int bytes = io_.StopReadSound();
  ASSERT_GT(bytes, 48);
  const tavro_event recorded = nextOf(io_, TAVRO_EVENT_RECORDING_ENDED);
  EXPECT_EQ(recorded.u.recording.bytes, bytes);
  EXPECT_EQ(recorded.u.recording.reason, TAVRO_END_STOPPED);

  // A host-buffer stream ends with an event of its own, counted as its close counts.
  std::vector<unsigned char> buffer(1001);
  ASSERT_EQ(io_.SetRecordStatus(true, 1), 1);  // the box streams
  ASSERT_EQ(io_.OpenReadSoundInPC(), 1);
  ASSERT_EQ(io_.ReadSoundFromBufferToPC(buffer.data(), 1000), 1000);
  const int32_t streamed = io_.CloseReadSoundInPC();
  ASSERT_GE(streamed, 1000);
  const tavro_event ended = nextOf(io_, TAVRO_EVENT_STREAM_ENDED);
  EXPECT_EQ(ended.u.recording.bytes, streamed);
  EXPECT_EQ(ended.u.recording.reason, TAVRO_END_STOPPED);
  // Once the stream is closed, reads take what had come before the close (at most the two
  // buffers), then find the stream ended and return fewer bytes than asked for.
  auto drained = std::async(std::launch::async, [&] {
    int reads = 0;
    while (io_.ReadSoundFromBufferToPC(buffer.data(), 100) == 100) ++reads;
    return reads;
  });
  ASSERT_EQ(drained.wait_for(test::kGenerous), std::future_status::ready);
  EXPECT_LE(drained.get(), 2 * 512 / 100);

  box_.setPlayPace(0);
  const std::string played = runtime_.path() + "/tone.al";
  std::FILE* f = std::fopen(played.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  for (int i = 0; i < 512 * 8; ++i) std::fputc(0x55, f);
  std::fclose(f);
  ASSERT_EQ(io_.StartPlaySound(played.c_str(), 0, 1, 0, false), 1);
  const tavro_event end = nextOf(io_, TAVRO_EVENT_PLAYBACK_ENDED);
  EXPECT_EQ(end.u.playback.permille, 1000);
  EXPECT_EQ(end.u.playback.bytes, 512u * 8);
  EXPECT_EQ(end.u.playback.reason, TAVRO_END_STOPPED);
  EXPECT_EQ(io_.StopPlaySound(), 1);
}

// The callback runs on a thread of the library, in order, and may call any operation,
// even a round trip to the box; closing the object from within it is refused.
TEST_F(Events, TheCallbackMayCallOperations) {
  struct Seen {
    std::mutex mutex;
    std::vector<uint8_t> codes;
    std::atomic<int> roundTrips{0};
    std::atomic<int> closeResult{0};
    std::thread::id thread;
  } seen;
  auto callback = [](CKusb_IO* io, const tavro_event* e, void* user) {
    auto* s = static_cast<Seen*>(user);
    if (e->kind != TAVRO_EVENT_DTMF) return;
    if (io->DetectRing() == 1) ++s->roundTrips;
    s->closeResult = tavro_close(io);
    std::lock_guard<std::mutex> lock(s->mutex);
    s->thread = std::this_thread::get_id();
    s->codes.push_back(e->u.dtmf.code);
  };
  ASSERT_EQ(tavro_events_set_callback(&io_, callback, &seen), 1);
  for (uint8_t code = 1; code <= 5; ++code) ASSERT_TRUE(box_.sendDtmf(code));
  ASSERT_TRUE(test::eventually([&] { return seen.roundTrips.load() == 5; }));
  ASSERT_EQ(tavro_events_set_callback(&io_, nullptr, nullptr), 1);
  std::lock_guard<std::mutex> lock(seen.mutex);
  EXPECT_EQ(seen.codes, (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_NE(seen.thread, std::this_thread::get_id());
  EXPECT_EQ(seen.closeResult.load(), -3);
}

// Hook events as the box reports them: when one is published the status word already says
// what it says, and a start compares with its own line, not with the last start's.
TEST(HookEvents, TheStatusWordAgreesAndEachStartBeginsOnHook) {
  test::RuntimeDir runtime;
  test::TestBox box;
  // The off-hook bit as each hook event was published, taken on the publishing thread.
  static std::atomic<int> published{0}, offHookBitAtPost{0};
  static AreaHooks spy = kAreaHooks;
  spy.publish = [](tavro_event& e) {
    if (e.kind == TAVRO_EVENT_HOOK && e.u.hook.off_hook == 1) {
      offHookBitAtPost += statusHas(kOffHookBit) ? 1 : 0;
      ++published;
    }
    events::publish(e, nullptr);
  };
  context().hooks.store(&spy);
  for (int start = 1; start <= 2; ++start) {
    SCOPED_TRACE(start);
    CKusb_IO io;
    ASSERT_TRUE(test::eventually([] { return !linkDown(); }));
    ASSERT_TRUE(box.sendHookStatus(true));
    settleBehind(box);
    EXPECT_EQ(published.load(), start);
    EXPECT_EQ(offHookBitAtPost.load(), start);
    // The object ends with the line last reported off hook.
  }
  context().hooks.store(&kAreaHooks);
}

TEST(EventsObject, ClosingWakesAWaiterAndEndsTheCallbackThread) {
  test::RuntimeDir runtime;
  CKusb_IO* io = tavro_open();
  ASSERT_NE(io, nullptr);
  ASSERT_EQ(tavro_events_set_callback(
                io, [](CKusb_IO*, const tavro_event*, void*) {}, nullptr),
            1);
  ASSERT_EQ(tavro_events_set_callback(io, nullptr, nullptr), 1);
  // Without a box nothing happens: the waiter waits until the close ends its wait (0), or
  // comes just after it and finds the object gone (-2); either way it never hangs.
  std::atomic<bool> started{false};
  std::atomic<int> waited{1};
  std::thread waiter([&] {
    tavro_event e;
    started = true;
    waited = tavro_event_wait(io, &e, -1);
  });
  ASSERT_TRUE(test::eventually([&] { return started.load(); }));
  EXPECT_EQ(tavro_close(io), 1);
  waiter.join();
  EXPECT_TRUE(waited == 0 || waited == -2) << waited;
}

}  // namespace
}  // namespace tavro
