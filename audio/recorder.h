// Internals of the recorder that tests reach.
#ifndef TAVRO_AUDIO_RECORDER_H
#define TAVRO_AUDIO_RECORDER_H

#include <cstdint>

namespace tavro {

// The largest recorded byte count a recording may reach (the count is a signed 32-bit
// value, and the wave file's sizes are 32 bits): a file recording is finished, with result
// -8, before its next read would pass it. Tests lower it; 0 restores the default.
void setRecordingLimit(int32_t bytes);

}  // namespace tavro

#endif  // TAVRO_AUDIO_RECORDER_H
