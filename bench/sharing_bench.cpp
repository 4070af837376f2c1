// tavro-bench-sharing: what sharing a box through tavrod costs. Rows: the command round trip
// through tavrod beside the direct one (median and 99th percentile, and their ratio; the goal
// is at most twice the direct time), and the line's audio fanned out to 8 recording programs
// (frames each received, frames lost: the gaps in the box's numbered test frames).
//
//   tavro-bench-sharing [--quick]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "tavro/CKusb_IO.h"
#include "vbox/virtual_box.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kPayload = 250;  // audio bytes of one frame

double ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1)))];
}

pid_t spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  // Their lines would mix with the table.
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int r = posix_spawn(&pid, argv[0], &quiet, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&quiet);
  return r == 0 ? pid : -1;
}

// The round trips of one program against whatever box the library finds first.
std::vector<double> roundTrips(int count) {
  CKusb_IO io;
  std::vector<double> times;
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    if (io.RequestSpaceCode() != 1) std::fprintf(stderr, "round trip failed\n");
    times.push_back(ms(Clock::now() - start));
  }
  return times;
}

// The numbered test frames of a recording: how many, and how many are missing between them.
void countFrames(const std::string& file, long* frames, long* lost) {
  std::ifstream in(file, std::ios::binary);
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t at = data.find("data");
  *frames = *lost = 0;
  if (at == std::string::npos) return;
  const auto* audio = reinterpret_cast<const uint8_t*>(data.data() + at + 8);
  const size_t n = (data.size() - at - 8) / kPayload;
  uint32_t last = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* f = audio + i * kPayload;
    const uint32_t number = f[0] | f[1] << 8 | f[2] << 16 | uint32_t(f[3]) << 24;
    if (i > 0 && number > last + 1) *lost += number - last - 1;
    last = number;
    ++*frames;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  const int trips = quick ? 200 : 2000;
  tavro::bench::TempDir dir(/*asRuntimeDir=*/true);
  setenv("TAVRO_BACKENDS", "wire", 1);
  tavro::vbox::VirtualBox box;
  box.setLineSource(tavro::vbox::LineSource::pattern());

  // Rounds of the direct and the shared round trips by turns, so that what else the machine
  // does weighs on both alike; the figures are the medians of the rounds' figures.
  const int rounds = quick ? 3 : 7;
  std::vector<double> directAt[2], sharedAt[2];
  pid_t daemon = -1;
  for (int round = 0; round < rounds; ++round) {
    if (daemon > 0) {
      kill(daemon, SIGTERM);
      waitpid(daemon, nullptr, 0);
    }
    // Whichever tavrod the environment names (to set two builds side by side), else this one.
    const char* path = std::getenv("TAVROD");
    const std::vector<double> direct = roundTrips(trips);
    daemon = spawn({path != nullptr ? path : TAVROD_PATH});
    // The shared box is there once the library opens it rather than the box itself, held now.
    for (int i = 0; i < 1000 && box.holder() != daemon; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::vector<double> shared = roundTrips(trips);
    for (int i : {0, 1}) {
      directAt[i].push_back(percentile(direct, i == 0 ? 0.5 : 0.99));
      sharedAt[i].push_back(percentile(shared, i == 0 ? 0.5 : 0.99));
    }
  }

  std::printf("%-48s %10s %10s %8s\n", "figure", "direct", "tavrod", "ratio");
  for (int i : {0, 1}) {
    std::vector<double> ratios;
    for (int round = 0; round < rounds; ++round)
      ratios.push_back(sharedAt[i][round] / directAt[i][round]);
    std::printf("round trip, %-36s %7.3f ms %7.3f ms %7.2fx\n",
                i == 0 ? "median" : "99th percentile", percentile(directAt[i], 0.5),
                percentile(sharedAt[i], 0.5), percentile(ratios, 0.5));
  }

  // 8 recording programs at once, for a few seconds of the line.
  const int kRecorders = 8;
  const std::string seconds = quick ? "2" : "10";
  std::vector<pid_t> recorders;
  for (int i = 0; i < kRecorders; ++i)
    recorders.push_back(
        spawn({TAVRO_TOOL_PATH, "record", dir.path() + "/r" + std::to_string(i) + ".wav",
               "--seconds", seconds, "--quiet"}));
  int failed = 0;
  for (pid_t pid : recorders) {
    int status = 0;
    waitpid(pid, &status, 0);
    failed += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  long least = -1, lostAll = 0;
  for (int i = 0; i < kRecorders; ++i) {
    long frames = 0, lost = 0;
    countFrames(dir.path() + "/r" + std::to_string(i) + ".wav", &frames, &lost);
    least = least < 0 ? frames : std::min(least, frames);
    lostAll += lost;
  }
  std::printf(
      "8 recorders for %s s: fewest frames %ld, frames lost %ld, failed %d, box dropped %llu\n",
      seconds.c_str(), least, lostAll, failed,
      static_cast<unsigned long long>(box.droppedFrames()));
  kill(daemon, SIGTERM);
  waitpid(daemon, nullptr, 0);
  return failed == 0 && lostAll == 0 ? 0 : 1;
}
