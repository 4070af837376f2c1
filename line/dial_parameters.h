// The dialling parameters that SetDialPara keeps for DialNmb.
#ifndef TAVRO_LINE_DIAL_PARAMETERS_H
#define TAVRO_LINE_DIAL_PARAMETERS_H

#include <cstdint>

#include "device/signalled.h"

namespace tavro {

// Kept from one start of the library to the next.
struct DialParameters {
  Signalled<uint32_t> dialPara1{0};
  Signalled<uint32_t> dialPara2{0};
  Signalled<uint32_t> dialPara3{0};
};

// The parameters of the library context in use.
DialParameters& dialParameters();

}  // namespace tavro

#endif  // TAVRO_LINE_DIAL_PARAMETERS_H
