#include "tavro/version.h"

namespace tavro {

const char* versionString() noexcept {
  return TAVRO_VERSION_STRING;
}

int versionNumber() noexcept {
  return TAVRO_VERSION_NUMBER;
}

}  // namespace tavro
