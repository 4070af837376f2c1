// The command channel: command packets, the hand-over to the command writer thread and the
// command round trip that every device operation is made of.
#ifndef TAVRO_DEVICE_COMMAND_H
#define TAVRO_DEVICE_COMMAND_H

#include <array>
#include <chrono>
#include <cstdint>
#include <initializer_list>

#include "protocol/packets.h"

namespace tavro {

using Packet = std::array<uint8_t, kPacketSize>;

// A packet whose first bytes are `head` and the rest zero (raw bytes, as tests write them).
Packet makePacket(std::initializer_list<uint8_t> head);
// The packet of command `code` with `args` from byte 1 on and the rest zero.
Packet makePacket(Command code, std::initializer_list<uint8_t> args = {});

// The command-round-trip poll period.
inline constexpr std::chrono::milliseconds kCommandPoll{100};

// Write_Data_to_USB: hands the packet to the command writer. 1 posted; -2 the command
// writer is not running; -3 the previous command stayed pending (or the recorder did not
// pause) for 100 polls. `answer`, when given, names the records that answer it (see
// CommandSpec); *post then gets the command's number, by which awaitAnswer knows its answer.
// `epoch`, when given, is the link epoch the round trip began in: the packet is posted only
// while the link is up in it, else -1 (nothing sent).
int writeDataToUsb(const uint8_t* packet, AnswerMatch answer = nullptr, uint64_t* post = nullptr,
                   const uint32_t* epoch = nullptr);

// The link was lost: a new link epoch begins and the command pending in the old one ends
// (its answer cannot come), both at once for a post.
void endLinkEpoch();

// The count of commands posted, taken right after a record was read. settlePending, after
// the record's dispatch, then clears the pending bit only if no command was posted since (a
// record that came before a command is never its answer), and, while the command waits for
// its own answer, only when the record is one.
uint64_t commandsPosted();
void settlePending(uint64_t posted, const uint8_t* record, bool clears);

// True while a playback runs (the box is then not asked for its flags value).
bool playbackRuns();

// Waits for the answer to command number `post` (0: to whichever command is pending),
// posted during link epoch `epoch`: looks now and after each of up to maxPolls polls of
// 100 ms; a time-out costs maxPolls + 1 polls, as documented. 1 answered; -1 the link was
// lost meanwhile (no answer can come any more); -3 time-out.
int awaitAnswer(uint32_t epoch, int maxPolls, uint64_t post = 0);

// The command round trip: -1 when the link is down (nothing sent), the send's code when
// it is below 1, -3 when no answer came within maxPolls polls, else 1. Callers from
// several threads queue one behind another. With `attempts` above 1 an unanswered packet
// is sent again, within the same turn, up to that many times in all; *unanswered, when
// given, counts the attempts that went out and got no answer. `answer`: the records that
// answer it (CommandSpec); others do not end its wait.
int commandRoundTrip(const Packet& packet, int maxPolls, AnswerMatch answer = nullptr,
                     int attempts = 1, int* unanswered = nullptr);
// The round trip of `command` with `args` from byte 1 on, within the command's poll limit,
// ended by the command's answer.
int commandRoundTrip(const CommandSpec& command, std::initializer_list<uint8_t> args = {});

}  // namespace tavro

#endif  // TAVRO_DEVICE_COMMAND_H
