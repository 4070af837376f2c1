// Bytes as the box's log shows them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "vbox/wire_types.h"

namespace tavro::vbox {

std::string hexBytes(const uint8_t* p, size_t n);  // "07 05 00"
// The bytes of a packet or record up to its last non-zero byte (at least the first).
std::string packetText(const Packet& p);

}  // namespace tavro::vbox
