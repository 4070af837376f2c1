#include "tools/commands.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <vector>

#include "tavro/CKusb_IO.h"
#include "tavro/devices.h"
#include "tavro/events.h"
#include "tavro/notice.h"
#include "tavro/status.h"
#include "tools/text.h"

namespace tavro::tool {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> gSignals{0};
std::atomic<int> gSignalNumber{0};
int gWakePipe[2] = {-1, -1};

void onSignal(int number) {
  if (gSignals.fetch_add(1) >= 1) _exit(kExitInterrupted);
  gSignalNumber.store(number);
  if (gWakePipe[1] >= 0) {
    char c = 1;
    ssize_t ignored = write(gWakePipe[1], &c, 1);
    (void)ignored;
  }
}

// Sleeps up to `ms` milliseconds; returns at once when a signal arrives.
void nap(int ms) {
  if (gSignals.load() > 0) return;
  pollfd p{gWakePipe[0], POLLIN, 0};
  poll(&p, gWakePipe[0] >= 0 ? 1 : 0, ms);
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void fail(const Failure& f) {
  std::fprintf(stderr, "tavro: %s\n", f.message.c_str());
}

int fail(int code, const std::string& message) {
  std::fprintf(stderr, "tavro: %s\n", message.c_str());
  return code;
}

constexpr const char* kInUseText = "the box is in use by another program";
constexpr const char* kHeldPrefix = "another program holds it: ";

// The in-use message, with the program that holds the box where the box says which.
std::string inUseText(const DeviceList& list) {
  for (const ListedDevice& d : list.devices) {
    if (d.state == DeviceState::kBusy && d.reason.starts_with(kHeldPrefix))
      return std::string(kInUseText) + ": " +
             terminalText(std::string_view(d.reason).substr(std::strlen(kHeldPrefix)));
  }
  return kInUseText;
}

std::string inUseText() {
  return inUseText(listDevices());
}

// Whether any box is published, up or not; a configured device that is not a box does not
// count.
bool anyBoxPublished() {
  const DeviceList list = listDevices();
  return std::any_of(list.devices.begin(), list.devices.end(),
                     [](const ListedDevice& d) { return d.state != DeviceState::kNotABox; });
}

// Checks the result of an operation; on failure writes the message and returns its code.
int check(int result, OpKind kind, const char* what) {
  Failure f = describeResult(result, kind, what);
  if (f.exitCode != kExitOk) fail(f);
  return f.exitCode;
}

// Standard output is gone (a closed pipe): nothing more can be reported.
bool outputFailed() {
  return std::ferror(stdout) != 0;
}

std::string fileSizeText(const std::string& file, long long* size) {
  struct stat st {};
  if (stat(file.c_str(), &st) != 0) return "";
  *size = static_cast<long long>(st.st_size);
  return std::to_string(*size);
}

// What a name that is not a regular file is, for a message: "FILE is a named pipe (FIFO),
// not a regular file".
std::string notRegularText(const std::string& file, mode_t mode) {
  const char* what = S_ISFIFO(mode)   ? "a named pipe (FIFO)"
                     : S_ISCHR(mode)  ? "a character device"
                     : S_ISBLK(mode)  ? "a block device"
                     : S_ISSOCK(mode) ? "a socket"
                                      : nullptr;
  return what != nullptr ? file + " is " + what + ", not a regular file"
                         : file + " is not a regular file";
}

// Why `file` cannot be used as an input file ("" when it can): it must exist and not be a
// directory; with `regularOnly` it must be a regular file.
std::string inputFileProblem(const std::string& file, bool regularOnly) {
  struct stat st {};
  if (stat(file.c_str(), &st) != 0) return "cannot open " + file + ": " + std::strerror(errno);
  if (S_ISDIR(st.st_mode)) return file + " is a directory";
  if (regularOnly && !S_ISREG(st.st_mode)) return notRegularText(file, st.st_mode);
  return "";
}

// Reads at most `limit` bytes of `file` into `data`; returns why it failed, or "". A regular
// file longer than `limit` is not read at all: `data` then holds `limit` zero bytes.
std::string readAtMost(const std::string& file, std::size_t limit, std::vector<uint8_t>* data) {
  if (std::string why = inputFileProblem(file, false); !why.empty()) return why;
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return "cannot open " + file + ": " + std::strerror(errno);
  struct stat st {};
  std::string why;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    why = "cannot read " + file;
  } else if (S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) >= limit) {
    data->assign(limit, 0);
  } else {
    data->resize(limit);
    std::size_t got = 0;
    while (got < limit) {
      ssize_t n = ::read(fd, data->data() + got, limit - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) {
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 1000);
        if (p.revents == 0) break;  // a pipe nobody writes to: take what came
        continue;
      }
      if (n < 0) {
        why = "cannot read " + file + ": " + std::strerror(errno);
        break;
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    data->resize(got);
  }
  ::close(fd);
  return why;
}

bool repairWaveFile(const std::string& file) {
  int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  std::array<uint8_t, kWaveHeaderBytes> header{};
  struct stat st {};
  bool done = fstat(fd, &st) == 0 &&
              pread(fd, header.data(), header.size(), 0) == static_cast<ssize_t>(header.size()) &&
              repairWaveSizes(header, static_cast<uint64_t>(st.st_size)) &&
              pwrite(fd, header.data(), header.size(), 0) == static_cast<ssize_t>(header.size());
  ::close(fd);
  return done;
}

}  // namespace

void installSignalHandlers(bool verboseNotices) {
  if (pipe2(gWakePipe, O_CLOEXEC | O_NONBLOCK) != 0) gWakePipe[0] = gWakePipe[1] = -1;
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // A closed standard output must not kill the tool before it has stopped the library;
  // nor a file size limit (ulimit -f): a write beyond it fails, as on a full disk.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  // The library's own texts are not in English: the tool says what they mean, and with
  // --verbose adds the text itself.
  // Repeats come at most once a second, with how many times the notice was raised.
  tavro::setNoticeHandler([verboseNotices](const std::string& text) {
    const char* english = tavro_notice_text(tavro_notice_code(text.c_str()));
    const int count = tavro_notice_count();
    const std::string times = count > 1 ? " (" + std::to_string(count) + " times)" : "";
    if (!*english)
      std::fprintf(stderr, "tavro: notice: %s%s\n", text.c_str(), times.c_str());
    else if (verboseNotices)
      std::fprintf(stderr, "tavro: notice: %s%s\ntavro: the library's text: %s\n", english,
                   times.c_str(), text.c_str());
    else
      std::fprintf(stderr, "tavro: notice: %s%s\n", english, times.c_str());
  });
}

bool interrupted() {
  return gSignals.load() > 0;
}

int interruptSignal() {
  return gSignals.load() > 0 ? gSignalNumber.load() : 0;
}

int interruptFd() {
  return gWakePipe[0];
}

void clearInterrupt() {
  char buf[16];
  while (gWakePipe[0] >= 0 && read(gWakePipe[0], buf, sizeof buf) > 0) {
  }
  gSignalNumber.store(0);
  gSignals.store(0);
}

Session::~Session() = default;

bool Session::linkUp() {
  return io_ && (io_->GetTelStatus() & kLinkDownBit) == 0;
}

int Session::open(bool mayWait) {
  if (io_) return kExitOk;
  // The library's worker threads must never take the tool's signals: they are started
  // with SIGINT and SIGTERM blocked, which they inherit; a signal that arrives meanwhile
  // is handled once they run.
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  io_ = std::make_unique<CKusb_IO>();
  pthread_sigmask(SIG_SETMASK, &old, nullptr);

  if (mayWait) return interrupted() ? kExitInterrupted : kExitOk;
  // The library has looked for a box once. With nothing published at all there is nothing
  // to wait for; a box that is there but not up yet is given the wait time.
  if (!linkUp() && !boxInUse() && !anyBoxPublished()) {
    return fail(kExitNoBox,
                "no box: no telephone-line box is there (is tavro-box running, or a box "
                "plugged into USB? `tavro devices` lists what is found)");
  }
  Clock::time_point start = Clock::now();
  while (!linkUp() && !interrupted() && secondsSince(start) < waitSeconds_) nap(50);
  if (interrupted()) return kExitInterrupted;
  if (!linkUp() && boxInUse()) return fail(kExitBoxInUse, inUseText());
  if (!linkUp()) {
    // Boxes are looked for on the virtual wire and on USB: the hint names both.
    char buf[192];
    std::snprintf(buf, sizeof buf,
                  "no box: no telephone-line box answered within %.1f s (is tavro-box running, "
                  "or a box plugged into USB? `tavro devices` lists what is found)",
                  waitSeconds_);
    return fail(kExitNoBox, buf);
  }
  return kExitOk;
}

namespace {

struct DeviceInfo {
  int typeResult = 0;
  int infoResult = 0;
  int flagsResult = 0;
  unsigned char type[2] = {};
  unsigned char info[12] = {};
  uint32_t flags = 0;
};

// The flags value shares its range with the failure codes; a failure shows in the status
// word as well (link down, or the command still pending after the time-out).
int readFlags(CKusb_IO& io, uint32_t* flags) {
  int r = io.ReaddiFlagsValue();
  uint32_t word = io.GetTelStatus();
  if (r == TAVRO_ERROR_LINK_DOWN && (word & kLinkDownBit)) return TAVRO_ERROR_LINK_DOWN;
  if (r == TAVRO_ERROR_TIMEOUT && (word & kPendingBit)) return TAVRO_ERROR_TIMEOUT;
  *flags = static_cast<uint32_t>(r);
  return 1;
}

DeviceInfo readDeviceInfo(CKusb_IO& io) {
  DeviceInfo d;
  d.typeResult = io.ReadQV_Type(d.type);
  if (d.typeResult == 1) d.infoResult = io.ReadHSPInfo(d.info);
  if (d.infoResult == 1) d.flagsResult = readFlags(io, &d.flags);
  return d;
}

int firstFailure(const DeviceInfo& d) {
  if (int rc = check(d.typeResult, OpKind::kCommand, "reading the device type")) return rc;
  if (int rc = check(d.infoResult, OpKind::kCommand, "reading the information block")) return rc;
  return check(d.flagsResult, OpKind::kCommand, "reading the flags value");
}

void printDeviceInfo(const DeviceInfo& d) {
  std::span<const uint8_t> info(d.info, 11);
  std::printf("device type: 0x%02x\n", d.type[0]);
  std::printf("information: %s  \"%s\"\n", hexBytes(info).c_str(), printableBytes(info).c_str());
  std::printf("flags: 0x%08x\n", d.flags);
}

std::string deviceInfoJson(const DeviceInfo& d) {
  std::span<const uint8_t> info(d.info, 11);
  std::string hex;
  for (uint8_t b : info) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02x", b);
    hex += buf;
  }
  return "\"type\":" + std::to_string(d.type[0]) + ",\"info\":" + jsonString(hex) +
         ",\"flags\":" + std::to_string(d.flags);
}

std::string bitsJson(uint32_t word) {
  std::string out = "[";
  std::vector<std::string> names = statusBitNames(word);
  for (std::size_t i = 0; i < names.size(); ++i) out += (i ? "," : "") + jsonString(names[i]);
  return out + "]";
}

const char* linkText(uint32_t word) {
  if (!(word & kLinkDownBit)) return (word & kLinkLostBit) ? "up (was lost)" : "up";
  return "down";
}

}  // namespace

int runDevices(bool json) {
  const DeviceList list = listDevices();
  if (json) {
    std::printf("%s\n", devicesJson(list).c_str());
  } else {
    for (const auto& line : deviceLines(list)) std::printf("%s\n", line.c_str());
  }
  const auto any = [&](DeviceState state) {
    return std::any_of(list.devices.begin(), list.devices.end(),
                       [&](const ListedDevice& d) { return d.state == state; });
  };
  if (any(DeviceState::kOpens)) return kExitOk;
  return any(DeviceState::kBusy) ? kExitBoxInUse : kExitNoBox;
}

int runStatus(Session& s, bool json) {
  int rc = s.open();
  if (rc == kExitInterrupted) return rc;
  uint32_t word = s.io().GetTelStatus();
  DeviceInfo d;
  if (rc == kExitOk) {
    d = readDeviceInfo(s.io());
    rc = firstFailure(d);
  }
  if (json) {
    std::string line = "{\"link\":" + jsonString(linkText(word)) +
                       ",\"status\":" + std::to_string(word) + ",\"bits\":" + bitsJson(word);
    if (rc == kExitOk) line += "," + deviceInfoJson(d);
    std::printf("%s}\n", line.c_str());
  } else {
    std::printf("link: %s\n", linkText(word));
    std::printf("status: %s\n", describeStatus(word).c_str());
    if (rc == kExitOk) printDeviceInfo(d);
  }
  return rc;
}

int runInfo(Session& s, bool json) {
  if (int rc = s.open()) return rc;
  DeviceInfo d = readDeviceInfo(s.io());
  if (int rc = firstFailure(d)) return rc;
  CKusb_IO& io = s.io();
  std::string clock = io.GetYear() + "-" + io.GetMoth() + "-" + io.GetDay() + " " + io.GetHour() +
                      ":" + io.GetMin() + ":" + io.GetSec();
  if (json) {
    std::printf("{%s,\"clock\":%s}\n", deviceInfoJson(d).c_str(), jsonString(clock).c_str());
  } else {
    printDeviceInfo(d);
    std::printf("clock: %s\n", clock.c_str());
  }
  return kExitOk;
}

// ---- watch ----------------------------------------------------------------------------

namespace {

// While the link is down the tool looks this often whether another program holds the box;
// with the link up it sleeps until an event, a signal or the end of its time.
constexpr int kDownCheckMs = 100;

}  // namespace

int runWatch(Session& s, const WatchOptions& o) {
  if (int rc = s.open(true)) return rc == kExitInterrupted ? kExitOk : rc;
  CKusb_IO& io = s.io();
  const int events = tavro_events_fd(&io);
  int count = 0;
  const Clock::time_point start = Clock::now();
  auto done = [&] {
    return interrupted() || outputFailed() || (o.maxEvents > 0 && count >= o.maxEvents) ||
           (o.seconds > 0 && secondsSince(start) >= o.seconds);
  };
  if (io.GetTelStatus() & kLinkDownBit) {
    std::fprintf(stderr, "tavro: waiting for the box...\n");
  }
  EventReport report;
  tavro_event event;
  while (!done()) {
    const bool down = (io.GetTelStatus() & kLinkDownBit) != 0;
    // A box that another program holds is refused, not waited for.
    if (down && boxInUse()) return fail(kExitBoxInUse, inUseText());
    while (!done() && tavro_event_take(&io, &event) == 1) {
      std::optional<Event> e = report.describe(event, monotonicNanoseconds());
      // Notices go to standard error, through the notice handler, as in every command.
      if (!e || event.kind == TAVRO_EVENT_NOTICE) continue;
      std::printf("%s\n", eventLine(*e, o.json).c_str());
      std::fflush(stdout);
      ++count;
    }
    if (done()) break;
    int timeout = down ? kDownCheckMs : -1;
    if (o.seconds > 0) {
      // At most a minute at a time: an int of milliseconds does not hold a year.
      const int left = static_cast<int>(std::min(o.seconds - secondsSince(start), 60.0) * 1000) + 1;
      timeout = timeout < 0 ? left : std::min(timeout, left);
    }
    // Standard output is watched for its reader going away (a closed pipe), so that watch
    // ends then and not only at the next event.
    pollfd fds[3] = {{events, POLLIN, 0}, {interruptFd(), POLLIN, 0}, {STDOUT_FILENO, 0, 0}};
    if (poll(fds, 3, timeout) > 0 && (fds[2].revents & (POLLERR | POLLHUP))) return kExitFailed;
  }
  return outputFailed() ? kExitFailed : kExitOk;
}

// ---- line control ---------------------------------------------------------------------

int runPickUp(Session& s) {
  if (int rc = s.open()) return rc;
  if (int rc = check(s.io().PickUp(), OpKind::kCommand, "pick up")) return rc;
  std::printf("line off hook\n");
  return kExitOk;
}

int runHangUp(Session& s) {
  if (int rc = s.open()) return rc;
  CKusb_IO& io = s.io();
  // This process cannot know that an earlier one took the line off hook, and the library
  // sends nothing for a line it believes on hook: mark it off hook so that the on-hook
  // command always reaches the box.
  io.SetTelStatus(io.GetTelStatus() | kOffHookBit);
  if (int rc = check(io.PutDown(), OpKind::kCommand, "hang up")) return rc;
  std::printf("line on hook\n");
  return kExitOk;
}

int runDial(Session& s, const std::string& digits) {
  if (int rc = s.open()) return rc;
  CKusb_IO& io = s.io();
  // Dialling needs the line off hook; a telephone is picked up before it dials.
  if (int rc = check(io.PickUp(), OpKind::kCommand, "dial")) return rc;
  if (int rc = check(io.DialNmb(digits.c_str()), OpKind::kDial, "dial")) return rc;
  std::printf("dialled %s\n", digits.c_str());
  return kExitOk;
}

int runSwitch(Session& s, Switch which, bool on) {
  if (int rc = s.open()) return rc;
  CKusb_IO& io = s.io();
  int r = 0;
  const char* name = "";
  switch (which) {
    case Switch::kMute:
      r = io.IfMute(on);
      name = "mute";
      break;
    case Switch::kMicOut:
      r = io.IfMicOut(on);
      name = "mic-out";
      break;
    case Switch::kLineMic:
      r = io.GetLine_Mic(on);
      name = "line-mic";
      break;
    case Switch::kDtmfCheck:
      r = io.SetCheckDTMFCall(on);
      name = "dtmf-check";
      break;
  }
  std::string what = std::string("switching ") + name + (on ? " on" : " off");
  if (int rc = check(r, OpKind::kCommand, what.c_str())) return rc;
  std::printf("%s %s\n", name, on ? "on" : "off");
  return kExitOk;
}

int runRing(Session& s) {
  if (int rc = s.open()) return rc;
  if (int rc = check(s.io().DetectRing(), OpKind::kCommand, "ring detection")) return rc;
  std::printf("ring detection requested\n");
  return kExitOk;
}

// ---- record ----------------------------------------------------------------------------

namespace {

// Milliseconds to sleep before looking again: at most `ms`, at most until `left` seconds
// have passed, and never negative, however long the recording is.
int napLength(int ms, double left) {
  if (!(left < ms / 1000.0)) return ms;
  return left > 0 ? static_cast<int>(left * 1000) + 1 : 0;
}

// The audio a recorder's wave file holds, when its header describes the file; -1 otherwise.
long long waveAudioBytes(const std::string& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  std::array<uint8_t, kWaveHeaderBytes> header{};
  struct stat st {};
  bool read = fstat(fd, &st) == 0 &&
              pread(fd, header.data(), header.size(), 0) == static_cast<ssize_t>(header.size());
  ::close(fd);
  // A header that needs no repair describes the file.
  if (!read || repairWaveSizes(header, static_cast<uint64_t>(st.st_size))) return -1;
  auto data = uint32_t{header[44]} | uint32_t{header[45]} << 8 | uint32_t{header[46]} << 16 |
              uint32_t{header[47]} << 24;
  return static_cast<long long>(st.st_size) == data + 48LL ? data : -1;
}

}  // namespace

int Recording::start(Session& s, const RecordOptions& o) {
  o_ = o;
  end_ = End::kAsked;
  // Refuse a file that cannot be created before anything starts; a recording that does
  // not start leaves no empty file behind. Only a regular file is recorded into: the writes
  // to anything else (a FIFO, a device) could block or go nowhere.
  struct stat before {};
  bool existed = stat(o.file.c_str(), &before) == 0;
  if (existed && S_ISDIR(before.st_mode))
    return fail(kExitFile, "record failed: " + o.file + " is a directory");
  if (existed && !S_ISREG(before.st_mode))
    return fail(kExitFile, "record failed: " + notRegularText(o.file, before.st_mode));
  int fd = ::open(o.file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
  if (fd < 0) {
    return fail(kExitFile, "record failed: cannot create " + o.file + ": " + std::strerror(errno));
  }
  struct stat opened {};
  const bool regular = fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode);
  ::close(fd);
  if (!regular) return fail(kExitFile, "record failed: " + notRegularText(o.file, opened.st_mode));
  auto removeUnstarted = [&] {
    if (!existed) ::unlink(o.file.c_str());
  };
  if (int rc = s.open()) {
    removeUnstarted();
    return rc;
  }
  CKusb_IO& io = s.io();
  if (o.pickUp) {
    if (int rc = check(io.PickUp(), OpKind::kCommand, "pick up")) {
      removeUnstarted();
      return rc;
    }
  }
  if (int rc = check(io.StartReadSound(o.file.c_str(), o.mode), OpKind::kRecord, "record")) {
    removeUnstarted();
    return rc;
  }
  start_ = lastGrowth_ = Clock::now();
  lastCount_ = io.ReadRecLength();
  if (!o.quiet) {
    std::printf("recording %s%s\n", o.file.c_str(),
                o.seconds > 0 ? (" for " + formatSeconds(o.seconds)).c_str()
                              : (" (" + o.stopHint + ")").c_str());
    std::fflush(stdout);
  }
  return kExitOk;
}

double Recording::elapsed() const {
  return secondsSince(start_);
}

double Recording::secondsLeft() const {
  return o_.seconds > 0 ? o_.seconds - elapsed() : 1.0;
}

void Recording::take(const tavro_event& event) {
  if (event.kind == TAVRO_EVENT_RECORDING_ENDED && event.u.recording.reason != TAVRO_END_STOPPED &&
      event.u.recording.reason != TAVRO_END_LINK_LOST)
    endedByLibrary_ = true;
}

bool Recording::poll(CKusb_IO& io) {
  if (endedByLibrary_) {
    end_ = End::kByLibrary;
    return false;
  }
  if (o_.seconds > 0 && elapsed() >= o_.seconds) return false;
  if (io.GetTelStatus() & kLinkDownBit) {
    end_ = End::kLinkLost;
    return false;
  }
  int32_t count = io.ReadRecLength();
  if (count != lastCount_) {
    lastCount_ = count;
    lastGrowth_ = Clock::now();
  } else if (secondsSince(lastGrowth_) >= o_.stallSeconds) {
    end_ = End::kStalled;
    return false;
  }
  return true;
}

int Recording::finish(Session& s) {
  CKusb_IO& io = s.io();
  double elapsed = this->elapsed();
  int result = -1;
  if (end_ != End::kStalled) {
    result = io.StopReadSound();
    if (result == TAVRO_ERROR_SIZE_LIMIT) {
      std::fprintf(stderr, "tavro: the recording reached the largest size a wave file can hold\n");
      result = io.ReadRecLength();
    }
  }
  if (end_ == End::kStalled || result < 0) {
    bool linkDown = end_ == End::kLinkLost || !s.linkUp();
    // A recording that did not finish leaves its header's sizes unwritten: once the library
    // has stopped and let go of the file, make the header describe the audio it holds.
    s.close();
    repairWaveFile(o_.file);
    std::string message = "record failed: ";
    int code = kExitNoAnswer;
    if (end_ == End::kStalled) {
      message += "the box stopped sending audio (nothing for " + formatSeconds(o_.stallSeconds) +
                 ") while the link is up";
    } else if (linkDown) {
      message += "the link to the box was lost during the recording";
      code = kExitLinkDown;
    } else if (result == TAVRO_ERROR_TIMEOUT) {
      message += "the recording did not end in time (no audio from the box)";
    } else if (result == TAVRO_ERROR_LINK_DOWN) {
      message += "the box did not answer the command that ends the recording";
    } else if (result == TAVRO_ERROR_DISK_FULL) {
      message += "disk full: writing " + o_.file + " failed";
      code = kExitFile;
    } else {
      message += describeResult(result, OpKind::kRecord, "stopping").message;
      code = describeResult(result, OpKind::kRecord, "stopping").exitCode;
    }
    long long audio = waveAudioBytes(o_.file);
    if (audio >= 0) {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%.2f", audio / 8000.0);
      message += "; " + o_.file + " keeps the " + seconds + " s of audio recorded before";
    }
    return fail(code, message);
  }
  long long size = 0;
  fileSizeText(o_.file, &size);
  long long audio = size >= 48 ? size - 48 : 0;
  std::printf("recorded %s: %lld bytes, %.2f s of audio (%d bytes from the box in %s)\n",
              o_.file.c_str(), size, audio / 8000.0, result, formatSeconds(elapsed).c_str());
  std::fflush(stdout);
  return kExitOk;
}

int runRecord(Session& s, const RecordOptions& o) {
  Recording rec;
  if (int rc = rec.start(s, o)) return rc;
  CKusb_IO& io = s.io();
  bool tty = isatty(STDOUT_FILENO) == 1;
  double lastShown = 0;
  tavro_event event;
  for (;;) {
    while (tavro_event_take(&io, &event) == 1) rec.take(event);
    if (interrupted() || !rec.poll(io)) break;
    double elapsed = rec.elapsed();
    if (!o.quiet && elapsed - lastShown >= (tty ? 0.2 : 1.0)) {
      lastShown = elapsed;
      std::string line = recordProgress(elapsed, rec.bytes(io));
      if (tty) {
        std::printf("\r%s\033[K", line.c_str());
      } else {
        std::printf("%s\n", line.c_str());
      }
      std::fflush(stdout);
    }
    nap(napLength(50, rec.secondsLeft()));
  }
  if (!o.quiet) {
    // The last progress line, also where the recording ends: the file is being closed.
    std::string line = recordProgress(rec.elapsed(), rec.bytes(io));
    std::printf(tty ? "\r%s\033[K\n" : "%s\n", line.c_str());
    std::fflush(stdout);
  }
  return rec.finish(s);
}

// ---- play -----------------------------------------------------------------------------

namespace {

// The library has no query for the end of a pass: its progress reaches 1000 when the
// last block has been read from the file, one or two go-aheads of the box (64 ms each)
// before that block has gone. Stop after a grace time long enough for those.
constexpr double kPlayEndGrace = 0.5;
constexpr double kPlayStallLimit = 15.0;  // no progress at all for this long: the box is mute

}  // namespace

Playback::~Playback() {
  if (audio_ >= 0) ::close(audio_);
}

std::string Playback::audioOf(const std::string& file, int fd, uint64_t offset, uint64_t length) {
  audio_ = memfd_create("tavro-play", MFD_CLOEXEC);
  if (audio_ < 0) return std::string("cannot hold the audio: ") + std::strerror(errno);
  std::vector<uint8_t> buffer(1 << 16);
  for (uint64_t done = 0; done < length;) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<uint64_t>(buffer.size(), length - done));
    const ssize_t n = pread(fd, buffer.data(), want, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      return "cannot read " + file + (n < 0 ? std::string(": ") + std::strerror(errno) : "");
    for (ssize_t put = 0; put < n;) {
      const ssize_t w = ::write(audio_, buffer.data() + put, static_cast<std::size_t>(n - put));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return std::string("cannot hold the audio: ") + std::strerror(errno);
      put += w;
    }
    done += static_cast<uint64_t>(n);
  }
  return "";
}

int Playback::start(Session& s, const PlayOptions& o) {
  o_ = o;
  rc_ = kExitOk;
  reachedEnd_ = {};
  if (std::string why = inputFileProblem(o.file, true); !why.empty())
    return fail(kExitFile, "play failed: " + why);
  const int fd = ::open(o.file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int error = errno;
    if (fd >= 0) ::close(fd);
    return fail(kExitFile, "play failed: cannot open " + o.file + ": " + std::strerror(error));
  }
  const AudioFile audio = examineAudioFile(
      [fd](uint64_t offset, uint8_t* to, std::size_t n) {
        const ssize_t got = pread(fd, to, n, static_cast<off_t>(offset));
        return got > 0 ? static_cast<std::size_t>(got) : std::size_t{0};
      },
      static_cast<uint64_t>(st.st_size));
  // The line carries 8000 Hz A-law, one channel: anything else would be played as noise.
  std::string refused;
  if (o.raw && audio.wave) {
    refused = o.file + " is " + audio.found + ", not headerless audio (leave out --raw)";
  } else if (!o.raw && !audio.playable) {
    refused = o.file + " is " + audio.found +
              "; the line takes an 8000 Hz A-law mono wave, or headerless A-law with --raw";
    if (audio.wave) refused += " (sox " + o.file + " -r 8000 -c 1 -e a-law OUT.wav converts it)";
  } else if (!o.raw && audio.length == 0) {
    refused = o.file + " holds no audio";
  }
  std::string source = o.file;
  std::string why;
  if (refused.empty() && !o.raw) {
    why = audioOf(o.file, fd, audio.offset, audio.length);
    source = "/proc/self/fd/" + std::to_string(audio_);
  }
  ::close(fd);
  if (!refused.empty()) return fail(kExitFile, "play refused: " + terminalText(refused));
  if (!why.empty()) return fail(kExitFile, "play failed: " + why);
  if (int rc = s.open()) return rc;
  CKusb_IO& io = s.io();
  int r = io.StartPlaySound(source.c_str(), o.fromPermille, static_cast<unsigned char>(o.mode),
                            static_cast<unsigned char>(o.param), o.flag);
  if (int rc = check(r, OpKind::kPlay, "play")) return rc;
  lastMove_ = Clock::now();
  lastBytes_ = io.GetWriteSoundBytes();
  return kExitOk;
}

bool Playback::poll(CKusb_IO& io) {
  if (io.GetTelStatus() & kLinkDownBit) {
    failure_ = "play failed: the link to the box was lost during the playback";
    rc_ = kExitLinkDown;
    return false;
  }
  int rate = io.GetWriteSoundRate();
  if (rate < 0) {
    failure_ = "play failed: the box reported a playback failure";
    rc_ = kExitFailed;
    return false;
  }
  uint32_t bytes = io.GetWriteSoundBytes();
  if (bytes != lastBytes_) {
    lastBytes_ = bytes;
    lastMove_ = Clock::now();
  } else if (secondsSince(lastMove_) > kPlayStallLimit) {
    failure_ = "play failed: no answer from the box (the playback does not move)";
    rc_ = kExitNoAnswer;
    return false;
  }
  if (rate >= 1000) {
    if (reachedEnd_ == Clock::time_point{}) reachedEnd_ = Clock::now();
    if (secondsSince(reachedEnd_) >= kPlayEndGrace) return false;
  }
  return true;
}

int Playback::finish(Session& s, bool early) {
  CKusb_IO& io = s.io();
  int stop = io.StopPlaySound();
  // -1 with the link up: the link failed during the playback (its audio pipe, or a loss it
  // has come back from), which also shows as a progress of -1.
  if (stop == TAVRO_ERROR_LINK_DOWN && rc_ != kExitLinkDown && s.linkUp()) {
    failure_ = "play failed: the link to the box failed during the playback";
    rc_ = kExitLinkDown;
  }
  if (rc_ != kExitOk) return fail(rc_, failure_);
  if (int src = check(stop, OpKind::kPlay, "stopping the playback")) return src;
  int rate = io.GetWriteSoundRate();
  if (early && rate < 1000) {
    std::printf("stopped %s at %.1f%% (%u bytes)\n", o_.file.c_str(), rate / 10.0,
                io.GetWriteSoundBytes());
  } else {
    std::printf("played %s: %u bytes\n", o_.file.c_str(), io.GetWriteSoundBytes());
  }
  std::fflush(stdout);
  return kExitOk;
}

int runPlay(Session& s, const PlayOptions& o) {
  Playback play;
  if (int rc = play.start(s, o)) return rc;
  CKusb_IO& io = s.io();
  bool tty = isatty(STDOUT_FILENO) == 1;
  if (!o.quiet && !tty) {
    std::printf("playing %s\n", o.file.c_str());
    std::fflush(stdout);
  }
  int lastTenth = -1;
  while (!interrupted() && play.poll(io)) {
    int rate = play.permille(io);
    if (!o.quiet) {
      if (tty) {
        std::printf("\r%s %s\033[K", progressBar(rate, 40).c_str(), o.file.c_str());
        std::fflush(stdout);
      } else if (rate / 100 != lastTenth) {
        lastTenth = rate / 100;
        std::printf("%s\n", progressBar(rate, 20).c_str());
        std::fflush(stdout);
      }
    }
    nap(50);
  }
  if (!o.quiet && tty) std::printf("\n");
  return play.finish(s, interrupted());
}

// ---- flash ----------------------------------------------------------------------------

int runFlashWrite(Session& s, const std::string& file) {
  constexpr std::size_t kFlashBytes = 240;
  std::vector<uint8_t> data;
  // One byte more than the flash takes is enough to refuse a larger file; the type and size
  // are checked before anything is read, so that a device or a huge file costs nothing.
  std::string why = readAtMost(file, kFlashBytes + 1, &data);
  if (!why.empty()) return fail(kExitFile, "flash-write failed: " + why);
  if (data.size() != kFlashBytes) {
    std::string size = data.size() > kFlashBytes ? "more than 240" : std::to_string(data.size());
    return fail(kExitFile, "flash-write refused: " + file + " has " + size +
                               " bytes; the flash takes exactly 240");
  }
  if (int rc = s.open()) return rc;
  int r = s.io().WriteDataToFlash(data.data());
  if (r < 0) return check(r, OpKind::kCommand, "flash-write");
  std::printf("flash written: the box acknowledged with 0x%02x\n", r);
  return kExitOk;
}

}  // namespace tavro::tool
