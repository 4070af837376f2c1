#include "vbox/signals.h"

#include <spandsp.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <iterator>
#include <limits>
#include <memory>

#include "vbox/audio.h"
#include "vbox/records.h"

namespace tavro::vbox {

namespace {

// Runs a generator until it has nothing more to give.
template <typename Gen>
Samples drainGenerator(Gen generate) {
  Samples out;
  int16_t buf[160];
  for (;;) {
    const int n = generate(buf, int(std::size(buf)));
    if (n <= 0) return out;
    out.insert(out.end(), buf, buf + n);
  }
}

int16_t saturated(double v) {
  return int16_t(std::lround(std::clamp(v, -32768.0, 32767.0)));
}

constexpr int kNoiseQuality = 7;  // uniform draws summed per sample of shaped noise

}  // namespace

Samples dtmfSignal(const std::string& digits, const DtmfStyle& style) {
  std::unique_ptr<dtmf_tx_state_t, decltype(&dtmf_tx_free)> tx(dtmf_tx_init(nullptr),
                                                               &dtmf_tx_free);
  if (!tx) return {};
  dtmf_tx_set_level(tx.get(), style.level, 2);
  dtmf_tx_set_timing(tx.get(), style.onMs, style.offMs);
  Samples out;
  for (char c : digits) {
    if (!digitCode(c)) continue;
    const char one[2] = {char(std::toupper(static_cast<unsigned char>(c))), 0};
    dtmf_tx_put(tx.get(), one, 1);
    Samples digit =
        drainGenerator([&](int16_t* buf, int max) { return dtmf_tx(tx.get(), buf, max); });
    out.insert(out.end(), digit.begin(), digit.end());
  }
  return out;
}

Samples callerIdBurst(const Record& record, CallerIdSignal signal) {
  if (record[0] != kCallerIdReply || record[1] != 1) return {};
  const uint8_t type = record[2];
  const size_t length = record[3];
  if (length > kMaxCallerIdBody) return {};
  if (type == uint8_t(CallerIdFormat::DigitString)) {
    std::string digits = "A";
    for (size_t i = 0; i < length; ++i) {
      const char c = char(record[4 + i]);
      if (digitCode(c)) digits += c;
    }
    return dtmfSignal(digits + "C");
  }
  const int standard = signal == CallerIdSignal::V23 ? ADSI_STANDARD_CLIP : ADSI_STANDARD_CLASS;
  std::unique_ptr<adsi_tx_state_t, decltype(&adsi_tx_free)> tx(adsi_tx_init(nullptr, standard),
                                                               &adsi_tx_free);
  if (!tx) return {};
  // Type, length and body: the transmitter adds the seizure, the marks and the checksum.
  if (adsi_tx_put_message(tx.get(), record.data() + 2, int(length + 2)) <= 0) return {};
  return drainGenerator([&](int16_t* buf, int max) { return adsi_tx(tx.get(), buf, max); });
}

Samples toneSignal(int hz, int ms, int level) {
  std::unique_ptr<tone_gen_descriptor_t, decltype(&tone_gen_descriptor_free)> desc(
      tone_gen_descriptor_init(nullptr, hz, level, 0, 0, ms, 0, 0, 0, 0),
      &tone_gen_descriptor_free);
  if (!desc) return {};
  std::unique_ptr<tone_gen_state_t, decltype(&tone_gen_free)> gen(
      tone_gen_init(nullptr, desc.get()), &tone_gen_free);
  if (!gen) return {};
  return drainGenerator([&](int16_t* buf, int max) { return tone_gen(gen.get(), buf, max); });
}

ToneCadence toneCadence(ProgressTone tone, ToneCountry country) {
  // Frequencies and cadences as the countries' networks publish them; the levels of North
  // America's precise tones, and -13 dBm0 elsewhere.
  switch (country) {
    case ToneCountry::NorthAmerica:
      switch (tone) {
        case ProgressTone::Dial:
          return {350, 440, -13, 1000, 0, 0, 0};
        case ProgressTone::Ringback:
          return {440, 480, -19, 2000, 4000, 0, 0};
        case ProgressTone::Busy:
          return {480, 620, -24, 500, 500, 0, 0};
        case ProgressTone::Congestion:
          return {480, 620, -24, 250, 250, 0, 0};
      }
      break;
    case ToneCountry::UnitedKingdom:
      switch (tone) {
        case ProgressTone::Dial:
          return {350, 440, -13, 1000, 0, 0, 0};
        case ProgressTone::Ringback:
          return {400, 450, -13, 400, 200, 400, 2000};
        case ProgressTone::Busy:
          return {400, 0, -13, 375, 375, 0, 0};
        case ProgressTone::Congestion:
          return {400, 0, -13, 400, 350, 225, 525};
      }
      break;
    case ToneCountry::Germany:
      switch (tone) {
        case ProgressTone::Dial:
          return {425, 0, -13, 1000, 0, 0, 0};
        case ProgressTone::Ringback:
          return {425, 0, -13, 1000, 4000, 0, 0};
        case ProgressTone::Busy:
          return {425, 0, -13, 480, 480, 0, 0};
        case ProgressTone::Congestion:
          return {425, 0, -13, 240, 240, 0, 0};
      }
      break;
  }
  return {};
}

struct ProgressToneMaker::State {
  tone_gen_state_t* gen = nullptr;
  ~State() {
    if (gen) tone_gen_free(gen);
  }
};

ProgressToneMaker::ProgressToneMaker(const ToneCadence& c) : state_(std::make_unique<State>()) {
  // The generator keeps its own copy of the descriptor; the repeat makes it endless.
  std::unique_ptr<tone_gen_descriptor_t, decltype(&tone_gen_descriptor_free)> desc(
      tone_gen_descriptor_init(nullptr, c.hz1, c.level, c.hz2, c.level, c.onMs1, c.offMs1, c.onMs2,
                               c.offMs2, 1),
      &tone_gen_descriptor_free);
  if (desc) state_->gen = tone_gen_init(nullptr, desc.get());
}

ProgressToneMaker::~ProgressToneMaker() = default;

int16_t ProgressToneMaker::next() {
  int16_t v = 0;
  if (state_->gen) tone_gen(state_->gen, &v, 1);
  return v;
}

Samples ProgressToneMaker::take(size_t n) {
  Samples out(n, 0);
  if (state_->gen && n > 0) tone_gen(state_->gen, out.data(), int(n));
  return out;
}

double soundingLevel(const Samples& samples) {
  double sum = 0;
  size_t n = 0;
  for (int16_t v : samples) {
    if (v == 0) continue;
    sum += double(v) * v;
    ++n;
  }
  if (n == 0) return -std::numeric_limits<double>::infinity();
  // Full scale as spandsp's generators count it: a square wave of 32767 is DBM0_MAX_POWER.
  return 10 * std::log10(sum / double(n) / (32767.0 * 32767.0)) + DBM0_MAX_POWER;
}

Samples atLevel(const Samples& samples, double dbm0) {
  const double now = soundingLevel(samples);
  if (!std::isfinite(now)) return samples;
  const double gain = std::pow(10, (dbm0 - now) / 20);
  Samples out(samples.size());
  std::transform(samples.begin(), samples.end(), out.begin(),
                 [gain](int16_t v) { return saturated(v * gain); });
  return out;
}

struct Noise::State {
  awgn_state_t* white = nullptr;
  noise_state_t* shaped = nullptr;
  ~State() {
    if (white) awgn_free(white);
    if (shaped) noise_free(shaped);
  }
};

Noise::Noise(NoiseKind kind, double dbm0, int seed)
    : kind_(kind), level_(dbm0), state_(std::make_unique<State>()) {
  if (kind == NoiseKind::White)
    state_->white = awgn_init_dbm0(nullptr, seed, float(dbm0));
  else
    state_->shaped = noise_init_dbm0(nullptr, seed, float(dbm0), NOISE_CLASS_HOTH, kNoiseQuality);
}

Noise::~Noise() = default;

int16_t Noise::next() {
  if (state_->white) return awgn(state_->white);
  if (state_->shaped) return noise(state_->shaped);
  return 0;
}

Samples Noise::take(size_t n) {
  Samples out(n);
  for (int16_t& v : out) v = next();
  return out;
}

Samples mixSignals(const Samples& signal, const Samples& background, const MixLevels& levels) {
  const Samples sig = levels.signalDbm0 ? atLevel(signal, *levels.signalDbm0) : signal;
  const Samples back =
      levels.backgroundDbm0 ? atLevel(background, *levels.backgroundDbm0) : background;
  const size_t length = std::max(back.size(), sig.empty() ? 0 : levels.signalAt + sig.size());
  std::vector<int32_t> sum(length, 0);
  std::copy(back.begin(), back.end(), sum.begin());
  for (size_t i = 0; i < sig.size(); ++i) sum[levels.signalAt + i] += sig[i];
  if (levels.snrDb) {
    const double reference = soundingLevel(sig.empty() ? back : sig);
    if (std::isfinite(reference)) {
      Noise noise(levels.noise, reference - *levels.snrDb, levels.noiseSeed);
      for (int32_t& v : sum) v += noise.next();
    }
  }
  Samples out(length);
  std::transform(sum.begin(), sum.end(), out.begin(), [](int32_t v) { return saturated(v); });
  return out;
}

std::vector<uint8_t> toAlaw(const Samples& samples) {
  std::vector<uint8_t> out(samples.size());
  std::transform(samples.begin(), samples.end(), out.begin(), alawEncode);
  return out;
}

Samples fromAlaw(const std::vector<uint8_t>& alaw) {
  Samples out(alaw.size());
  std::transform(alaw.begin(), alaw.end(), out.begin(), alawDecode);
  return out;
}

std::vector<uint8_t> mixToAlaw(const Samples& signal, const Samples& background,
                               const MixLevels& levels) {
  return toAlaw(mixSignals(signal, background, levels));
}

int peakOf(const Samples& samples) {
  int p = 0;
  for (int16_t v : samples) p = std::max(p, std::abs(int(v)));
  return p;
}

}  // namespace tavro::vbox
