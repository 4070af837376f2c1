// Recording against a virtual box that runs in a process of its own (so that the
// library's CPU time is the process's own): how many times real time the recorder keeps
// up with, whether frames are lost, and the CPU it spends per second of real-time audio,
// with the event-driven waits and with the polling waits side by side.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "audio/audio_state.h"
#include "device/state.h"
#include "device/wait.h"
#include "tavro/CKusb_IO.h"
#include "vbox/virtual_box.h"

namespace {

using namespace std::chrono;
using tavro::recorderState;

// The box in a child process, driven over a pipe: 'd' answers the dropped and sent frame
// counts, 'q' ends it.
class BoxProcess {
 public:
  BoxProcess(const std::string& runtimeDir, double pace) {
    if (pipe(toChild_) != 0 || pipe(fromChild_) != 0) std::abort();
    pid_ = fork();
    if (pid_ == 0) {
      setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
      int rc = 0;
      {
        tavro::vbox::VirtualBox box;
        box.setAudioPace(pace);
        char c = 'r';
        if (write(fromChild_[1], &c, 1) != 1) rc = 1;
        while (rc == 0 && read(toChild_[0], &c, 1) == 1 && c != 'q') {
          const uint64_t counts[2] = {box.droppedFrames(), box.framesSent()};
          if (write(fromChild_[1], counts, sizeof counts) != sizeof counts) rc = 1;
        }
      }
      _exit(rc);
    }
    char c = 0;
    if (read(fromChild_[0], &c, 1) != 1) std::abort();
  }
  ~BoxProcess() {
    const char c = 'q';
    if (write(toChild_[1], &c, 1) != 1) kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    for (int fd : {toChild_[0], toChild_[1], fromChild_[0], fromChild_[1]}) close(fd);
  }
  void counts(uint64_t* dropped, uint64_t* sent) {
    const char c = 'd';
    uint64_t got[2] = {};
    if (write(toChild_[1], &c, 1) != 1 || read(fromChild_[0], got, sizeof got) != sizeof got)
      std::abort();
    *dropped = got[0];
    *sent = got[1];
  }

 private:
  pid_t pid_ = -1;
  int toChild_[2] = {-1, -1};
  int fromChild_[2] = {-1, -1};
};

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tavro-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
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

// Records `bytes` of the stream (or for `wall` when pacing in real time) and reports.
void recordOnce(benchmark::State& st, double pace, int32_t bytes, milliseconds wall) {
  TempDir dir;
  BoxProcess box(dir.path(), pace);
  tavro::setWaitMode(st.range(0) ? tavro::WaitMode::kPoll : tavro::WaitMode::kEvent);
  {
    setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
    CKusb_IO io;
    if (tavro::linkDown()) {
      st.SkipWithError("the link did not come up");
      return;
    }
    const std::string file = dir.path() + "/bench.wav";
    for (auto _ : st) {
      const double cpu0 = cpuSeconds();
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
      const double cpu = cpuSeconds() - cpu0;
      uint64_t dropped = 0, sent = 0;
      box.counts(&dropped, &sent);
      const double audioSeconds = (result - 48) / 512.0 * 500.0 / 8000.0;
      st.counters["x_realtime"] = audioSeconds / took;
      st.counters["frames_lost"] = static_cast<double>(dropped);
      st.counters["frames_sent"] = static_cast<double>(sent);
      st.counters["audio_s"] = audioSeconds;
      st.counters["cpu_ms_per_audio_s"] = cpu * 1000.0 / audioSeconds;
      st.counters["cpu_percent"] = 100.0 * cpu / took;
      st.SetIterationTime(took);
    }
  }
  tavro::setWaitMode(tavro::WaitMode::kEvent);
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

}  // namespace

BENCHMARK_MAIN();
