// tavro-box: runs a virtual box until SIGINT/SIGTERM, driven by a scenario file and/or
// standard input.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>

#include "vbox/verbs.h"
#include "vbox/virtual_box.h"

namespace {

using Clock = std::chrono::steady_clock;

std::mutex outMutex;
const auto startTime = Clock::now();
bool gPrompt = false;  // verbs are typed at a terminal: lines go above a "box> " prompt

void say(const std::string& text) {
  double t = std::chrono::duration<double>(Clock::now() - startTime).count();
  std::lock_guard lock(outMutex);
  if (gPrompt) std::fputs("\r\033[K", stdout);  // the line goes where the prompt was
  std::istringstream lines(text);
  std::string line;
  bool first = true;
  while (std::getline(lines, line)) {
    if (first)
      std::printf("[%8.3f] %s\n", t, line.c_str());
    else
      std::printf("           %s\n", line.c_str());
    first = false;
  }
  if (gPrompt) std::fputs("box> ", stdout);
  std::fflush(stdout);
}

int msUntil(Clock::time_point t) {
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(t - Clock::now()).count();
  return int(std::clamp<long long>(ms, 0, 60000));
}

// A scenario file's text; false (and why) when it is missing, not a regular file or
// unreadable. Scenarios are short: a larger file is refused rather than read in.
bool readScenario(const std::string& path, std::string& text, std::string& why) {
  constexpr off_t kLargest = 16 << 20;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    why = std::strerror(errno);
    return false;
  }
  struct stat st {};
  bool ok = fstat(fd, &st) == 0;
  if (!ok) {
    why = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    why = "not a regular file";
    ok = false;
  } else if (st.st_size > kLargest) {
    why = "larger than 16 MiB";
    ok = false;
  }
  char buf[65536];
  while (ok) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = std::strerror(errno);
      ok = false;
    }
    if (n <= 0) break;
    text.append(buf, size_t(n));
  }
  close(fd);
  return ok;
}

}  // namespace

// Exit codes; docs/virtual-box.md lists them.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the device cannot be published, or the capture not written
constexpr int kExitUsage = 2;   // a bad command line, or a scenario file with a mistake

int main(int argc, char** argv) {
  CLI::App app{"Virtual telephone-line box on the virtual wire"};
  app.footer(
      "Exit status: 0 ended by a signal or quit; 1 the device cannot be published or the "
      "capture file not written; 2 a bad command line or a scenario file that cannot be read "
      "or has a mistake (each one is named with its file and line).");
  std::string name = "box0";
  std::string runtimeDir;
  std::string scenarioFile;
  std::string captureFile;
  bool interactive = false;
  double holdGrace = 2.0;
  bool noClaims = false;
  bool detect = false;
  std::string lineFile;
  bool verbose = false;
  app.set_version_flag("--version", std::string("tavro-box ") + TAVRO_BOX_VERSION);
  app.add_option("--name", name, "device interface name")->capture_default_str();
  app.add_option("--hold-grace", holdGrace,
                 "seconds the box stays held after its program's last connection closed")
      ->check(CLI::Range(0.0, 3600.0))
      ->capture_default_str();
  app.add_flag("--no-claims", noClaims,
               "behave as a box of the earlier wire: no claims, a new connection to a pipe "
               "replaces the old one whoever made it");
  app.add_option("--runtime-dir", runtimeDir, "directory to use as XDG_RUNTIME_DIR");
  app.add_option("--scenario", scenarioFile, "timed line events to play");
  app.add_option("--capture", captureFile, "write the audio played to the box to this wave file");
  app.add_flag("--interactive", interactive, "read verbs from standard input ('help')");
  app.add_option("--line", lineFile,
                 "an 8 kHz mono A-law wave file that the line carries (looped)");
  app.add_flag("--detect", detect,
               "send records for what the detectors hear on the line (caller ID, DTMF, 450 Hz)");
  app.add_flag("--verbose", verbose,
               "also a line for each transfer setup that succeeds (one per 64 ms of playback)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int rc = app.exit(e);
    return rc == 0 ? kExitOk : kExitUsage;
  }

  // The whole scenario is checked before the box is published: a test double that runs a
  // broken script hides broken tests.
  tavro::vbox::Scenario scenario;
  if (!scenarioFile.empty()) {
    std::string text, why;
    if (!readScenario(scenarioFile, text, why)) {
      std::fprintf(stderr, "tavro-box: %s: cannot read the scenario: %s\n", scenarioFile.c_str(),
                   why.c_str());
      return kExitUsage;
    }
    scenario = tavro::vbox::parseScenario(text);
    for (const auto& e : scenario.errors)
      std::fprintf(stderr, "tavro-box: %s:%d: %s\n", scenarioFile.c_str(), e.lineNumber,
                   e.what.c_str());
    if (!scenario.errors.empty()) return kExitUsage;
  }
  std::optional<tavro::vbox::LineSource> line;
  if (!lineFile.empty()) {
    std::string why;
    line = tavro::vbox::LineSource::waveFile(lineFile, &why);
    if (!line) {
      std::fprintf(stderr, "tavro-box: --line %s: %s\n", lineFile.c_str(), why.c_str());
      return kExitUsage;
    }
  }
  if (!runtimeDir.empty()) setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);

  // Signals are taken from a descriptor, so that the box's thread never sees them.
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &mask, nullptr);
  int sigFd = signalfd(-1, &mask, SFD_CLOEXEC);
  int eventFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);  // the box reported something
  if (sigFd < 0 || eventFd < 0) {
    std::perror("tavro-box");
    return kExitFailed;
  }

  std::unique_ptr<tavro::vbox::VirtualBox> box;
  try {
    tavro::vbox::BoxOptions options;
    options.name = name;
    options.holdGrace = std::chrono::milliseconds(std::llround(holdGrace * 1000));
    options.claims = !noClaims;
    box = std::make_unique<tavro::vbox::VirtualBox>(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tavro-box: %s\n", e.what());
    return kExitFailed;
  }
  // A playback sets up each transfer anew: those lines are many and say little.
  const auto shown = [verbose](const std::string& line) {
    return verbose || !(line.starts_with("control: transfer setup [") && line.ends_with(", ok"));
  };
  box->setEventSink([eventFd, shown](const std::string& line) {
    if (shown(line)) say(line);
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(eventFd, &one, sizeof one);
  });
  if (line) box->setLineSource(*line);
  box->setDetect(detect);
  say("device " + box->devicePath());
  if (interactive && isatty(STDIN_FILENO) == 1 && isatty(STDOUT_FILENO) == 1) {
    std::lock_guard lock(outMutex);
    gPrompt = true;
    std::fputs("box> ", stdout);
    std::fflush(stdout);
  }

  size_t nextStep = 0;
  Clock::time_point stepAt = Clock::now();
  if (!scenario.steps.empty())
    stepAt += std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(scenario.steps[0].delay));
  std::optional<Clock::time_point> pipesDeadline;  // a waitpipes verb is waiting

  bool quit = false;
  // Runs one verb; false when the program is to end.
  auto show = [&](const tavro::vbox::VerbResult& result, const std::string& where) {
    if (!result.message.empty()) say((result.ok ? "" : where + "error: ") + result.message);
    if (result.waitForPipes > 0 && !box->pipesConnected())
      pipesDeadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(result.waitForPipes));
    if (result.quit) quit = true;
  };
  auto run = [&](const std::string& line, const std::string& where) {
    show(tavro::vbox::runVerb(*box, line), where);
  };

  std::string pending;  // standard input not yet ended by a newline
  bool inputOpen = interactive;
  while (!quit) {
    if (pipesDeadline && (box->pipesConnected() || Clock::now() >= *pipesDeadline)) {
      say(box->pipesConnected() ? "waitpipes: the host is connected"
                                : "waitpipes: gave up waiting for the host");
      pipesDeadline.reset();
      stepAt = Clock::now();  // the next step's delay counts from here
      if (nextStep < scenario.steps.size())
        stepAt += std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(scenario.steps[nextStep].delay));
    }
    if (!pipesDeadline && nextStep < scenario.steps.size() && Clock::now() >= stepAt) {
      const auto& step = scenario.steps[nextStep++];
      show(step.action(*box), scenarioFile + ":" + std::to_string(step.lineNumber) + ": ");
      stepAt = Clock::now();
      if (nextStep < scenario.steps.size())
        stepAt += std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(scenario.steps[nextStep].delay));
      continue;
    }
    int timeout = -1;
    if (pipesDeadline)
      timeout = msUntil(*pipesDeadline);
    else if (nextStep < scenario.steps.size())
      timeout = msUntil(stepAt);

    pollfd fds[3] = {
        {sigFd, POLLIN, 0}, {eventFd, POLLIN, 0}, {STDIN_FILENO, short(inputOpen ? POLLIN : 0), 0}};
    if (poll(fds, inputOpen ? 3 : 2, timeout) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      [[maybe_unused]] ssize_t n = read(sigFd, &info, sizeof info);
      if (info.ssi_signo == SIGPIPE) continue;
      say("signal " + std::to_string(info.ssi_signo) + ": shutting down");
      break;
    }
    if (fds[1].revents & POLLIN) {
      uint64_t v;
      [[maybe_unused]] ssize_t n = read(eventFd, &v, sizeof v);
    }
    if (inputOpen && (fds[2].revents & (POLLIN | POLLHUP))) {
      char buf[4096];
      ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
      if (n <= 0) {
        inputOpen = false;  // end of input: keep running until a signal
        continue;
      }
      pending.append(buf, size_t(n));
      size_t nl;
      while (!quit && (nl = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        run(line, "");
      }
      if (pending.size() > 65536) pending.clear();  // no line is that long
      std::lock_guard lock(outMutex);
      if (gPrompt) {
        std::fputs("\r\033[Kbox> ", stdout);  // also after a line that said nothing
        std::fflush(stdout);
      }
    }
  }
  {
    std::lock_guard lock(outMutex);
    if (gPrompt) std::fputs("\r\033[K", stdout);
    gPrompt = false;
  }
  box->setEventSink([shown](const std::string& line) {
    if (shown(line)) say(line);
  });
  std::vector<uint8_t> played = box->playedAudio();
  box.reset();  // clean unplug
  if (!captureFile.empty()) {
    if (!tavro::vbox::writeAlawWave(captureFile, played)) {
      say("cannot write " + captureFile);
      return kExitFailed;
    }
    say("captured " + std::to_string(played.size()) + " bytes in " + captureFile);
  }
  say("stopped");
  return kExitOk;
}
