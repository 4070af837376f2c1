#include "device/event_sink.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "device/hooks.h"
#include "device/state.h"
#include "device/threads.h"
#include "tavro/result.h"

namespace tavro {
namespace {

constexpr int64_t kProgressInterval = 250'000'000;  // ns: at most four a second

int64_t nowOn(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

int64_t monotonicNow() {
  return nowOn(CLOCK_MONOTONIC);
}

tavro_event blank(tavro_event_kind kind) {
  tavro_event e;
  std::memset(&e, 0, sizeof e);
  e.kind = kind;
  return e;
}

int32_t permille(uint32_t position, uint32_t length) {
  if (length == 0) return 0;
  const uint64_t p = uint64_t{position} * 1000 / length;
  return static_cast<int32_t>(p > 1000 ? 1000 : p);
}

uint8_t endReason(int32_t fault) {
  switch (fault) {
    case TAVRO_ERROR_LINK_DOWN:
      return TAVRO_END_LINK_LOST;
    case TAVRO_ERROR_FILE:
      return TAVRO_END_FILE_ERROR;
    case TAVRO_ERROR_DISK_FULL:
      return TAVRO_END_DISK_FULL;
    case TAVRO_ERROR_SIZE_LIMIT:
      return TAVRO_END_SIZE_LIMIT;
    default:
      return linkDown() ? TAVRO_END_LINK_LOST : TAVRO_END_STOPPED;
  }
}

}  // namespace

void EventSinkState::reset() {
  lastHook.store(0);
  lastProgress.store(0);
}

void stampEvent(tavro_event& event) {
  event.time_ns = monotonicNow();
  event.wall_time_ns = nowOn(CLOCK_REALTIME);
}

void postEvent(tavro_event& event) {
  stampEvent(event);
  areaHooks().publish(event);
}

void postEvent(tavro_event_kind kind) {
  tavro_event e = blank(kind);
  postEvent(e);
}

char dtmfKey(uint8_t code) {
  static const char kKeys[] = "?1234567890*#ABCD";
  return code < sizeof kKeys - 1 ? kKeys[code] : '?';
}

void postDtmf(uint8_t code) {
  tavro_event e = blank(TAVRO_EVENT_DTMF);
  e.u.dtmf.code = code;
  e.u.dtmf.key = dtmfKey(code);
  postEvent(e);
}

void postTone(uint8_t first, uint16_t second) {
  tavro_event e = blank(TAVRO_EVENT_TONE);
  e.u.tone.first = first;
  e.u.tone.second = second;
  e.u.tone.tone = second > kToneThreshold ? 1 : 0;
  postEvent(e);
}

void postHook(bool offHook, tavro_hook_cause cause) {
  if (eventSinkState().lastHook.exchange(offHook ? 1 : 0) == (offHook ? 1 : 0)) return;
  tavro_event e = blank(TAVRO_EVENT_HOOK);
  e.u.hook.off_hook = offHook ? 1 : 0;
  e.u.hook.cause = static_cast<uint8_t>(cause);
  postEvent(e);
}

void postRecordingEnded(bool hostStream, int64_t bytes, int32_t fault) {
  tavro_event e = blank(hostStream ? TAVRO_EVENT_STREAM_ENDED : TAVRO_EVENT_RECORDING_ENDED);
  e.u.recording.bytes = static_cast<int32_t>(std::min<int64_t>(bytes, INT32_MAX));
  e.u.recording.reason = endReason(fault);
  postEvent(e);
}

void postPlaybackProgress(uint32_t position, uint32_t length) {
  const int64_t now = monotonicNow();
  std::atomic<int64_t>& lastProgress = eventSinkState().lastProgress;
  int64_t last = lastProgress.load();
  if (now - last < kProgressInterval || !lastProgress.compare_exchange_strong(last, now)) return;
  tavro_event e = blank(TAVRO_EVENT_PLAYBACK_PROGRESS);
  e.u.playback.permille = permille(position, length);
  e.u.playback.bytes = position;
  postEvent(e);
}

void postPlaybackEnded(uint32_t position, uint32_t length, int32_t fault) {
  tavro_event e = blank(TAVRO_EVENT_PLAYBACK_ENDED);
  e.u.playback.permille = permille(position, length);
  e.u.playback.bytes = position;
  e.u.playback.reason = endReason(fault);
  postEvent(e);
}

void postNotice(const std::string& text) {
  tavro_event e = blank(TAVRO_EVENT_NOTICE);
  e.u.notice.code = tavro_notice_code(text.c_str());
  std::strncpy(e.u.notice.text, text.c_str(), sizeof e.u.notice.text - 1);
  postEvent(e);
}

}  // namespace tavro
