// Starting a test binary under the umockdev preload, so that ctest needs no environment.
#ifndef TAVRO_TESTS_USB_PRELOAD_H
#define TAVRO_TESTS_USB_PRELOAD_H

namespace tavro::test {

// The first call starts the binary again with the preload (it does not return unless that
// fails: then false); in the restarted process it returns true at once. A sanitizer's
// runtime stays first in the preload list.
bool runUnderUmockdevPreload(char** argv);

}  // namespace tavro::test

#endif  // TAVRO_TESTS_USB_PRELOAD_H
