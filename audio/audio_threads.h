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
