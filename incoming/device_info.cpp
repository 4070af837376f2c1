// The box's type code, information block and flash.
#include <cstdio>
#include <mutex>

#include "device/binding.h"
#include "device/command.h"
#include "device/state.h"
#include "incoming/stores.h"
#include "tavro/CKusb_IO.h"

using namespace tavro;

namespace {

constexpr size_t kInfoSize = 11;
constexpr size_t kFlashBlocks = 4;
constexpr size_t kFlashBlockSize = 60;
constexpr size_t kFlashDataOffset = 4;

// Copies the first `n` bytes of the reply buffer, and a zero after them, to `out`.
void copyReply(unsigned char* out, size_t n) {
  MutexLock lock(replyStores().mutex);
  for (size_t i = 0; i < n; ++i) out[i] = replyStores().replyBuffer[i];
  out[n] = 0;
}

}  // namespace

int CKusb_IO::ReadQV_Type(unsigned char* type) {
  TAVRO_BIND_OBJECT();
  if (type == nullptr) return TAVRO_ERROR_INVALID_ARGUMENT;
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  const int rc = commandRoundTrip(commands::kReadType);
  if (rc < TAVRO_SUCCESS) return rc;
  copyReply(type, 1);
  return TAVRO_SUCCESS;
}

int CKusb_IO::ReadHSPInfo(unsigned char* info) {
  TAVRO_BIND_OBJECT();
  if (info == nullptr) return TAVRO_ERROR_INVALID_ARGUMENT;
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  const int rc = commandRoundTrip(commands::kReadInfo);
  if (rc < TAVRO_SUCCESS) return rc;
  copyReply(info, kInfoSize);
  return TAVRO_SUCCESS;
}

int CKusb_IO::WriteDataToFlash(unsigned char* data) {
  TAVRO_BIND_OBJECT();
  if (data == nullptr) return TAVRO_ERROR_INVALID_ARGUMENT;
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  for (size_t block = 0; block < kFlashBlocks; ++block) {
    Packet packet = makePacket(commands::kWriteFlash.code, {static_cast<uint8_t>(block)});
    for (size_t i = 0; i < kFlashBlockSize; ++i)
      packet[kFlashDataOffset + i] = data[block * kFlashBlockSize + i];
    // Any failure of a block is a time-out to the caller; blocks sent stay written.
    if (commandRoundTrip(packet, commands::kWriteFlash.polls, commands::kWriteFlash.answer) <
        TAVRO_SUCCESS)
      return TAVRO_ERROR_TIMEOUT;
  }
  return static_cast<int>(replyStores().acknowledgeByte.load(std::memory_order_acquire));
}
