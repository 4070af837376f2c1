// Waiting for the link to a box in tests.
#ifndef TAVRO_TESTS_SUPPORT_LINK_H
#define TAVRO_TESTS_SUPPORT_LINK_H

#include "device/state.h"
#include "support/conditions.h"
#include "tavro/CKusb_IO.h"

namespace tavro::test {

// True once the link is up, within the generous deadline. Construction waits only briefly
// for the box's pipes; on a loaded machine it may return with the link still coming up.
inline bool waitForLink(CKusb_IO& io) {
  return eventually([&] { return (io.GetTelStatus() & kLinkDownBit) == 0; });
}

}  // namespace tavro::test

#endif  // TAVRO_TESTS_SUPPORT_LINK_H
