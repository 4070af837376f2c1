// The cost of the line signals, as the share of one core they take in real time (CPU
// seconds over seconds of audio; 0.02 is 2 % of a core):
// - the whole box, in a process of its own, streaming a line to a library that records it
//   in real time: a plain line, a line with noise where caller IDs and DTMF digits sound,
//   and the same with the detectors listening;
// - the generators alone (caller-ID bursts, DTMF digits, noise, mixing, A-law);
// - the detectors alone (FSK caller-ID receiver, DTMF receiver, 450 Hz tone) over a line.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

#include "audio/audio_state.h"
#include "bench/bench_support.h"
#include "device/state.h"
#include "tavro/CKusb_IO.h"
#include "vbox/detectors.h"
#include "vbox/records.h"
#include "vbox/signals.h"
#include "vbox/virtual_box.h"

namespace {

using namespace std::chrono;
namespace vbox = tavro::vbox;

constexpr char kNumber[] = "5551234";
constexpr char kName[] = "Ann Lee";
constexpr char kDigits[] = "1234567890*#ABCD";
constexpr double kLineNoise = -50;  // dBm0: a quiet line still hisses

double threadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

// What the box's line carries in a run.
enum Line : int64_t { kPlain = 0, kSignals = 1, kSignalsDetected = 2 };

// The box with the given line: 's' plays a caller ID and the DTMF digits, 'c' answers its
// CPU seconds so far.
tavro::bench::ChildBox boxProcess(const std::string& runtimeDir, Line line) {
  return tavro::bench::ChildBox(
      runtimeDir,
      [line](vbox::VirtualBox& box) {
        if (line != kPlain) box.setLineNoise(vbox::LineNoise{vbox::NoiseKind::White, kLineNoise});
        box.setDetect(line == kSignalsDetected);
      },
      [](vbox::VirtualBox& box, char request, int answers) {
        if (request == 's') {
          box.sendCallerId(vbox::CallerIdFormat::MultipleData, kNumber, "", kName);
          for (const char* d = kDigits; *d; ++d) box.sendDtmf(*vbox::digitCode(*d));
          return true;
        }
        const double cpu = tavro::bench::processCpuSeconds();
        return write(answers, &cpu, sizeof cpu) == sizeof cpu;
      });
}

// The box streams its line in real time for the given seconds to a library that records it;
// with signals, a caller ID and the sixteen DTMF digits (about 3 s of signals) start every
// 4 s.
void BM_BoxStreamsTheLine(benchmark::State& st) {
  const Line line = Line(st.range(0));
  const auto length = seconds(st.range(1));
  tavro::bench::TempDir dir;
  tavro::bench::ChildBox box = boxProcess(dir.path(), line);
  setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
  CKusb_IO io;
  if (tavro::linkDown()) {
    st.SkipWithError("the link did not come up");
    return;
  }
  const std::string file = dir.path() + "/line.wav";
  for (auto _ : st) {
    if (io.StartReadSound(file.c_str(), 1) != 1) {
      st.SkipWithError("StartReadSound failed");
      break;
    }
    const double cpu0 = box.ask<double>('c');
    const auto t0 = steady_clock::now();
    for (auto next = t0; next < t0 + length; next += seconds(4)) {
      if (line != kPlain) box.send('s');
      std::this_thread::sleep_until(std::min(next + seconds(4), t0 + length));
    }
    const double cpu = box.ask<double>('c') - cpu0;
    const double took = duration<double>(steady_clock::now() - t0).count();
    const int32_t recorded = io.StopReadSound();
    st.SetIterationTime(took);
    st.counters["box_core_share"] = cpu / took;
    st.counters["audio_s"] = (recorded - 48) / 512.0 * 500.0 / 8000.0;
  }
}

// A line of 60 s: the caller ID and the digits every 4 s over noise.
vbox::Samples lineAudio() {
  const auto record =
      vbox::callerIdRecord(vbox::CallerIdFormat::MultipleData, kNumber, "12091830", kName);
  vbox::Samples cycle = vbox::callerIdBurst(*record, vbox::CallerIdSignal::Bell202);
  const vbox::Samples digits = vbox::dtmfSignal(kDigits);
  cycle.insert(cycle.end(), digits.begin(), digits.end());
  cycle.resize(4 * 8000, 0);
  vbox::Samples line;
  for (int i = 0; i < 15; ++i) line.insert(line.end(), cycle.begin(), cycle.end());
  vbox::Noise noise(vbox::NoiseKind::White, kLineNoise);
  for (int16_t& v : line) v = int16_t(std::clamp(v + noise.next(), -32768, 32767));
  return line;
}

// Makes one 4 s cycle of the line (burst, digits, noise, the sum in A-law) per iteration.
void BM_Generators(benchmark::State& st) {
  const auto record =
      vbox::callerIdRecord(vbox::CallerIdFormat::MultipleData, kNumber, "12091830", kName);
  double cpu = 0, audio = 0;
  for (auto _ : st) {
    const double c0 = threadCpuSeconds();
    vbox::Samples signal = vbox::callerIdBurst(*record, vbox::CallerIdSignal::Bell202);
    const vbox::Samples digits = vbox::dtmfSignal(kDigits);
    signal.insert(signal.end(), digits.begin(), digits.end());
    vbox::Noise noise(vbox::NoiseKind::White, kLineNoise);
    const vbox::Samples background = noise.take(4 * 8000);
    const std::vector<uint8_t> alaw = vbox::mixToAlaw(signal, background);
    benchmark::DoNotOptimize(alaw.data());
    cpu += threadCpuSeconds() - c0;
    audio += double(alaw.size()) / 8000;
  }
  st.counters["core_share"] = cpu / audio;
}

// Hears 60 s of line per iteration, a frame at a time as the box does.
void BM_Detectors(benchmark::State& st) {
  const vbox::Samples line = lineAudio();
  double cpu = 0, audio = 0;
  size_t heard = 0;
  for (auto _ : st) {
    vbox::LineDetectors detectors(vbox::CallerIdSignal::Bell202);
    const double c0 = threadCpuSeconds();
    for (size_t at = 0; at + 250 <= line.size(); at += 250)
      heard += detectors.hear(line.data() + at, 250).size();
    cpu += threadCpuSeconds() - c0;
    audio += double(line.size()) / 8000;
  }
  st.counters["core_share"] = cpu / audio;
  // 15 caller IDs and 240 digits a pass: a detector that hears nothing costs nothing.
  st.counters["records_per_pass"] = double(heard) / double(st.iterations());
}

BENCHMARK(BM_BoxStreamsTheLine)
    ->ArgNames({"line", "seconds"})
    ->Args({kPlain, 12})
    ->Args({kSignals, 12})
    ->Args({kSignalsDetected, 12})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Generators)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Detectors)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
