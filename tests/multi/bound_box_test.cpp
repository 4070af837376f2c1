// An object bound to a box by the path the device list gives it, over every transport the
// suites run on (the virtual wire, emulated USB by its port path): it records its box's
// line and, after an unplug, takes the same box again.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/conditions.h"
#include "support/runtime_dir.h"
#include "support/test_box.h"
#include "tavro/CKusb_IO.h"
#include "tavro/devices.h"
#include "tavro/events.h"
#include "vbox/audio.h"

namespace tavro {
namespace {

using namespace std::chrono_literals;
using test::eventually;

bool linkUp(CKusb_IO& io) {
  return (io.GetTelStatus() & kLinkDownBit) == 0;
}

TEST(BoundBox, TheListedPathBindsTheBoxAndItsReplug) {
  test::RuntimeDir runtime;
  test::TestBox box;
  box.setLineSource(vbox::LineSource::tone(1000));
  std::string path;
  ASSERT_TRUE(eventually([&] {
    for (const auto& d : listDevices().devices)
      if (d.state == DeviceState::kOpens) path = d.path;
    return !path.empty();
  }));
  if (test::overUsb()) {
    EXPECT_EQ(path.rfind("usb:", 0), 0u) << path;
  }

  CKusb_IO io(path.c_str());
  ASSERT_TRUE(eventually([&] { return linkUp(io); }));
  const std::string file = runtime.path() + "/bound.wav";
  ASSERT_EQ(io.StartReadSound(file.c_str(), 1), 1);
  ASSERT_TRUE(box.waitForFrames(box.framesSent() + 8, 10s));
  EXPECT_GT(io.StopReadSound(), 48);
  std::string error;
  const auto audio = vbox::readAlawWave(file, &error);
  ASSERT_TRUE(audio) << error;
  EXPECT_GT(audio->size(), 1000u);

  box.unplug();
  ASSERT_TRUE(eventually([&] { return !linkUp(io); }));
  box.plug();
  ASSERT_TRUE(eventually([&] { return linkUp(io); }));
  EXPECT_EQ(io.RequestSpaceCode(), 1);
}

}  // namespace
}  // namespace tavro
