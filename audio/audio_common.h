// Pieces the recorder, the player and the host buffers share.
#ifndef TAVRO_AUDIO_AUDIO_COMMON_H
#define TAVRO_AUDIO_AUDIO_COMMON_H

#include <cstdint>

#include "device/signalled.h"

namespace tavro {

// True while the library is being stopped and every unbounded wait is to end.
bool audioStopping();

// Waits briefly for an audio thread that has just finished to be back in its wait for
// work (its start flag cleared), so that a new start is not mistaken for the old one.
void awaitBackInWait(Signalled<uint8_t>& startFlag);

// The play-status command {on, mode, param, flag}: 1 answered, -1 link down, -3 no answer, or the
// send's code.
int sendPlayStatus(uint8_t on, uint8_t mode, uint8_t param, uint8_t flag);

}  // namespace tavro

#endif  // TAVRO_AUDIO_AUDIO_COMMON_H
