// The device link's worker threads and the pieces of them that tests and fuzzers drive.
#ifndef TAVRO_DEVICE_THREADS_H
#define TAVRO_DEVICE_THREADS_H

#include <cstddef>
#include <cstdint>

#include "device/state.h"

namespace tavro {

void monitorThread(ThreadBlock& block);
void replyReaderThread(ThreadBlock& block);
void commandWriterThread(ThreadBlock& block);

// Applies one reply record of `size` received bytes (at most 64 are looked at; bytes that
// were not received read as zero) to the reply stores and the status word. Returns whether
// the record clears the pending bit.
bool dispatchReplyRecord(const uint8_t* record, size_t size);

// The test reply area that reply types 240 and 241 fill: the one of the object that owns
// the running library, else the caller's own. Use under state().storeMutex.
unsigned char* testReplyAreaOf(CKusb_IO* caller);

// The link-lost message, three lines.
extern const char* const kLinkLostMessage;

}  // namespace tavro

#endif  // TAVRO_DEVICE_THREADS_H
