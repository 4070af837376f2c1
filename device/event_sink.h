// Where the library's threads report what happens, for the applications' event queues.
// The device layer and the areas call the post functions at the moment a thing happens; they
// go to the queues through the publish hook (device/hooks.h). Each post is cheap and never
// blocks on the application.
#ifndef TAVRO_DEVICE_EVENT_SINK_H
#define TAVRO_DEVICE_EVENT_SINK_H

#include <atomic>
#include <cstdint>
#include <string>

#include "tavro/events.h"

namespace tavro {

// What the posts compare with, a component of the library context: each start begins with
// the line on hook, as its status word has it.
struct EventSinkState {
  std::atomic<uint8_t> lastHook{0};      // the hook state last reported: 0 on hook, 1 off hook
  std::atomic<int64_t> lastProgress{0};  // when progress was last reported, monotonic ns
  void reset();
};
EventSinkState& eventSinkState();

// Stamps the event with now, on the monotonic clock and on the wall clock.
void stampEvent(tavro_event& event);
// Stamps the event and hands it on.
void postEvent(tavro_event& event);
void postEvent(tavro_event_kind kind);  // an event without data: ring, link lost, link back
void postDtmf(uint8_t code);
void postTone(uint8_t first, uint16_t second);
// Reported only when the state differs from the last one reported.
void postHook(bool offHook, tavro_hook_cause cause);
// A recording (into a file, or a host-buffer stream) ended with `bytes` and the fault code
// the stop returns (0; -1 the link was lost; -5, -7, -8).
void postRecordingEnded(bool hostStream, int64_t bytes, int32_t fault);
// Playback progress, at most four a second, and the end of a pass with the fault code the
// stop returns (0; -1 the link failed; -5 the file could not be opened).
void postPlaybackProgress(uint32_t position, uint32_t length);
void postPlaybackEnded(uint32_t position, uint32_t length, int32_t fault);
// A notice as it is shown to the user.
void postNotice(const std::string& text);

// The key of a DTMF code: 1-9, 10 is '0', 11 '*', 12 '#', 13-16 'A'-'D'; '?' for others.
char dtmfKey(uint8_t code);

}  // namespace tavro

#endif  // TAVRO_DEVICE_EVENT_SINK_H
