// The virtual box a suite drives, reached over the transport its test binary runs on: the
// virtual wire, or emulated USB. Over USB the box is bridged to an emulated USB device
// (tests/platform/usb) and the library looks at USB only, so that the same test runs the library's
// USB path against the same box behaviour.
//
// TAVRO_TEST_TRANSPORT=usb picks USB; ctest sets it for the suites' runs labelled "usb".
// Such a binary has transport_main.cpp as its main, which starts it under the umockdev
// preload and sets TAVRO_BACKENDS and TAVRO_USB_IDS for the emulated box.
#ifndef TAVRO_TESTS_SUPPORT_TEST_BOX_H
#define TAVRO_TESTS_SUPPORT_TEST_BOX_H

#include <gtest/gtest.h>

#include <memory>

#include "vbox/virtual_box.h"

namespace tavro::test {

enum class Transport { kWire, kUsb };
Transport testTransport();
inline bool overUsb() {
  return testTransport() == Transport::kUsb;
}

// The USB ids the emulated box has.
inline constexpr char kEmulatedBoxIds[] = "1d50:6a01";

// For a test of something only the virtual wire has (its sockets, its connections).
#define TAVRO_SKIP_OVER_USB(why) \
  if (::tavro::test::overUsb()) GTEST_SKIP() << "not over USB: " << why

class TestBox : public vbox::VirtualBox {
 public:
  // Over USB the caller sets TAVRO_BACKENDS=usb and TAVRO_USB_IDS=kEmulatedBoxIds before
  // the library starts (transport_main.cpp does for a whole binary).
  explicit TestBox(vbox::BoxOptions options = {}, Transport transport = testTransport());
  ~TestBox();
  TestBox(const TestBox&) = delete;
  TestBox& operator=(const TestBox&) = delete;

  // Over USB the emulated device leaves with the box and comes back after it.
  void plug();
  void unplug();
  // The next transfers on one pipe fail, the link staying up: the box closes that pipe's
  // connection; over USB the emulated device stalls the pipe (until the host clears it).
  void failPipe(int pipe);

 private:
  struct Usb;
  std::unique_ptr<Usb> usb_;
};

}  // namespace tavro::test

#endif  // TAVRO_TESTS_SUPPORT_TEST_BOX_H
