// Fuzz target: sequences of reply records as the box might send them, dispatched into the
// reply stores, and the stored caller-number record decoded after each one.
//
// Input: chunks of [length byte (taken modulo 65)][that many record bytes].
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "device/state.h"
#include "device/threads.h"
#include "incoming/caller_number.h"
#include "incoming/stores.h"
#include "tavro/notice.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    tavro::setNoticeHandler([](const std::string&) {});
    return true;
  }();
  (void)quiet;
  tavro::storeStatusWord(tavro::kInitialisedBit);
  size_t at = 0;
  while (at < size) {
    const size_t length = std::min<size_t>(data[at] % 65, size - at - 1);
    ++at;
    tavro::dispatchReplyRecord(data + at, length);
    at += length;

    uint8_t record[64];
    {
      tavro::MutexLock lock(tavro::replyStores().mutex);
      std::memcpy(record, tavro::replyStores().callerNumberRecord.data(), sizeof record);
    }
    char number[tavro::kCallerNumberSize];
    if (tavro::parseCallerNumber(record, sizeof record, number) == tavro::kNumberWritten &&
        std::strlen(number) >= tavro::kCallerNumberSize)
      __builtin_trap();
  }
  return 0;
}
