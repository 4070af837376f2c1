// The box's interface class and where the virtual wire publishes it.
#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace tavro::platform {

const InterfaceClass kBoxInterfaceClass = {{0x21, 0x93, 0xF4, 0x77, 0xEF, 0x16, 0xD2, 0x11, 0xAD,
                                            0x51, 0x00, 0x60, 0x97, 0xB5, 0x14, 0xDD}};

std::string interfaceClassName(const InterfaceClass& cls) {
  const uint8_t* b = cls.bytes;
  // The record holds the first three fields little-endian, the last eight bytes as they are.
  char text[39];
  std::snprintf(text, sizeof text,
                "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[3],
                b[2], b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9], b[10], b[11], b[12], b[13],
                b[14], b[15]);
  return text;
}

std::string registryRoot() {
  return wire::registryRoot();
}

std::string classDirectory(const InterfaceClass& cls) {
  return registryRoot() + "/" + interfaceClassName(cls);
}

}  // namespace tavro::platform
