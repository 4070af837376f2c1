// The driver's requests on the box's control channel: their codes, the two vendor
// requests (the device probe and the transfer setup) and the answers to the claim.
#ifndef TAVRO_PROTOCOL_CONTROL_H
#define TAVRO_PROTOCOL_CONTROL_H

#include <cstddef>
#include <cstdint>

namespace tavro {

inline constexpr uint32_t kVendorRead = 0x8000200C;   // device probe
inline constexpr uint32_t kVendorWrite = 0x80002010;  // transfer setup
inline constexpr uint32_t kPipeReset = 0x00220008;
// Asks whether the pipes may be taken by the asking program; a box that does not know it
// answers failure, as for any unknown code.
inline constexpr uint32_t kClaimPipes = 0x0022000C;
// Asks which program holds the box: its process id (4 bytes, little-endian) and its name
// (16 bytes, zero-padded). Answered to any program while the box is held, failure otherwise;
// a box that does not know it answers failure.
inline constexpr uint32_t kHolder = 0x00220010;
inline constexpr uint16_t kHolderSize = 20;
inline constexpr size_t kHolderNameSize = 16;
// Asks a shared box (one that tavrod publishes for a box it holds) what it stands for: text
// of kSharingSize bytes, zero-padded, lines "backend", "device path", "description",
// "programs using it". Any other box answers failure, as for an unknown code.
inline constexpr uint32_t kSharing = 0x00220014;
inline constexpr uint16_t kSharingSize = 256;

// The index of each vendor request; their value is 0.
inline constexpr uint32_t kProbeIndex = 0x0472;          // a vendor read of one byte
inline constexpr uint32_t kTransferSetupIndex = 0x0471;  // a vendor write of the setup block

// The transfer-setup block: {address 0, 0, 0; size 64; direction}.
inline constexpr uint16_t kTransferSetupSize = 6;
inline constexpr uint8_t kTransferBlockSize = 64;
inline constexpr uint8_t kAudioFromDevice = 0x81;  // before a recording
inline constexpr uint8_t kAudioToDevice = 0x80;    // before each played block

// The one data byte of a successful answer to kClaimPipes.
inline constexpr uint8_t kClaimGranted = 1;
inline constexpr uint8_t kClaimBusy = 2;

// The first byte of every answer.
inline constexpr uint8_t kAnswerSuccess = 1;
inline constexpr uint8_t kAnswerFailure = 0;

// A control transfer's data stage has a 16-bit length on the bus.
inline constexpr uint32_t kMaxDataStage = 0xFFFF;

}  // namespace tavro

#endif  // TAVRO_PROTOCOL_CONTROL_H
