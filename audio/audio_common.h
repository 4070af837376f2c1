// Pieces the audio threads, the audio operations and the host buffers share.
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

// The length of a file that can be played: false when it cannot be read or is too long
// for the 32-bit positions.
bool playableLength(const char* name, uint32_t* length);

// The box's audio-in stream as the library switches it. Every switch on is counted under a
// lock. A recording that ended without its stop (a fault, a lost link) has the stream
// switched off by the recorder, under the same lock and only when nothing switched it on
// since, so that the switch on of a later start is never undone.
// The record-status command {on, mode}, a switch on counted: 1 answered, -1 link down, -3 no
// answer, or the send's code.
int switchRecordStream(bool on, int mode);
// The switches on so far.
uint64_t recordStreamStarts();
// Switches the stream off, unless it was switched on again after `starts` switches on.
void switchStreamOff(uint64_t starts);

}  // namespace tavro

#endif  // TAVRO_AUDIO_AUDIO_COMMON_H
