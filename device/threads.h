// The device link's worker threads and the pieces of them that tests and fuzzers drive.
#ifndef TAVRO_DEVICE_THREADS_H
#define TAVRO_DEVICE_THREADS_H

#include <cstddef>
#include <cstdint>

#include "device/notices.h"
#include "device/reply_dispatch.h"
#include "device/state.h"

namespace tavro {

void monitorThread(ThreadBlock& block);
void replyReaderThread(ThreadBlock& block);
void commandWriterThread(ThreadBlock& block);

// True in a process forked from the one that runs the library: the library, its threads,
// descriptors and objects are the parent's, and nothing here may stop or join them.
bool libraryOfParent();

// The test reply area of `io`, which the lock guards (the area is in the public class,
// where the analysis cannot see the lock).
unsigned char* testReplyArea(CKusb_IO& io) TAVRO_REQUIRES(commandChannel().testAreaMutex);

// The test reply area that reply types 240 and 241 fill: the one of the object that owns
// the running library, else the caller's own.
unsigned char* testReplyAreaOf(CKusb_IO* caller) TAVRO_REQUIRES(commandChannel().testAreaMutex);

}  // namespace tavro

#endif  // TAVRO_DEVICE_THREADS_H
