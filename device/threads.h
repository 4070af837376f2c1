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

// The bodies of the audio-in and audio-out threads, which Create_WRWThd starts; given by
// the layer that assembles the library, before the first start.
void setAudioWorkers(void (*audioIn)(ThreadBlock&), void (*audioOut)(ThreadBlock&));
// What InitialUSB_IO calls to give every component of the state the values of a start.
void setStartValues(void (*reset)());
// How the stop asks the audio area to end: askRecordingToEnd clears the record-go flag;
// endRecording (called first by ExistUSB_IO, see endRecordingForStop) ends a recording in
// progress, so that no later step of the stop waits on a recorder that waits on the box;
// askPlaybackToEnd raises the playback's stop request.
void setAudioStop(void (*askRecordingToEnd)(), void (*endRecording)(), void (*askPlaybackToEnd)());

// True in a process forked from the one that runs the library: the library, its threads,
// descriptors and objects are the parent's, and nothing here may stop or join them.
bool libraryOfParent();

// The test reply area that reply types 240 and 241 fill: the one of the object that owns
// the running library, else the caller's own. Use under commandChannel().testAreaMutex.
unsigned char* testReplyAreaOf(CKusb_IO* caller);

}  // namespace tavro

#endif  // TAVRO_DEVICE_THREADS_H
