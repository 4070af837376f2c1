// The bodies of the audio-in and audio-out worker threads, started by Create_WRWThd with
// their thread blocks (state().audioIn, state().audioOut). Each runs until its block's run
// flag is cleared and it is back in its wait for work, then clears its alive flag.
#ifndef TAVRO_AUDIO_AUDIO_THREADS_H
#define TAVRO_AUDIO_AUDIO_THREADS_H

#include "device/state.h"

namespace tavro {

void audioInThread(ThreadBlock& block);
void audioOutThread(ThreadBlock& block);

}  // namespace tavro

#endif  // TAVRO_AUDIO_AUDIO_THREADS_H
// Note for every unbounded wait in these threads (waiting for the box's go-ahead, for host
// data, for the recorder hold to be released, ...): it also ends when state().stopping is 1,
// so that ExistUSB_IO never hangs; blocked pipe transfers are ended by cancelTransfers().
