// The bodies of the audio-in and audio-out worker threads, started by Create_WRWThd with
// their thread blocks (workers().audioIn, workers().audioOut). Each runs until its block's run
// flag is cleared and it is back in its wait for work, then clears its alive flag.
#ifndef TAVRO_AUDIO_AUDIO_THREADS_H
#define TAVRO_AUDIO_AUDIO_THREADS_H

#include "device/state.h"

namespace tavro {

void audioInThread(ThreadBlock& block);
void audioOutThread(ThreadBlock& block);

// For the library's stop: ends a recording in progress. The recorder gets about 2 s to
// see its record-go flag cleared; a read that the box leaves waiting longer is cut off, so
// that the recording is finished with what came and the stop never waits on the stream.
void endRecordingForStop();
// For the stop: the record-go flag cleared; the playback's stop request raised.
void askRecordingToEnd();
void askPlaybackToEnd();

// What the command channel asks of the audio area: a recording runs; the recorder is
// inside a batch of reads; a playback runs.
bool recordingRuns();
bool recorderReading();
bool playbackRunning();

}  // namespace tavro

#endif  // TAVRO_AUDIO_AUDIO_THREADS_H
// Note for every unbounded wait in these threads (waiting for the box's go-ahead, for host
// data, for the recorder hold to be released, ...): it also ends when linkState().stopping is 1,
// so that ExistUSB_IO never hangs; blocked pipe transfers are ended by cancelTransfers().
