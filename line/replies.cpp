// What the line area takes from the box's replies: the hook state the box holds.
#include "line/replies.h"

#include "device/event_sink.h"
#include "device/reply_dispatch.h"
#include "device/state.h"

namespace tavro {
namespace {

// The box reports the hook state it holds. The status word changes first, so that an
// application acting on the event finds the line as the event says.
void hookState(uint8_t value) {
  if (value == kOffHook)
    setStatusBits(kOffHookBit);
  else
    clearStatusBits(kOffHookBit);
  postHook(value == kOffHook, TAVRO_HOOK_BY_BOX);
}

}  // namespace

void addLineReplyHandlers() {
  addStatusItemHandler(StatusItemKind::kHookState, hookState);
}

}  // namespace tavro
