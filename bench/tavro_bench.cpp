// tavro-bench: the library's figures, each measured side by side in one run with the
// event-driven waits and with the documented polling waits, and their ratio.
//
//   tavro-bench [--quick]
//
// Rows: command round trip (median, 99th and 99.9th percentile, CPU time and context
// switches per trip); wakeups per second of the library's threads, idle with the link up
// and with no box; construction and destruction times; replug to link up; a storm of
// status-changing records (the rate the library takes, records the box had to drop);
// event latency from the box's record to the application, taken from the queue or by a
// callback, against an application that polls GetDTMFCode every 10 ms.
// Where the tests' USB emulation is built, the round trip and the wakeups are measured over
// an emulated USB box too (a second run of the program under the emulation's preload,
// "--usb-rows"), with the ratio of the USB round trip to the virtual wire's.
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "device/wait.h"
#include "tavro/CKusb_IO.h"
#include "tavro/events.h"
#include "tavro/notice.h"
#include "vbox/virtual_box.h"
#ifdef TAVRO_BENCH_USB
#include "platform/usb/emulated_usb.h"
#include "platform/usb/preload.h"
#include "platform/usb/wire_bridge.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;
using tavro::WaitMode;

double ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5));
  return v[i];
}

// Voluntary context switches of this process's threads other than those in `exclude`.
long contextSwitches(const std::set<long>& exclude) {
  long total = 0;
  DIR* d = opendir("/proc/self/task");
  if (!d) return 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const long tid = std::atol(e->d_name);
    if (exclude.count(tid)) continue;
    std::ifstream status(std::string("/proc/self/task/") + e->d_name + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) total += std::atol(line.c_str() + 24);
  }
  closedir(d);
  return total;
}

std::set<long> threadIds() {
  std::set<long> ids;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ids.insert(std::atol(e->d_name));
    closedir(d);
  }
  return ids;
}

struct Row {
  std::string name;
  std::string unit;
  double event = 0;
  double poll = 0;
};

void print(const std::vector<Row>& rows) {
  std::printf("%-44s %14s %14s %10s\n", "figure", "event-driven", "polling", "poll/event");
  for (const Row& r : rows) {
    char ratio[32] = "-";
    if (r.event > 0) std::snprintf(ratio, sizeof ratio, "%.1fx", r.poll / r.event);
    std::printf("%-44s %11.3f %-2s %11.3f %-2s %10s\n", r.name.c_str(), r.event, r.unit.c_str(),
                r.poll, r.unit.c_str(), ratio);
  }
}

struct RoundTrip {
  double median = 0, p99 = 0, p999 = 0;
  double cpuUs = 0;     // CPU time of the whole process per trip, microseconds
  double switches = 0;  // voluntary context switches of the process per trip
};

RoundTrip percentiles(const std::vector<double>& v) {
  return {percentile(v, 0.5), percentile(v, 0.99), percentile(v, 0.999)};
}

// Command round trips against a box of the given kind (made before the library, so that
// the library finds it).
template <class Box>
RoundTrip roundTripsWith(WaitMode mode, int count) {
  tavro::setWaitMode(mode);
  tavro::bench::TempDir dir(/*asRuntimeDir=*/true);
  Box box;
  CKusb_IO io;
  std::vector<double> times;
  const double cpu0 = tavro::bench::processCpuSeconds();
  const long switches0 = contextSwitches({});
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    if (io.RequestSpaceCode() != 1) std::fprintf(stderr, "round trip failed\n");
    times.push_back(ms(Clock::now() - start));
  }
  RoundTrip r = percentiles(times);
  r.cpuUs = (tavro::bench::processCpuSeconds() - cpu0) * 1e6 / count;
  r.switches = static_cast<double>(contextSwitches({}) - switches0) / count;
  tavro::setWaitMode(WaitMode::kEvent);
  return r;
}

RoundTrip roundTrips(WaitMode mode, int count) {
  return roundTripsWith<tavro::vbox::VirtualBox>(mode, count);
}

// Wakeups per second of the library's threads over `seconds` (the box's threads and this
// one are left out).
double idleWakeups(WaitMode mode, bool withBox, double seconds) {
  tavro::setWaitMode(mode);
  tavro::bench::TempDir dir(/*asRuntimeDir=*/true);
  std::unique_ptr<tavro::vbox::VirtualBox> box;
  if (withBox) box = std::make_unique<tavro::vbox::VirtualBox>();
  const std::set<long> before = threadIds();
  CKusb_IO io;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let the link settle
  const long start = contextSwitches(before);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const long end = contextSwitches(before);
  tavro::setWaitMode(WaitMode::kEvent);
  return (end - start) / seconds;
}

struct LifeTimes {
  double construct = 0, destroy = 0;
};

LifeTimes lifeTimes(WaitMode mode, bool withBox, bool silent) {
  tavro::setWaitMode(mode);
  tavro::bench::TempDir dir(/*asRuntimeDir=*/true);
  std::unique_ptr<tavro::vbox::VirtualBox> box;
  if (withBox) box = std::make_unique<tavro::vbox::VirtualBox>();
  LifeTimes t;
  auto start = Clock::now();
  auto io = std::make_unique<CKusb_IO>();
  t.construct = ms(Clock::now() - start);
  if (box && silent) box->setSilent(true);
  start = Clock::now();
  io.reset();
  t.destroy = ms(Clock::now() - start);
  tavro::setWaitMode(WaitMode::kEvent);
  return t;
}

// Recording with the box pacing as fast as the library reads: multiples of real time, and
// frames the box had to drop.
struct Throughput {
  double realTimes = 0;
  double lost = 0;
};

Throughput recording(WaitMode mode, double seconds) {
  tavro::setWaitMode(mode);
  tavro::bench::TempDir dir(/*asRuntimeDir=*/true);
  tavro::vbox::VirtualBox box;
  box.setAudioPace(0);
  CKusb_IO io;
  const std::string file = std::filesystem::temp_directory_path() / "tavro-bench.wav";
  const auto start = Clock::now();
  io.StartReadSound(file.c_str(), 1);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const int bytes = io.StopReadSound();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::filesystem::remove(file);
  tavro::setWaitMode(WaitMode::kEvent);
  return {bytes > 0 ? bytes / 8000.0 / elapsed : 0, static_cast<double>(box.droppedFrames())};
}

// A file playback with the box giving each go-ahead at once: the time per 512-byte block
// is the time from a go-ahead to the block on the pipe, plus the box's own turn.
// The round-trip and wakeup rows of one way to the box; `prefix` names it in the table.
void addLinkRows(std::vector<Row>& rows, const std::string& prefix,
                 RoundTrip (*trips)(WaitMode, int), double (*wakeups)(WaitMode, bool, double),
                 bool quick) {
  const double idleSeconds = quick ? 2 : 10;
  // A polled trip takes about 100 ms: fewer of them.
  const RoundTrip eventTrip = trips(WaitMode::kEvent, quick ? 200 : 2000);
  const RoundTrip pollTrip = trips(WaitMode::kPoll, quick ? 10 : 100);
  rows.push_back({prefix + "command round trip, median", "ms", eventTrip.median, pollTrip.median});
  rows.push_back(
      {prefix + "command round trip, 99th percentile", "ms", eventTrip.p99, pollTrip.p99});
  rows.push_back(
      {prefix + "command round trip, 99.9th percentile", "ms", eventTrip.p999, pollTrip.p999});
  rows.push_back({prefix + "command round trip, CPU per trip (box too)", "us", eventTrip.cpuUs,
                  pollTrip.cpuUs});
  rows.push_back(
      {prefix + "command round trip, context switches", "", eventTrip.switches, pollTrip.switches});
  rows.push_back({prefix + "wakeups/s, link up and idle", "/s",
                  wakeups(WaitMode::kEvent, true, idleSeconds),
                  wakeups(WaitMode::kPoll, true, idleSeconds)});
  rows.push_back({prefix + "wakeups/s, no box attached", "/s",
                  wakeups(WaitMode::kEvent, false, idleSeconds),
                  wakeups(WaitMode::kPoll, false, idleSeconds)});
}

double goAheadToBlock(WaitMode mode, int blocks) {
  tavro::setWaitMode(mode);
  tavro::bench::TempDir dir(/*asRuntimeDir=*/true);
  tavro::vbox::VirtualBox box;
  box.setPlayPace(0);
  CKusb_IO io;
  const std::string file = std::filesystem::temp_directory_path() / "tavro-bench.al";
  std::ofstream(file, std::ios::binary) << std::string(512 * blocks, '\x55');
  const auto start = Clock::now();
  io.StartPlaySound(file.c_str(), 0, 1, 0, false);
  box.waitForPackets(2 * blocks, std::chrono::seconds(60));
  const double perBlock = ms(Clock::now() - start) / blocks;
  io.StopPlaySound();
  std::filesystem::remove(file);
  tavro::setWaitMode(WaitMode::kEvent);
  return perBlock;
}

// From a replug of the box to the link up again, as the application sees it: the
// link-down bit (0x200) of the status word cleared, looked at every millisecond.
RoundTrip linkBack(WaitMode mode, int count) {
  tavro::setWaitMode(mode);
  tavro::bench::TempDir dir(/*asRuntimeDir=*/true);
  tavro::vbox::VirtualBox box;
  CKusb_IO io;
  const auto linkIs = [&](bool up) {
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (((io.GetTelStatus() & 0x200u) == 0) != up && Clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return ((io.GetTelStatus() & 0x200u) == 0) == up;
  };
  std::vector<double> times;
  if (linkIs(true)) {
    for (int i = 0; i < count; ++i) {
      box.unplug();
      if (!linkIs(false)) break;
      const auto start = Clock::now();
      box.plug();
      if (!linkIs(true)) break;
      times.push_back(ms(Clock::now() - start));
    }
  }
  if (times.empty()) std::fprintf(stderr, "the link did not come back\n");
  tavro::setWaitMode(WaitMode::kEvent);
  return percentiles(times);
}

// From the box's sending of a DTMF record to the application having it: through
// tavro_event_wait, through the callback, or (`polled`) by GetDTMFCode every 10 ms.
enum class Take { kWait, kCallback, kPoll };

RoundTrip eventLatency(Take how, int count) {
  tavro::bench::TempDir dir(/*asRuntimeDir=*/true);
  tavro::vbox::VirtualBox box;
  CKusb_IO io;
  tavro_event e;
  while (tavro_event_wait(&io, &e, 300) == 1) {  // the start's events
  }
  std::atomic<int> arrived{0};
  std::atomic<Clock::rep> at{0};
  struct Seen {
    std::atomic<int>* arrived;
    std::atomic<Clock::rep>* at;
  } seen{&arrived, &at};
  if (how == Take::kCallback) {
    tavro_events_set_callback(
        &io,
        [](CKusb_IO*, const tavro_event* event, void* user) {
          if (event->kind != TAVRO_EVENT_DTMF) return;
          auto* s = static_cast<Seen*>(user);
          s->at->store(Clock::now().time_since_epoch().count());
          s->arrived->fetch_add(1);
          s->arrived->notify_one();
        },
        &seen);
  }
  std::vector<double> times;
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    box.sendDtmf(5);
    Clock::time_point end;
    if (how == Take::kWait) {
      while (tavro_event_wait(&io, &e, 5000) == 1 && e.kind != TAVRO_EVENT_DTMF) {
      }
      end = Clock::now();
    } else if (how == Take::kCallback) {
      arrived.wait(i);
      end = Clock::time_point(Clock::duration(at.load()));
    } else {
      unsigned char code = 0;
      while (io.GetDTMFCode(&code) != 1) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      end = Clock::now();
    }
    times.push_back(ms(end - start));
  }
  if (how == Take::kCallback) tavro_events_set_callback(&io, nullptr, nullptr);
  return percentiles(times);
}

// A storm of status-changing records (hook status items, off and on in turn) offered at
// `offered` records a second in bursts, then a DTMF record: the records a second the
// library took (up to that last one), and the records the box had to drop because the
// library did not read them in time.
struct Storm {
  double perSecond = 0;
  double dropped = 0;
};

Storm storm(WaitMode mode, int count, double offered) {
  tavro::setWaitMode(mode);
  tavro::bench::TempDir dir(/*asRuntimeDir=*/true);
  tavro::vbox::VirtualBox box;
  CKusb_IO io;
  unsigned char code = 0;
  const auto until = Clock::now() + std::chrono::seconds(5);
  while ((io.GetTelStatus() & 0x200u) != 0 && Clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  while (io.GetDTMFCode(&code) == 1) {
  }
  constexpr int kBurst = 50;
  const auto burstEvery =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kBurst / offered));
  const auto start = Clock::now();
  for (int sent = 0; sent < count;) {
    for (int i = 0; i < kBurst && sent < count; ++i, ++sent) box.sendHookStatus(sent % 2 == 0);
    std::this_thread::sleep_until(start + burstEvery * (sent / kBurst));
  }
  // The last record must not be one the box drops.
  for (uint64_t dropped = box.droppedRecords();; dropped = box.droppedRecords()) {
    box.sendDtmf(5);
    if (box.droppedRecords() == dropped) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (io.GetDTMFCode(&code) != 1 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double dropped = static_cast<double>(box.droppedRecords());
  Storm s{(count + 1 - dropped) / seconds, dropped};
  tavro::setWaitMode(WaitMode::kEvent);
  return s;
}

#ifdef TAVRO_BENCH_USB

// The USB ids of the emulated box.
constexpr char kEmulatedBoxIds[] = "1d50:6a01";

// A virtual box shown to the library as an emulated USB device, as in the tests.
class UsbBox {
 public:
  UsbBox() : bridge_(box_.devicePath()), device_(bed_.add(1, {}, &bridge_)) {
    if (!bridge_.connect(device_)) std::fprintf(stderr, "bridge: cannot connect\n");
  }
  ~UsbBox() {
    device_.unplug();
    bridge_.disconnect();
  }

 private:
  tavro::test::UsbTestbed bed_;  // before the library: libusb must find the emulated system
  tavro::vbox::VirtualBox box_;
  tavro::test::WireBridge bridge_;
  tavro::test::EmulatedUsbDevice& device_;
};

RoundTrip usbRoundTrips(WaitMode mode, int count) {
  return roundTripsWith<UsbBox>(mode, count);
}

// As idleWakeups; without a box the emulated system has no device at all.
double usbIdleWakeups(WaitMode mode, bool withBox, double seconds) {
  tavro::setWaitMode(mode);
  tavro::bench::TempDir dir(/*asRuntimeDir=*/true);
  std::unique_ptr<tavro::test::UsbTestbed> bed;
  std::unique_ptr<UsbBox> box;
  if (withBox) {
    box = std::make_unique<UsbBox>();
  } else {
    bed = std::make_unique<tavro::test::UsbTestbed>();
  }
  const std::set<long> before = threadIds();
  double perSecond = 0;
  {
    CKusb_IO io;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let the link settle
    const long start = contextSwitches(before);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    perSecond = (contextSwitches(before) - start) / seconds;
  }
  tavro::setWaitMode(WaitMode::kEvent);
  return perSecond;
}

// The rows over USB, one a line for the parent run: name, unit, event-driven, polling.
int printUsbRows(bool quick) {
  setenv("TAVRO_BACKENDS", "usb", 1);
  setenv("TAVRO_USB_IDS", kEmulatedBoxIds, 1);
  std::vector<Row> rows;
  addLinkRows(rows, "USB: ", usbRoundTrips, usbIdleWakeups, quick);
  for (const Row& r : rows) {
    std::printf("%s|%s|%.6f|%.6f\n", r.name.c_str(), r.unit.c_str(), r.event, r.poll);
  }
  return 0;
}

// Runs this program again under the emulation's preload for the rows over USB.
std::vector<Row> usbRows(bool quick) {
  std::vector<Row> rows;
  std::error_code ec;
  const std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
  if (ec) return rows;
  const std::string command = "'" + self + "' --usb-rows" + (quick ? " --quick" : "");
  FILE* child = popen(command.c_str(), "r");
  if (child == nullptr) return rows;
  char line[256];
  while (std::fgets(line, sizeof line, child) != nullptr) {
    char name[128] = {};
    char unit[16] = {};
    Row r;
    if (std::sscanf(line, "%127[^|]|%15[^|]|%lf|%lf", name, unit, &r.event, &r.poll) == 4) {
      r.name = name;
      r.unit = unit;
      rows.push_back(r);
    }
  }
  if (pclose(child) != 0) std::fprintf(stderr, "the rows over USB could not be measured\n");
  return rows;
}

#endif

}  // namespace

int main(int argc, char** argv) {
  const bool quick = (argc > 1 && std::strcmp(argv[1], "--quick") == 0) ||
                     (argc > 2 && std::strcmp(argv[2], "--quick") == 0);
#ifdef TAVRO_BENCH_USB
  if (argc > 1 && std::strcmp(argv[1], "--usb-rows") == 0) {
    if (!tavro::test::runUnderUmockdevPreload(argv)) return 1;
    tavro::setNoticeHandler([](const std::string&) {});
    return printUsbRows(quick);
  }
#endif
  tavro::setNoticeHandler([](const std::string&) {});

  std::vector<Row> rows;
  addLinkRows(rows, "", roundTrips, idleWakeups, quick);
  [[maybe_unused]] const double wireTripMedian = rows.front().event;  // its first row

  const LifeTimes eBox = lifeTimes(WaitMode::kEvent, true, false);
  const LifeTimes pBox = lifeTimes(WaitMode::kPoll, true, false);
  const LifeTimes eNone = lifeTimes(WaitMode::kEvent, false, false);
  const LifeTimes pNone = lifeTimes(WaitMode::kPoll, false, false);
  const LifeTimes eSilent = lifeTimes(WaitMode::kEvent, true, true);
  const LifeTimes pSilent = lifeTimes(WaitMode::kPoll, true, true);
  rows.push_back({"construction with a box", "ms", eBox.construct, pBox.construct});
  rows.push_back({"construction without a box", "ms", eNone.construct, pNone.construct});
  rows.push_back({"destruction with a box", "ms", eBox.destroy, pBox.destroy});
  rows.push_back({"destruction with a silent box", "ms", eSilent.destroy, pSilent.destroy});

  const Throughput eRec = recording(WaitMode::kEvent, quick ? 1 : 3);
  const Throughput pRec = recording(WaitMode::kPoll, quick ? 1 : 3);
  rows.push_back(
      {"audio-in throughput, box as fast as it can", "x", eRec.realTimes, pRec.realTimes});
  rows.push_back({"audio-in frames lost at that pace", "", eRec.lost, pRec.lost});
  rows.push_back({"playback: go-ahead to block on the pipe", "ms",
                  goAheadToBlock(WaitMode::kEvent, 200), goAheadToBlock(WaitMode::kPoll, 200)});

  const RoundTrip eventBack = linkBack(WaitMode::kEvent, quick ? 5 : 30);
  const RoundTrip pollBack = linkBack(WaitMode::kPoll, quick ? 5 : 30);
  rows.push_back({"replug to link up, median", "ms", eventBack.median, pollBack.median});
  rows.push_back({"replug to link up, 99th percentile", "ms", eventBack.p99, pollBack.p99});

  // Offered at 100,000 records a second.
  const int stormRecords = quick ? 5000 : 20000;
  const Storm eStorm = storm(WaitMode::kEvent, stormRecords, 100000);
  const Storm pStorm = storm(WaitMode::kPoll, stormRecords, 100000);
  rows.push_back({"storm: status records taken", "/s", eStorm.perSecond, pStorm.perSecond});
  rows.push_back({"storm: records the box dropped", "", eStorm.dropped, pStorm.dropped});

  const int events = quick ? 20 : 200;
  const RoundTrip waited = eventLatency(Take::kWait, events);
  const RoundTrip called = eventLatency(Take::kCallback, events);
  const RoundTrip polled = eventLatency(Take::kPoll, quick ? 10 : 50);
  rows.push_back({"box record to event wait, median", "ms", waited.median, polled.median});
  rows.push_back({"box record to event wait, 99th percentile", "ms", waited.p99, polled.p99});
  rows.push_back({"box record to callback, median", "ms", called.median, polled.median});
  rows.push_back({"box record to callback, 99th percentile", "ms", called.p99, polled.p99});

#ifdef TAVRO_BENCH_USB
  const std::vector<Row> overUsb = usbRows(quick);
  rows.insert(rows.end(), overUsb.begin(), overUsb.end());
#endif
  print(rows);
#ifdef TAVRO_BENCH_USB
  // The USB round trip against the virtual wire's, both event-driven.
  for (const Row& r : overUsb) {
    if (r.name == "USB: command round trip, median" && wireTripMedian > 0) {
      std::printf("USB/wire, command round trip median: %.1fx\n", r.event / wireTripMedian);
    }
  }
#endif
  return 0;
}
