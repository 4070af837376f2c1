// The reply dispatch: what each reply type and each status item does is registered by the
// area that owns what it changes; the reply reader only looks the record up.
#ifndef TAVRO_DEVICE_REPLY_DISPATCH_H
#define TAVRO_DEVICE_REPLY_DISPATCH_H

#include <cstddef>
#include <cstdint>

#include "protocol/records.h"

namespace tavro {

// Whether a record ends the wait of a pending command.
enum class Pending { kClear, kKeep };

// A reply record as the handlers see it: 64 bytes, those past `received` zero.
struct ReplyRecord {
  const uint8_t* bytes;
  size_t received;
  uint8_t operator[](size_t i) const { return bytes[i]; }
};

using ReplyHandler = Pending (*)(const ReplyRecord& record);
using StatusItemHandler = void (*)(uint8_t value);

// Adds a handler for a reply type; the handlers of one type run in the order they were
// added. The record clears the pending bit unless one of them keeps it; a type without
// handlers changes nothing and clears it. Handlers are added only from the
// addReplyHandlers hook (device/hooks.h, where their order is set), once.
void addReplyHandler(Reply type, ReplyHandler handler);
void addStatusItemHandler(StatusItemKind kind, StatusItemHandler handler);

// Applies one reply record of `size` received bytes (at most 64 are looked at; bytes that
// were not received read as zero). Returns whether the record clears the pending bit.
bool dispatchReplyRecord(const uint8_t* record, size_t size);

// Applies one status item {kind, value}; unknown kinds change nothing.
void applyStatusItem(uint8_t kind, uint8_t value);

// The device layer's own replies: the status-word bits, the status items, the test reply.
void addLinkReplyHandlers();

}  // namespace tavro

#endif  // TAVRO_DEVICE_REPLY_DISPATCH_H
