#include "device/reply_dispatch.h"

#include <array>
#include <cstring>

#include "device/hooks.h"
#include "platform/lasting.h"

namespace tavro {
namespace {

constexpr size_t kHandlersPerType = 4;

struct Table {
  std::array<std::array<ReplyHandler, kHandlersPerType>, 256> replies{};
  std::array<StatusItemHandler, 256> items{};
};

Table& table() {
  return lasting<Table>();
}

// The table with every area's handlers in it (added once, before the first look).
const Table& handlers() {
  static const bool added = (areaHooks().addReplyHandlers(), true);
  (void)added;
  return table();
}

}  // namespace

void addReplyHandler(Reply type, ReplyHandler handler) {
  for (auto& slot : table().replies[codeOf(type)]) {
    if (slot == nullptr) {
      slot = handler;
      return;
    }
  }
}

void addStatusItemHandler(StatusItemKind kind, StatusItemHandler handler) {
  table().items[codeOf(kind)] = handler;
}

bool dispatchReplyRecord(const uint8_t* received, size_t size) {
  // Bytes that were not received read as zero, never as a previous record's.
  uint8_t r[kRecordSize] = {};
  const size_t got = size < kRecordSize ? size : kRecordSize;
  std::memcpy(r, received, got);
  const ReplyRecord record{r, got};
  bool clear = true;
  for (ReplyHandler handler : handlers().replies[r[0]]) {
    if (handler == nullptr) break;
    if (handler(record) == Pending::kKeep) clear = false;
  }
  return clear;
}

void applyStatusItem(uint8_t kind, uint8_t value) {
  if (StatusItemHandler handler = handlers().items[kind]) handler(value);
}

}  // namespace tavro
