// The main of a suite that runs over the virtual wire and over emulated USB (test_box.h).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "support/test_box.h"
#ifdef TAVRO_TEST_USB
#include "platform/usb/preload.h"
#endif

int main(int argc, char** argv) {
  if (tavro::test::overUsb()) {
#ifdef TAVRO_TEST_USB
    if (!tavro::test::runUnderUmockdevPreload(argv)) return 1;
    // The library sees the emulated box only, by its configured ids.
    setenv("TAVRO_BACKENDS", "usb", 1);
    setenv("TAVRO_USB_IDS", tavro::test::kEmulatedBoxIds, 1);
#else
    std::fprintf(stderr, "built without the USB emulation\n");
    return 1;
#endif
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
