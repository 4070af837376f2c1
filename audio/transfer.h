// The transfer-setup request that announces each recording and each played block.
#ifndef TAVRO_AUDIO_TRANSFER_H
#define TAVRO_AUDIO_TRANSFER_H

#include <cstdint>

#include "platform/backend.h"
#include "protocol/control.h"

namespace tavro {

// Vendor write of the setup block for `direction` (kAudioFromDevice, kAudioToDevice). True
// when the box accepted it.
inline bool transferSetup(platform::BackendDevice* control, uint8_t direction) {
  uint8_t setup[kTransferSetupSize] = {0, 0, 0, kTransferBlockSize, 0, direction};
  return control != nullptr &&
         control->vendorRequest(false, 0, kTransferSetupIndex, setup, kTransferSetupSize);
}

}  // namespace tavro

#endif  // TAVRO_AUDIO_TRANSFER_H
