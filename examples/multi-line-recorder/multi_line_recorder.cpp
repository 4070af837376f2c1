// multi-line-recorder: records every call on every box it is given (every box there is when
// none is given) into a wave file of its own, named by box, time and caller:
//
//   $ multi-line-recorder --out calls
//   box0: link up
//   box1: link up
//   box0: recording calls/box0_20261210-183002_5551234.wav
//   box0: recorded calls/box0_20261210-183002_5551234.wav (96048 bytes)
//
// A recording starts when the line goes off hook (the call is answered) and ends when it goes
// back on hook. Each box has an object of its own, bound to it: its events come to a callback
// of their own, on a thread of their own, so a box that takes its time never holds up another.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <tavro/CKusb_IO.h>
#include <tavro/devices.h>
#include <tavro/events.h>

namespace {

// A caller ID names the call answered within this long after it; a call answered later (or
// made from the line) is "unknown".
constexpr int64_t kCallerValidNs = 60'000'000'000;

// The longest box label and caller in a file name: the rest is cut.
constexpr std::size_t kMaxLabel = 48;
constexpr std::size_t kMaxCaller = 32;

// Text from outside (a device path, a number the line sent) as a piece of a file name: letters,
// digits, '+', '-' and '.' stay, everything else becomes '_', and it never starts with '.'.
std::string safeName(const std::string& text, std::size_t most) {
  std::string out;
  for (char c : text.substr(0, most)) {
    const bool keep = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                      c == '+' || c == '-' || c == '.';
    out += keep ? c : '_';
  }
  if (!out.empty() && out[0] == '.') out[0] = '_';
  return out;
}

// "box0" for ".../box0", "usb-1-2.4" for "usb:1-2.4".
std::string boxLabel(const std::string& device) {
  std::string name = device.rfind("usb:", 0) == 0 ? "usb-" + device.substr(4)
                                                  : device.substr(device.rfind('/') + 1);
  name = safeName(name, kMaxLabel);
  return name.empty() ? "box" : name;
}

// The caller as the caller ID gave it: the number, or why there is none.
std::string callerName(const tavro_caller_id& id) {
  switch (id.number_absence) {
    case TAVRO_ABSENCE_PRIVATE:
      return "private";
    case TAVRO_ABSENCE_UNAVAILABLE:
      return "unavailable";
    case TAVRO_ABSENCE_NO_NUMBER:
      return "no-number";
    default:
      break;
  }
  std::string number = safeName(id.number, kMaxCaller);
  return number.empty() ? "unknown" : number;
}

// One box and its calls. Its callback alone touches it while the recorder runs.
struct Line {
  std::string device;
  std::string label;
  std::string folder;
  std::unique_ptr<CKusb_IO> io;
  std::string caller;    // of the last caller ID
  int64_t callerAt = 0;  // when it came (tavro_event::time_ns)
  std::string file;      // the recording running; empty when none
};

// Makes a new empty file for the call in the folder and returns its path; empty when none can
// be made. An existing file is never used: a second call in the same second gets "-2", ...
std::string newFile(const Line& line, const std::string& caller) {
  char stamp[32] = "time";
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) != nullptr)
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  const std::string base = line.folder + "/" + line.label + "_" + stamp + "_" + caller;
  for (int n = 1; n < 100; ++n) {
    const std::string path = base + (n > 1 ? "-" + std::to_string(n) : "") + ".wav";
    // Made here, new (O_EXCL, and no link followed): the library then writes into this file.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
      close(fd);
      return path;
    }
    if (errno != EEXIST) break;
  }
  std::fprintf(stderr, "%s: cannot make a file in %s: %s\n", line.label.c_str(),
               line.folder.c_str(), std::strerror(errno));
  return {};
}

void startRecording(Line& line, int64_t now) {
  const bool known = !line.caller.empty() && now - line.callerAt < kCallerValidNs;
  std::string path = newFile(line, known ? line.caller : "unknown");
  line.caller.clear();
  if (path.empty()) return;
  // Mode 0: the line is off hook, and the recording holds the call.
  const int r = line.io->StartReadSound(path.c_str(), 0);
  if (r != TAVRO_SUCCESS) {
    std::fprintf(stderr, "%s: recording %s failed: %s\n", line.label.c_str(), path.c_str(),
                 tavro_result_name(r));
    unlink(path.c_str());
    return;
  }
  line.file = std::move(path);
  std::printf("%s: recording %s\n", line.label.c_str(), line.file.c_str());
}

void stopRecording(Line& line) {
  if (line.file.empty()) return;
  const int r = line.io->StopReadSound();
  if (r >= 0)
    std::printf("%s: recorded %s (%d bytes)\n", line.label.c_str(), line.file.c_str(), r);
  else
    std::fprintf(stderr, "%s: recording %s ended with %s\n", line.label.c_str(), line.file.c_str(),
                 tavro_result_name(r));
  line.file.clear();
}

void onEvent(CKusb_IO*, const tavro_event* e, void* user) {
  Line& line = *static_cast<Line*>(user);
  switch (e->kind) {
    case TAVRO_EVENT_CALLER_ID:
      line.caller = callerName(e->u.caller_id);
      line.callerAt = e->time_ns;
      break;
    case TAVRO_EVENT_HOOK:
      if (e->u.hook.off_hook && line.file.empty())
        startRecording(line, e->time_ns);
      else if (!e->u.hook.off_hook)
        stopRecording(line);
      break;
    case TAVRO_EVENT_RECORDING_ENDED:
      // Ended by itself (the link lost, the disk full): the file holds what came until then.
      if (!line.file.empty() && e->u.recording.reason != TAVRO_END_STOPPED) stopRecording(line);
      break;
    case TAVRO_EVENT_LINK_LOST:
      std::printf("%s: link lost\n", line.label.c_str());
      break;
    case TAVRO_EVENT_LINK_BACK:
      std::printf("%s: link up\n", line.label.c_str());
      break;
    default:
      break;
  }
}

int usage(bool asked) {
  std::fprintf(asked ? stdout : stderr,
               "usage: multi-line-recorder [--out FOLDER] [DEVICE...]\n"
               "Records every call on each DEVICE (every box there is when none is given; the\n"
               "paths as `tavro devices` prints them) into FOLDER (default: the current one),\n"
               "one wave file per call named BOX_YYYYMMDD-HHMMSS_CALLER.wav, from the moment\n"
               "the line goes off hook until it goes on hook again. Ctrl-C ends it.\n");
  return asked ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string folder = ".";
  std::vector<std::string> devices;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help") return usage(true);
    if (arg == "--out" && i + 1 < argc)
      folder = argv[++i];
    else if (arg.rfind("-", 0) == 0)
      return usage(false);
    else
      devices.push_back(arg);
  }
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "multi-line-recorder: %s is not a folder\n", folder.c_str());
    return 2;
  }
  if (devices.empty()) {
    for (const tavro::ListedDevice& d : tavro::listDevices().devices)
      if (d.state != tavro::DeviceState::kNotABox) devices.push_back(d.path);
  }
  if (devices.empty()) {
    std::fprintf(stderr, "multi-line-recorder: no box is there (`tavro devices` lists them)\n");
    return 1;
  }
  // Lines go out as they happen, also into a pipe.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  // Ctrl-C and SIGTERM are taken by sigwait() below alone: blocked before the library starts
  // its threads, which inherit the mask.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  std::vector<std::unique_ptr<Line>> lines;
  for (const std::string& device : devices) {
    auto line = std::make_unique<Line>();
    line->device = device;
    line->label = boxLabel(device);
    for (const auto& other : lines)  // two boxes, one name: the second is told apart
      if (other->label == line->label) line->label += "-" + std::to_string(lines.size() + 1);
    line->folder = folder;
    line->io.reset(tavro_open_device(device.c_str()));
    if (!line->io) {
      std::fprintf(stderr, "multi-line-recorder: %s is not a device path\n", device.c_str());
      return 2;
    }
    tavro_events_set_callback(line->io.get(), onEvent, line.get());
    lines.push_back(std::move(line));
  }

  int signal = 0;
  sigwait(&stop, &signal);

  // No callback runs once it is unset: a recording still running is then ended here.
  for (auto& line : lines) {
    tavro_events_set_callback(line->io.get(), nullptr, nullptr);
    stopRecording(*line);
  }
  lines.clear();  // each object stops its box's threads
  return 0;
}
