// A library object running against a virtual box of its own, in a fresh publish folder.
#ifndef TAVRO_TESTS_SUPPORT_BOX_FIXTURE_H
#define TAVRO_TESTS_SUPPORT_BOX_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "device/command.h"
#include "device/state.h"
#include "platform/platform.h"
#include "support/conditions.h"
#include "support/runtime_dir.h"
#include "support/scaled_time.h"
#include "support/test_box.h"
#include "tavro/CKusb_IO.h"
#include "vbox/virtual_box.h"

namespace tavro::test {

class LineFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(linkDown());
    ASSERT_TRUE(box_.waitForPipes(std::chrono::seconds(10)));
    box_.clearLog();
  }
  // A command left unanswered by the test is given up, so that the stop need not wait
  // for it.
  void TearDown() override {
    box_.setSilent(false);
    box_.setResponder({});
    clearStatusBits(kPendingBit);
  }

  // The packets that reached the box since the last call: a space-code request is sent
  // behind them, so that everything posted before it has arrived.
  std::vector<vbox::Packet> sentPackets() {
    std::vector<vbox::Packet> out;
    if (io_.RequestSpaceCode() != 1) {
      ADD_FAILURE() << "the closing request was not answered";
      return out;
    }
    // Any record that comes while the request waits ends it, also one sent before it.
    eventually([&] {
      const auto logged = box_.commands();
      return !logged.empty() && logged.back().packet == makePacket({14});
    });
    for (const auto& c : box_.commands()) out.push_back(c.packet);
    box_.clearLog();
    if (out.empty() || out.back() != makePacket({14})) {
      ADD_FAILURE() << "the closing request did not arrive last";
      return out;
    }
    out.pop_back();
    return out;
  }

  RuntimeDir runtime_;
  test::TestBox box_;
  CKusb_IO io_;
};

}  // namespace tavro::test

#endif  // TAVRO_TESTS_SUPPORT_BOX_FIXTURE_H
