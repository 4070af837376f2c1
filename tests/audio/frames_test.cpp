// The recorder's block handling: in-step check, status bytes, realignment.
#include "audio/frames.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "tavro/status.h"

namespace tavro {
namespace {

std::vector<uint8_t> frame(uint8_t status, uint8_t fill) {
  std::vector<uint8_t> f(kFrameSize, fill);
  std::memcpy(f.data(), "stcq", 4);
  f[4] = status;
  f[5] = 0x77;
  return f;
}

std::vector<uint8_t> block(uint8_t status1, uint8_t status2) {
  std::vector<uint8_t> b = frame(status1, 0x11);
  const std::vector<uint8_t> second = frame(status2, 0x22);
  b.insert(b.end(), second.begin(), second.end());
  return b;
}

TEST(Frames, InStepBlockYieldsBothPayloadsInOrder) {
  std::vector<uint8_t> b = block(0x80, 0x80);
  for (size_t i = 0; i < kFramePayload; ++i) {
    b[6 + i] = static_cast<uint8_t>(i);
    b[kFrameSize + 6 + i] = static_cast<uint8_t>(255 - i);
  }
  std::array<uint8_t, kBlockPayload> payload{};
  const BlockResult r = handleBlock(b.data(), b.size(), payload.data());
  EXPECT_TRUE(r.inStep);
  EXPECT_EQ(r.realign, 0u);
  for (size_t i = 0; i < kFramePayload; ++i) {
    ASSERT_EQ(payload[i], static_cast<uint8_t>(i));
    ASSERT_EQ(payload[kFramePayload + i], static_cast<uint8_t>(255 - i));
  }
}

TEST(Frames, StatusBytesSetToneAndClearOffHook) {
  struct Case {
    uint8_t status;
    uint32_t set, clear;
  };
  const Case cases[] = {{0x81, 0, 0},
                        {0x83, 0, 0},
                        {0x01, kToneBit, 0},
                        {0x02, 0, kOffHookBit},
                        {0x03, kToneBit, kOffHookBit},
                        {0x00, 0, 0},
                        {0x7C, 0, 0}};
  std::array<uint8_t, kBlockPayload> payload{};
  for (const Case& c : cases) {
    // The byte counts in either frame.
    for (int which = 0; which < 2; ++which) {
      const std::vector<uint8_t> b = which == 0 ? block(c.status, 0x80) : block(0x80, c.status);
      const BlockResult r = handleBlock(b.data(), b.size(), payload.data());
      EXPECT_EQ(r.setBits, c.set) << int(c.status);
      EXPECT_EQ(r.clearBits, c.clear) << int(c.status);
    }
  }
  const std::vector<uint8_t> b = block(0x01, 0x02);
  const BlockResult r = handleBlock(b.data(), b.size(), payload.data());
  EXPECT_EQ(r.setBits, kToneBit);
  EXPECT_EQ(r.clearBits, kOffHookBit);
}

TEST(Frames, OutOfStepBlockFindsTheNextFrameStart) {
  std::array<uint8_t, kBlockPayload> payload{};
  payload.fill(0xEE);
  for (size_t k = 0; k <= 4; ++k) {
    std::vector<uint8_t> b(kBlockSize, 0x55);
    if (k < 4) std::memcpy(b.data() + 64 * k, "stcq", 4);
    if (k == 0) b[kFrameSize] = 0;  // only the second marker is missing
    const BlockResult r = handleBlock(b.data(), b.size(), payload.data());
    EXPECT_FALSE(r.inStep);
    EXPECT_EQ(r.realign, 64 * k);
    EXPECT_EQ(r.setBits | r.clearBits, 0u);
  }
  EXPECT_EQ(payload[0], 0xEE) << "nothing is taken from an out-of-step block";
  // A marker behind 192 does not count, even at a frame boundary.
  std::vector<uint8_t> b(kBlockSize, 0x55);
  std::memcpy(b.data() + kFrameSize, "stcq", 4);
  EXPECT_EQ(handleBlock(b.data(), b.size(), payload.data()).realign, 256u);
}

TEST(Frames, ShortOrMissingInputIsOutOfStepAndStaysInBounds) {
  std::array<uint8_t, kBlockPayload> payload{};
  const std::vector<uint8_t> full = block(0x80, 0x80);
  for (size_t size : {size_t{0}, size_t{3}, size_t{4}, size_t{259}, size_t{511}}) {
    // An exact-size copy, so that a read past `size` is caught by the sanitizers.
    std::vector<uint8_t> b(full.begin(), full.begin() + static_cast<long>(size));
    const BlockResult r = handleBlock(size ? b.data() : nullptr, size, payload.data());
    EXPECT_FALSE(r.inStep) << size;
    EXPECT_EQ(r.realign, size >= 4 ? 0u : 256u) << size;
  }
  EXPECT_FALSE(handleBlock(nullptr, kBlockSize, payload.data()).inStep);
}

// What is thrown away before a recording may end anywhere in a frame: the rest of that frame
// is reckoned from the last marker, also when the next frame has begun with part of its own.
TEST(Frames, TheRestOfTheLastFrameIsReckonedFromItsMarker) {
  std::vector<uint8_t> stream = frame(0, 0x55);
  const std::vector<uint8_t> next = frame(0, 0x66);
  stream.insert(stream.end(), next.begin(), next.end());
  for (size_t end :
       {size_t{256}, size_t{257}, size_t{259}, size_t{260}, size_t{356}, size_t{512}}) {
    // The last 260 bytes (or fewer) received, in an exact-size copy.
    const size_t from = end > kFrameSize + 4 ? end - (kFrameSize + 4) : 0;
    const std::vector<uint8_t> tail(stream.begin() + static_cast<long>(from),
                                    stream.begin() + static_cast<long>(end));
    EXPECT_EQ(restOfLastFrame(tail.data(), tail.size()), (512 - end) % 256) << end;
  }
  const std::vector<uint8_t> noFrames(300, 0x55);
  EXPECT_EQ(restOfLastFrame(noFrames.data(), noFrames.size()), 0u);
  EXPECT_EQ(restOfLastFrame(nullptr, 0), 0u);
}

// Played audio goes out in whole packets: what is short of one is silence, never stale
// bytes, and nothing past the packet is touched.
TEST(Frames, ShortAudioIsMadeUpWithSilenceToWholePackets) {
  for (size_t n : {size_t{0}, size_t{1}, size_t{255}, size_t{256}, size_t{257}, size_t{512}}) {
    std::vector<uint8_t> data(kBlockSize + 1, 0x11);
    const size_t whole = padToPackets(data.data(), n);
    EXPECT_EQ(whole, (n + 255) / 256 * 256) << n;
    for (size_t i = 0; i < data.size(); ++i)
      ASSERT_EQ(data[i], i >= n && i < whole ? kSilence : 0x11) << n << " at " << i;
  }
}

}  // namespace
}  // namespace tavro
