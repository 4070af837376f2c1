// The transfer-setup request that announces each recording and each played block.
#ifndef TAVRO_AUDIO_TRANSFER_H
#define TAVRO_AUDIO_TRANSFER_H

#include <cstdint>

#include "platform/backend.h"
#include "platform/wire.h"

namespace tavro {

inline constexpr uint8_t kAudioFromDevice = 0x81;
inline constexpr uint8_t kAudioToDevice = 0x80;

// Vendor write of the setup block {address 0, 0, 0; size 64; direction}. True when the
// box accepted it.
inline bool transferSetup(platform::BackendDevice* control, uint8_t direction) {
  uint8_t setup[6] = {0, 0, 0, 64, 0, direction};
  return control != nullptr &&
         control->vendorRequest(false, 0, wire::kTransferSetupIndex, setup, sizeof setup);
}

}  // namespace tavro

#endif  // TAVRO_AUDIO_TRANSFER_H
