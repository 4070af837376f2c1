// Recording against a virtual box that runs in a process of its own (so that the
// library's CPU time is the process's own): how many times real time the recorder keeps
// up with, whether frames are lost, and the CPU it spends per second of real-time audio,
// with the event-driven waits and with the polling waits side by side; and the CPU a file
// playback spends per second of audio in real time.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "audio/audio_state.h"
#include "bench/bench_support.h"
#include "device/state.h"
#include "device/wait.h"
#include "tavro/CKusb_IO.h"
#include "vbox/virtual_box.h"

namespace {

using namespace std::chrono;
using tavro::recorderState;

// The box, paced at `pace`; 'd' answers its dropped and sent frame counts.
tavro::bench::ChildBox boxProcess(const std::string& runtimeDir, double pace) {
  return tavro::bench::ChildBox(
      runtimeDir, [pace](tavro::vbox::VirtualBox& box) { box.setAudioPace(pace); },
      [](tavro::vbox::VirtualBox& box, char, int answers) {
        const uint64_t counts[2] = {box.droppedFrames(), box.framesSent()};
        return write(answers, counts, sizeof counts) == sizeof counts;
      });
}

template <typename F>
bool waitUntil(F done, seconds limit) {
  const auto deadline = steady_clock::now() + limit;
  while (!done()) {
    if (steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return true;
}

// Runs `body` with the library up over the box published in `dir`, in the wait mode the
// benchmark's argument names; skips when the link does not come up.
template <typename Body>
void withLibrary(benchmark::State& st, const tavro::bench::TempDir& dir, Body body) {
  tavro::setWaitMode(st.range(0) ? tavro::WaitMode::kPoll : tavro::WaitMode::kEvent);
  {
    setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
    CKusb_IO io;
    if (tavro::linkDown())
      st.SkipWithError("the link did not come up");
    else
      body(io);
  }
  tavro::setWaitMode(tavro::WaitMode::kEvent);
}

// The counters every real-time row shares: CPU per second of audio and in all.
void reportCpu(benchmark::State& st, double audioSeconds, double cpu, double took) {
  st.counters["audio_s"] = audioSeconds;
  st.counters["cpu_ms_per_audio_s"] = audioSeconds > 0 ? cpu * 1000.0 / audioSeconds : 0;
  st.counters["cpu_percent"] = 100.0 * cpu / took;
  st.SetIterationTime(took);
}

// Records `bytes` of the stream (or for `wall` when pacing in real time) and reports.
void recordOnce(benchmark::State& st, double pace, int32_t bytes, milliseconds wall) {
  tavro::bench::TempDir dir;
  tavro::bench::ChildBox box = boxProcess(dir.path(), pace);
  withLibrary(st, dir, [&](CKusb_IO& io) {
    const std::string file = dir.path() + "/bench.wav";
    for (auto _ : st) {
      const double cpu0 = tavro::bench::processCpuSeconds();
      const auto t0 = steady_clock::now();
      if (io.StartReadSound(file.c_str(), 1) != 1) {
        st.SkipWithError("StartReadSound failed");
        break;
      }
      if (bytes > 0) {
        waitUntil([&] { return recorderState().recordedBytes.load() >= bytes; }, seconds(600));
      } else {
        std::this_thread::sleep_for(wall);
      }
      const int32_t result = io.StopReadSound();
      const double took = duration<double>(steady_clock::now() - t0).count();
      const double cpu = tavro::bench::processCpuSeconds() - cpu0;
      const auto [dropped, sent] = box.ask<std::array<uint64_t, 2>>('d');
      const double audioSeconds = (result - 48) / 512.0 * 500.0 / 8000.0;
      st.counters["x_realtime"] = audioSeconds / took;
      st.counters["frames_lost"] = static_cast<double>(dropped);
      st.counters["frames_sent"] = static_cast<double>(sent);
      reportCpu(st, audioSeconds, cpu, took);
    }
  });
}

// The box streams as fast as the recorder reads: 16 MB of stream, over half an hour of
// audio.
void BM_RecordAsFastAsPossible(benchmark::State& st) {
  recordOnce(st, 0, 16 * 1024 * 1024, {});
}
// The box paces at 100 times real time and drops whole frames the recorder does not
// take in time.
void BM_RecordAt100xRealTime(benchmark::State& st) {
  recordOnce(st, 100, 8 * 1024 * 1024, {});
}
// Real time for 5 s: the CPU the library spends per second of audio.
void BM_RecordRealTimeCpu(benchmark::State& st) {
  recordOnce(st, 1, 0, milliseconds(5000));
}

// A file of `audio` seconds played to a box that gives its go-aheads in real time: the CPU
// the library spends per second of audio (the box runs in a process of its own).
void BM_PlayRealTimeCpu(benchmark::State& st) {
  constexpr int kAudioSeconds = 5;
  tavro::bench::TempDir dir;
  tavro::bench::ChildBox box(
      dir.path(), [](tavro::vbox::VirtualBox& b) { b.setPlayPace(1); },
      [](tavro::vbox::VirtualBox&, char, int) { return true; });
  withLibrary(st, dir, [&](CKusb_IO& io) {
    const std::string file = dir.path() + "/bench.al";
    std::ofstream(file, std::ios::binary) << std::string(8000 * kAudioSeconds, '\x55');
    for (auto _ : st) {
      const double cpu0 = tavro::bench::processCpuSeconds();
      const auto t0 = steady_clock::now();
      if (io.StartPlaySound(file.c_str(), 0, 1, 0, false) != 1) {
        st.SkipWithError("StartPlaySound failed");
        break;
      }
      // Looking often would cost CPU of its own: sleep through the pass, then look.
      std::this_thread::sleep_for(seconds(kAudioSeconds) + milliseconds(300));
      waitUntil([&] { return io.GetWriteSoundRate() >= 1000; }, seconds(60));
      const double took = duration<double>(steady_clock::now() - t0).count();
      const double cpu = tavro::bench::processCpuSeconds() - cpu0;
      const double audioSeconds = io.GetWriteSoundBytes() / 8000.0;
      io.StopPlaySound();
      reportCpu(st, audioSeconds, cpu, took);
    }
  });
}

BENCHMARK(BM_RecordAsFastAsPossible)
    ->ArgName("poll")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordAt100xRealTime)
    ->ArgName("poll")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordRealTimeCpu)
    ->ArgName("poll")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK(BM_PlayRealTimeCpu)
    ->ArgName("poll")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
