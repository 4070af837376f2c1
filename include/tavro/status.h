#ifndef TAVRO_STATUS_H
#define TAVRO_STATUS_H

#include <cstdint>

// The bits of the status word that GetTelStatus() returns.
namespace tavro {
inline constexpr uint32_t kCallerNumberBit = 0x00000001;  // a caller number waits to be read
inline constexpr uint32_t kOffHookBit = 0x00000002;       // the line is held off hook
inline constexpr uint32_t kInitialisedBit = 0x00000004;   // InitialUSB_IO has finished
inline constexpr uint32_t kPendingBit = 0x00000010;       // a command awaits its answer
inline constexpr uint32_t kReaderReadyBit = 0x00000080;   // the reply reader connected or gave up
inline constexpr uint32_t kLinkFaultBit = 0x00000100;     // the reply pipe failed; not all reopened
inline constexpr uint32_t kLinkDownBit = 0x00000200;      // the link is not usable
inline constexpr uint32_t kLinkLostBit = 0x00008000;      // the link failed at least once
inline constexpr uint32_t kToneBit = 0x00020000;          // a tone was reported
inline constexpr uint32_t kReply3Bit = 0x00040000;        // the box sent reply type 3
inline constexpr uint32_t kReply6Bit = 0x00080000;        // the box sent reply type 6
}  // namespace tavro

#endif  // TAVRO_STATUS_H
