// The command channel: command packets, the hand-over to the command writer thread and the
// command round trip that every device operation is made of.
#ifndef TAVRO_DEVICE_COMMAND_H
#define TAVRO_DEVICE_COMMAND_H

#include <array>
#include <chrono>
#include <cstdint>
#include <initializer_list>

namespace tavro {

inline constexpr size_t kPacketSize = 64;
using Packet = std::array<uint8_t, kPacketSize>;

// A packet whose first bytes are `head` and the rest zero.
Packet makePacket(std::initializer_list<uint8_t> head);

// The command-round-trip poll period.
inline constexpr std::chrono::milliseconds kCommandPoll{100};

// Write_Data_to_USB: hands the packet to the command writer. 1 posted; -2 the command
// writer is not running; -3 the previous command stayed pending (or the recorder did not
// pause) for 100 polls.
int writeDataToUsb(const uint8_t* packet);

// Waits for the answer to a command posted during link epoch `epoch`: looks now and after
// each of up to maxPolls polls of 100 ms; a time-out costs maxPolls + 1 polls, as
// documented. 1 answered; -1 the link was lost meanwhile (no answer can come any more);
// -3 time-out.
int awaitAnswer(uint32_t epoch, int maxPolls);

// The command round trip: -1 when the link is down (nothing sent), the send's code when
// it is below 1, -3 when no answer came within maxPolls polls, else 1. Callers from
// several threads queue one behind another.
int commandRoundTrip(const Packet& packet, int maxPolls);

}  // namespace tavro

#endif  // TAVRO_DEVICE_COMMAND_H
