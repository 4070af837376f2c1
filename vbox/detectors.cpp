#include "vbox/detectors.h"

#include <spandsp.h>

#include <algorithm>

#include "vbox/records.h"

namespace tavro::vbox {

namespace {

constexpr int kToneHz = 450;
constexpr int kToneBlock = 200;       // samples per look at the tone: 25 ms
constexpr float kToneShare = 0.6f;    // of a block's power at 450 Hz, for the tone to be on
constexpr double kToneFloor = 1.0e6;  // block power below which the line is quiet (~-45 dBm0)
constexpr int kShortestToneMs = 100;  // a shorter burst is not reported

}  // namespace

struct LineDetectors::Receivers {
  dtmf_rx_state_t* dtmf = nullptr;
  adsi_rx_state_t* fsk = nullptr;
  goertzel_descriptor_t toneDesc{};
  goertzel_state_t tone{};
  int toneFill = 0;
  double blockPower = 0;
  int toneBlocks = 0;  // blocks in a row with the tone on
  std::vector<Record> heard;

  ~Receivers() {
    if (dtmf) dtmf_rx_free(dtmf);
    if (fsk) adsi_rx_free(fsk);
  }

  static void onDigits(void* user, const char* digits, int len) {
    auto* self = static_cast<Receivers*>(user);
    for (int i = 0; i < len; ++i)
      if (auto code = digitCode(digits[i])) self->heard.push_back(dtmfRecord(*code));
  }

  static void onMessage(void* user, const uint8_t* msg, int len) {
    auto* self = static_cast<Receivers*>(user);
    // Type, length and body, its checksum checked: the record carries them with a checksum.
    if (len < 2 || len - 2 > int(kMaxCallerIdBody) || msg[1] != len - 2) return;
    Record r{};
    r[0] = kCallerIdReply;
    r[1] = 1;
    unsigned sum = 0;
    for (int i = 0; i < len; ++i) {
      r[2 + i] = msg[i];
      sum += msg[i];
    }
    r[2 + len] = uint8_t(0x100 - (sum & 0xFF));
    self->heard.push_back(r);
  }

  void toneBlockDone() {
    const float at = goertzel_result(&tone);
    // For a sine in the middle of its bin the result is N times the block's power: the share
    // is near 1 for 450 Hz alone, 0.8 at 440 Hz, 0.2 at 425 Hz, below 0.15 for DTMF or FSK.
    const double total = blockPower * kToneBlock;
    const bool on = blockPower > kToneFloor && at > kToneShare * total;
    if (on) {
      ++toneBlocks;
    } else {
      const int ms = toneBlocks * kToneBlock / 8;
      if (ms >= kShortestToneMs) heard.push_back(toneRecord(1, uint16_t(std::min(ms, 65535))));
      toneBlocks = 0;
    }
    goertzel_reset(&tone);
    blockPower = 0;
    toneFill = 0;
  }
};

LineDetectors::LineDetectors(CallerIdSignal callerId)
    : callerId_(callerId), rx_(std::make_unique<Receivers>()) {
  rx_->dtmf = dtmf_rx_init(nullptr, &Receivers::onDigits, rx_.get());
  const int standard = callerId == CallerIdSignal::V23 ? ADSI_STANDARD_CLIP : ADSI_STANDARD_CLASS;
  rx_->fsk = adsi_rx_init(nullptr, standard, &Receivers::onMessage, rx_.get());
  make_goertzel_descriptor(&rx_->toneDesc, float(kToneHz), kToneBlock);
  goertzel_init(&rx_->tone, &rx_->toneDesc);
}

LineDetectors::~LineDetectors() = default;

std::vector<Record> LineDetectors::hear(const int16_t* samples, size_t n) {
  Receivers& rx = *rx_;
  if (rx.dtmf) dtmf_rx(rx.dtmf, samples, int(n));
  if (rx.fsk) adsi_rx(rx.fsk, samples, int(n));
  while (n > 0) {
    const int take = std::min<int>(int(n), kToneBlock - rx.toneFill);
    goertzel_update(&rx.tone, samples, take);
    for (int i = 0; i < take; ++i) rx.blockPower += double(samples[i]) * samples[i];
    rx.toneFill += take;
    samples += take;
    n -= size_t(take);
    if (rx.toneFill == kToneBlock) rx.toneBlockDone();
  }
  std::vector<Record> out;
  out.swap(rx.heard);
  return out;
}

}  // namespace tavro::vbox
