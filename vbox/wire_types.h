// Messages and codes of the virtual wire, as the box sees them. Installed with the test double,
// so it stands alone: the values are the wire's own, and vbox/records.cpp checks at compile time
// that they equal the ones the library uses (protocol/).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <initializer_list>

namespace tavro::vbox {

using Packet = std::array<uint8_t, 64>;  // a command packet from the host (PIPE01)
using Record = std::array<uint8_t, 64>;  // a reply record to the host (PIPE00)
using Clock = std::chrono::steady_clock;

inline constexpr int kReplyPipe = 0;
inline constexpr int kCommandPipe = 1;
inline constexpr int kAudioInPipe = 2;
inline constexpr int kAudioOutPipe = 3;
inline constexpr int kPipeCount = 4;

inline constexpr uint32_t kVendorReadCode = 0x8000200C;
inline constexpr uint32_t kVendorWriteCode = 0x80002010;
inline constexpr uint32_t kPipeResetCode = 0x00220008;
inline constexpr uint32_t kClaimPipesCode = 0x0022000C;
inline constexpr uint32_t kHolderCode = 0x00220010;  // answers 4 bytes of pid, 16 of name
inline constexpr uint32_t kProbeIndex = 0x0472;
inline constexpr uint32_t kTransferSetupIndex = 0x0471;

inline constexpr const char kInterfaceClass[] = "{77F49321-16EF-11D2-AD51-006097B514DD}";

// Pads a byte list to a 64-byte record (extra bytes beyond 64 are cut).
Record makeRecord(std::initializer_list<uint8_t> bytes);

}  // namespace tavro::vbox
