// Runs the tests under the umockdev preload.
#include <gtest/gtest.h>

#include "platform/usb/preload.h"

int main(int argc, char** argv) {
  if (!tavro::test::runUnderUmockdevPreload(argv)) return 1;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
