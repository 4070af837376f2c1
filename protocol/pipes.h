// The box's four pipes: their numbers, directions and the sizes of what they carry.
#ifndef TAVRO_PROTOCOL_PIPES_H
#define TAVRO_PROTOCOL_PIPES_H

#include <cstddef>

namespace tavro {

// PIPE00 reply records (device to host), PIPE01 command packets (host to device), PIPE02
// the audio-in byte stream (device to host), PIPE03 audio packets (host to device).
enum PipeNumber : int { kReplyPipe = 0, kCommandPipe = 1, kAudioInPipe = 2, kAudioOutPipe = 3 };
inline constexpr int kPipeCount = 4;
// Which pipes carry data from the device to the host.
inline constexpr bool kPipeIn[kPipeCount] = {true, false, true, false};

inline constexpr size_t kRecordSize = 64;        // a reply record
inline constexpr size_t kPacketSize = 64;        // a command packet
inline constexpr size_t kAudioPacketSize = 256;  // an audio-out packet

}  // namespace tavro

#endif  // TAVRO_PROTOCOL_PIPES_H
