// How well the virtual box's detectors hear its line at reduced levels and with noise: the
// share of DTMF digits and of caller-ID bursts that come out as the records that were
// meant, for a grid of signal levels and signal-to-noise ratios (white noise). Each signal
// is made by the box's generators, mixed, put through A-law as the line carries it, and
// heard a frame at a time, as the box does.
//
//   tavro-detection-rates     prints the tables in Markdown
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "vbox/detectors.h"
#include "vbox/records.h"
#include "vbox/signals.h"

namespace {

namespace vbox = tavro::vbox;

constexpr char kDigits[] = "1234567890*#ABCD";
constexpr int kDigitRounds = 10;  // 160 digits a trial
constexpr int kBursts = 10;       // caller-ID bursts a trial and modulation
constexpr size_t kFrame = 250;    // samples the box hears at a time
const std::vector<double> kSnrs = {INFINITY, 30, 24, 18, 15, 12, 9, 6};

// The signal as the line carries it: at its level, with white noise snrDb below it.
std::vector<vbox::Record> heardOnTheLine(const vbox::Samples& signal, double snrDb,
                                         vbox::CallerIdSignal modulation) {
  vbox::MixLevels levels;
  if (std::isfinite(snrDb)) levels.snrDb = snrDb;
  const vbox::Samples line = vbox::fromAlaw(vbox::mixToAlaw(signal, {}, levels));
  vbox::LineDetectors detectors(modulation);
  std::vector<vbox::Record> heard;
  for (size_t at = 0; at < line.size(); at += kFrame) {
    const auto records = detectors.hear(line.data() + at, std::min(kFrame, line.size() - at));
    heard.insert(heard.end(), records.begin(), records.end());
  }
  return heard;
}

// The share of the sent digits heard, in order; a digit heard that was not sent, or twice,
// counts against it.
double dtmfRate(int level, double snrDb) {
  std::string sent;
  for (int i = 0; i < kDigitRounds; ++i) sent += kDigits;
  vbox::DtmfStyle style;
  style.level = level;
  const auto heard =
      heardOnTheLine(vbox::dtmfSignal(sent, style), snrDb, vbox::CallerIdSignal::Bell202);
  size_t next = 0;
  int right = 0, wrong = 0;
  for (const auto& r : heard) {
    if (r[0] != 7) continue;  // a DTMF code
    // A missed digit is passed over: the one after it may still be heard.
    if (next < sent.size() && r[1] == *vbox::digitCode(sent[next])) {
      ++right, ++next;
    } else if (next + 1 < sent.size() && r[1] == *vbox::digitCode(sent[next + 1])) {
      ++right, next += 2;
    } else {
      ++wrong;
    }
  }
  return std::max(0, right - wrong) / double(sent.size());
}

// The share of caller-ID bursts (multiple-data: date, number, name) heard as the record
// that was sent, byte for byte.
double callerIdRate(vbox::CallerIdSignal modulation, double level, double snrDb) {
  const auto record =
      vbox::callerIdRecord(vbox::CallerIdFormat::MultipleData, "5551234", "12091830", "Ann Lee");
  vbox::Samples burst = vbox::atLevel(vbox::callerIdBurst(*record, modulation), level);
  vbox::Samples signal;
  const vbox::Samples gap(8000 / 2, 0);
  for (int i = 0; i < kBursts; ++i) {
    signal.insert(signal.end(), gap.begin(), gap.end());
    signal.insert(signal.end(), burst.begin(), burst.end());
  }
  signal.insert(signal.end(), gap.begin(), gap.end());
  int right = 0;
  for (const auto& r : heardOnTheLine(signal, snrDb, modulation))
    if (r[0] == 4 && r == *record) ++right;
  return std::min(right, kBursts) / double(kBursts);
}

void header(const char* first) {
  std::printf("| %s |", first);
  for (double snr : kSnrs)
    std::isfinite(snr) ? std::printf(" %.0f dB |", snr) : std::printf(" no noise |");
  std::printf("\n|---|");
  for (size_t i = 0; i < kSnrs.size(); ++i) std::printf("---|");
  std::printf("\n");
}

void cell(double rate) {
  std::printf(" %s%.1f %% |", rate >= 0.99 ? "" : "*", 100 * rate);
}

}  // namespace

int main() {
  std::printf(
      "DTMF digits heard (160 a cell; * below 99 %%), by the low tone's level and the\n"
      "signal-to-noise ratio:\n\n");
  header("low tone");
  for (int level : {-10, -20, -25, -30, -35, -40, -45}) {
    std::printf("| %d dBm0 |", level);
    for (double snr : kSnrs) cell(dtmfRate(level, snr));
    std::printf("\n");
  }
  for (auto [modulation, name] : {std::pair{vbox::CallerIdSignal::Bell202, "Bell 202"},
                                  std::pair{vbox::CallerIdSignal::V23, "V.23"}}) {
    std::printf("\n%s caller-ID bursts heard whole (%d a cell; * below 99 %%):\n\n", name, kBursts);
    header("level");
    for (int level : {-10, -20, -25, -30, -35, -40}) {
      std::printf("| %d dBm0 |", level);
      for (double snr : kSnrs) cell(callerIdRate(modulation, level, snr));
      std::printf("\n");
    }
  }
  return 0;
}
