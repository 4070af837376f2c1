// Internals of the recorder that tests reach.
#ifndef TAVRO_AUDIO_RECORDER_H
#define TAVRO_AUDIO_RECORDER_H

#include <cstdint>

namespace tavro {

// The largest recorded byte count a recording may reach (the count is a signed 32-bit
// value, and the wave file's sizes are 32 bits): a file recording is finished, with result
// -8, before its next read would pass it. Tests lower it; 0 restores the default.
void setRecordingLimit(int32_t bytes);

// Cuts off a read of the recorder that the box leaves waiting (it answers commands but has
// stopped streaming): the read fails at once and the recording is finished with the blocks
// received, its header written; the audio-in pipe is opened anew for the next recording.
// A recorder that is not inside a read batch is left alone. Waits at most about 2 s for
// the recording to end; true when the record-finished flag is then set.
bool cutOffRecording();

}  // namespace tavro

#endif  // TAVRO_AUDIO_RECORDER_H
