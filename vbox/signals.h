// The signals a telephone line carries, as 16-bit linear samples at 8000 a second: DTMF
// digits, caller-ID bursts (FSK or DTMF), the 450 Hz tone, call-progress tones, and their mixing
// with speech and noise into the line's A-law.
//
// Levels are in dBm0: a sine of full scale (peak 32767) is +3.14 dBm0, the A-law overload
// point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "wire_types.h"

namespace tavro::vbox {

using Samples = std::vector<int16_t>;

struct DtmfStyle {
  int onMs = 70;    // each digit sounds this long
  int offMs = 70;   // then this much silence
  int level = -10;  // dBm0 of the low tone; the high one is 2 dB louder (a typical twist)
};

// DTMF digits (0-9, *, #, A-D); other characters are skipped.
Samples dtmfSignal(const std::string& digits, const DtmfStyle& style = {});

// How a caller ID is carried.
enum class CallerIdSignal : uint8_t {
  Bell202,  // 1200 bit/s FSK, mark 1200 Hz, space 2200 Hz (North America)
  V23,      // 1200 bit/s FSK, mark 1300 Hz, space 2100 Hz (ETSI)
};

// When a caller ID comes in a call: between the first and second ring, or before the first.
enum class CallerIdTiming : uint8_t {
  NorthAmerica,  // after the first ring
  Etsi,          // after a dual-tone alerting signal, before the first ring
};

// The burst of a caller-ID record {4, 1, type, L, body, checksum}: single- and multiple-data
// messages as FSK with channel seizure, mark signal and checksum; a digit string as DTMF,
// started by 'A' and ended by 'C'. Empty for a record that is not a caller ID.
Samples callerIdBurst(const Record& record, CallerIdSignal signal);

// A tone of hz at level dBm0, ms long.
Samples toneSignal(int hz, int ms, int level = -13);

// ---- call-progress tones ----

// The tones an exchange plays to a caller, each with its country's frequencies and cadence.
enum class ProgressTone : uint8_t { Dial, Ringback, Busy, Congestion };
enum class ToneCountry : uint8_t {
  NorthAmerica,   // "us": 350+440 Hz dial tone, 440+480 Hz ringback, 480+620 Hz busy, reorder
  UnitedKingdom,  // "uk": 350+440 Hz dial tone, 400+450 Hz double ring, 400 Hz busy, congestion
  Germany,        // "de": 425 Hz for all four
};

// Frequencies (the second 0 for a single tone), the level of each, and the cadence: on, off,
// on, off in ms, repeated; a tone whose first off time is 0 sounds without a break.
struct ToneCadence {
  int hz1 = 0;
  int hz2 = 0;
  int level = -13;  // dBm0 of each frequency
  int onMs1 = 0, offMs1 = 0, onMs2 = 0, offMs2 = 0;
};
ToneCadence toneCadence(ProgressTone tone, ToneCountry country);

// An endless call-progress tone, made with spandsp's tone generator.
class ProgressToneMaker {
 public:
  explicit ProgressToneMaker(const ToneCadence& cadence);
  ~ProgressToneMaker();
  ProgressToneMaker(const ProgressToneMaker&) = delete;
  ProgressToneMaker& operator=(const ProgressToneMaker&) = delete;
  int16_t next();
  Samples take(size_t n);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A call-progress tone on the line, from its start, until another one or none is set.
struct LineTone {
  ProgressTone tone = ProgressTone::Dial;
  ToneCountry country = ToneCountry::NorthAmerica;
  std::optional<int> level;  // dBm0 of each frequency; unset: the country's
};

// ---- levels and mixing ----

// The power of a signal while it sounds (over its samples that are not zero), in dBm0;
// -infinity for silence. For speech or noise that never pauses it is the power of the whole.
double soundingLevel(const Samples& samples);

// The signal with its gain changed so that soundingLevel() gives dbm0; samples that would
// pass full scale saturate.
Samples atLevel(const Samples& samples, double dbm0);

enum class NoiseKind : uint8_t {
  White,  // white Gaussian noise
  Hoth,   // noise shaped as room noise is, most of its power at low frequencies
};

// An endless noise, made with spandsp's noise generators; the same seed gives the same noise.
class Noise {
 public:
  Noise(NoiseKind kind, double dbm0, int seed = 1);
  ~Noise();
  Noise(const Noise&) = delete;
  Noise& operator=(const Noise&) = delete;
  int16_t next();
  Samples take(size_t n);

  NoiseKind kind() const { return kind_; }
  double level() const { return level_; }

 private:
  struct State;
  NoiseKind kind_;
  double level_;
  std::unique_ptr<State> state_;
};

// The noise that a line carries all the time.
struct LineNoise {
  NoiseKind kind = NoiseKind::White;
  double dbm0 = -50;
};

// How mixSignals() puts a signal over a background. Unset levels keep what was made.
struct MixLevels {
  std::optional<double> signalDbm0;      // the signal's level while it sounds
  std::optional<double> backgroundDbm0;  // the background's (speech, a wave file) level
  // The signal's level over the noise's, in dB: noise at (signal level - snrDb) dBm0. With
  // no signal the background's level is the reference.
  std::optional<double> snrDb;
  NoiseKind noise = NoiseKind::White;
  int noiseSeed = 1;
  size_t signalAt = 0;  // the sample of the background where the signal starts
};

// The signal over the background, with noise: as long as the longer of the two (the signal
// from signalAt on), noise over all of it. The sum saturates at full scale, never wraps.
Samples mixSignals(const Samples& signal, const Samples& background, const MixLevels& levels = {});

// A-law of linear samples (G.711; beyond full scale saturates), and back.
std::vector<uint8_t> toAlaw(const Samples& samples);
Samples fromAlaw(const std::vector<uint8_t>& alaw);

// mixSignals() as the line's A-law, ready for LineSource::alaw() or writeAlawWave().
std::vector<uint8_t> mixToAlaw(const Samples& signal, const Samples& background,
                               const MixLevels& levels = {});

// The largest magnitude of the samples (32767 at full scale; 32256 is A-law's largest).
int peakOf(const Samples& samples);

}  // namespace tavro::vbox
