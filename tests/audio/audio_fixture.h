// A library object against a virtual box of its own, in a fresh publish folder, with a scratch
// folder for audio files and a record of the notices shown.
#ifndef TAVRO_TESTS_AUDIO_AUDIO_FIXTURE_H
#define TAVRO_TESTS_AUDIO_AUDIO_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "device/command.h"
#include "device/state.h"
#include "platform/platform.h"
#include "support/conditions.h"
#include "support/runtime_dir.h"
#include "support/scaled_time.h"
#include "support/test_box.h"
#include "tavro/CKusb_IO.h"
#include "tavro/events.h"
#include "tavro/notice.h"
#include "vbox/virtual_box.h"

namespace tavro::test {

class NoticeLog {
 public:
  NoticeLog() {
    previous_ = setNoticeHandler([this](const std::string& text) {
      std::lock_guard<std::mutex> lock(mutex_);
      texts_.push_back(text);
    });
  }
  ~NoticeLog() { setNoticeHandler(previous_); }
  // What was shown so far: the notices raised are shown first, on their own thread.
  std::vector<std::string> texts() const {
    EXPECT_TRUE(platform::awaitNoticesDelivered(std::chrono::seconds(20)));
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> texts_;
  NoticeHandler previous_;
};

inline std::vector<uint8_t> readBytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeBytes(const std::filesystem::path& p, const std::vector<uint8_t>& bytes) {
  std::ofstream out(p, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t{b[at + 3]} << 24;
}

class AudioBoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // On a busy machine the pipes may open only after the constructor's wait.
    ASSERT_TRUE(eventually([] { return !linkDown(); }));
    ASSERT_TRUE(box_.waitForPipes(std::chrono::seconds(10)));
    box_.clearLog();
  }

  std::string file(const std::string& name) const { return runtime_.path() + "/" + name; }

  // The command packets that reached the box since the last call, in order: a space-code
  // request is sent behind them, so that everything posted before it has arrived.
  std::vector<vbox::Packet> sentPackets() {
    std::vector<vbox::Packet> out;
    if (io_.RequestSpaceCode() != 1) {
      ADD_FAILURE() << "the closing request was not answered";
      return out;
    }
    // A go-ahead of a playback may clear the pending bit before the request has arrived.
    eventually([&] {
      const auto logged = box_.commands();
      return !logged.empty() && logged.back().packet == makePacket({14});
    });
    for (const auto& c : box_.commands()) out.push_back(c.packet);
    box_.clearLog();
    if (out.empty() || out.back() != makePacket({14})) {
      std::string codes;
      for (const auto& p : out) codes += " " + std::to_string(p[0]) + "/" + std::to_string(p[1]);
      ADD_FAILURE() << "the closing request did not arrive last:" << codes;
      return out;
    }
    out.pop_back();
    return out;
  }

  // The next event of `kind` from the object's queue (the events before it are dropped);
  // std::nullopt when none comes within a generous deadline.
  std::optional<tavro_event> nextEvent(uint32_t kind) {
    const auto deadline = std::chrono::steady_clock::now() + kGenerous;
    tavro_event e{};
    while (std::chrono::steady_clock::now() < deadline)
      if (tavro_event_wait(&io_, &e, 100) == 1 && e.kind == kind) return e;
    return std::nullopt;
  }

  void offHook() { setStatusBits(kOffHookBit); }
  void onHook() { clearStatusBits(kOffHookBit); }

  RuntimeDir runtime_;
  NoticeLog notices_;
  test::TestBox box_;
  CKusb_IO io_;
};

}  // namespace tavro::test

#endif  // TAVRO_TESTS_AUDIO_AUDIO_FIXTURE_H
