#include "tools/commands.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "tavro/CKusb_IO.h"
#include "tavro/devices.h"
#include "tavro/events.h"
#include "tavro/notice.h"
#include "tavro/status.h"
#include "tools/event_text.h"
#include "tools/files.h"
#include "tools/text.h"

namespace tavro::tool {

namespace {

// Standard output is gone (a closed pipe): nothing more can be reported.
bool outputFailed() {
  return std::ferror(stdout) != 0;
}

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
  if (rc == kExitInterrupted || !s.isOpen()) return rc;
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

// One box that watch reports on.
struct Watched {
  CKusb_IO* io = nullptr;
  std::string device;               // shown with each event (watch --all); empty: none
  std::unique_ptr<CKusb_IO> owned;  // the objects of watch --all
  EventReport report;
};

// Prints the events of every box as they come, until done. A box that another program holds
// ends a watch of one box; with several, that box is left out and the others go on.
int watchBoxes(std::vector<Watched>& boxes, const WatchOptions& o, const std::string& device) {
  const bool several = o.all;
  int count = 0;
  const Clock::time_point start = Clock::now();
  auto done = [&] {
    return interrupted() || outputFailed() || (o.maxEvents > 0 && count >= o.maxEvents) ||
           (o.seconds > 0 && secondsSince(start) >= o.seconds);
  };
  for (const Watched& b : boxes) {
    // A box that another program holds is not waited for (below).
    if (!(b.io->GetTelStatus() & kLinkDownBit) || boxInUse(*b.io)) continue;
    if (several)
      std::fprintf(stderr, "tavro: waiting for the box %s...\n", terminalText(b.device).c_str());
    else
      std::fprintf(stderr, "tavro: waiting for the box...\n");
  }
  tavro_event event;
  std::vector<pollfd> fds;
  while (!done()) {
    bool anyDown = false;
    for (auto b = boxes.begin(); b != boxes.end() && !done();) {
      const bool down = (b->io->GetTelStatus() & kLinkDownBit) != 0;
      // A box that another program holds is refused, not waited for.
      if (down && boxInUse(*b->io)) {
        if (!several) return fail(kExitBoxInUse, inUseText(device));
        fail(kExitBoxInUse, inUseText(b->device) + "; it is not watched");
        b = boxes.erase(b);
        if (boxes.empty()) return kExitBoxInUse;
        continue;
      }
      anyDown = anyDown || down;
      while (!done() && tavro_event_take(b->io, &event) == 1) {
        std::optional<Event> e = b->report.describe(event, monotonicNanoseconds());
        // Notices go to standard error, through the notice handler, as in every command.
        if (!e || event.kind == TAVRO_EVENT_NOTICE) continue;
        std::printf("%s\n", eventLine(*e, o.json, b->device).c_str());
        std::fflush(stdout);
        ++count;
      }
      ++b;
    }
    if (done()) break;
    int timeout = anyDown ? kDownCheckMs : -1;
    if (o.seconds > 0) {
      // At most a minute at a time: an int of milliseconds does not hold a year.
      const int left = static_cast<int>(std::min(o.seconds - secondsSince(start), 60.0) * 1000) + 1;
      timeout = timeout < 0 ? left : std::min(timeout, left);
    }
    // Standard output is watched for its reader going away (a closed pipe), so that watch
    // ends then and not only at the next event.
    fds.assign({{interruptFd(), POLLIN, 0}, {STDOUT_FILENO, 0, 0}});
    for (const Watched& b : boxes) fds.push_back({tavro_events_fd(b.io), POLLIN, 0});
    if (poll(fds.data(), fds.size(), timeout) > 0 && (fds[1].revents & (POLLERR | POLLHUP)))
      return kExitFailed;
  }
  return outputFailed() ? kExitFailed : kExitOk;
}

}  // namespace

int runWatch(Session& s, const WatchOptions& o) {
  if (int rc = s.open(true)) return rc == kExitInterrupted ? kExitOk : rc;
  std::vector<Watched> boxes(1);
  boxes[0].io = &s.io();
  return watchBoxes(boxes, o, s.device());
}

int runWatchAll(Session&, const WatchOptions& o) {
  const DeviceList list = listDevices();
  std::vector<Watched> boxes;
  for (const ListedDevice& d : list.devices) {
    if (d.state == DeviceState::kNotABox) continue;
    if (interrupted()) return kExitOk;
    Watched b;
    b.device = d.path;
    b.owned = openObject(d.path);
    if (!b.owned) continue;  // a path the library would not open
    b.io = b.owned.get();
    boxes.push_back(std::move(b));
  }
  if (boxes.empty()) {
    return fail(kExitNoBox,
                "no box: no telephone-line box is there (is tavro-box running, or a box "
                "plugged into USB? `tavro devices` lists what is found)");
  }
  return watchBoxes(boxes, o, {});
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
