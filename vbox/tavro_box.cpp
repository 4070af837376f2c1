// tavro-box: runs a virtual box until SIGINT/SIGTERM, driven by a scenario file and/or
// standard input.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

void say(const std::string& text) {
  double t = std::chrono::duration<double>(Clock::now() - startTime).count();
  std::lock_guard lock(outMutex);
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
  std::fflush(stdout);
}

int msUntil(Clock::time_point t) {
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(t - Clock::now()).count();
  return int(std::clamp<long long>(ms, 0, 60000));
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Virtual telephone-line box on the virtual wire"};
  std::string name = "box0";
  std::string runtimeDir;
  std::string scenarioFile;
  std::string captureFile;
  bool interactive = false;
  app.add_option("--name", name, "device interface name")->capture_default_str();
  app.add_option("--runtime-dir", runtimeDir, "directory to use as XDG_RUNTIME_DIR");
  app.add_option("--scenario", scenarioFile, "timed line events to play")->check(CLI::ExistingFile);
  app.add_option("--capture", captureFile, "write the audio played to the box to this wave file");
  app.add_flag("--interactive", interactive, "read verbs from standard input ('help')");
  CLI11_PARSE(app, argc, argv);

  tavro::vbox::Scenario scenario;
  if (!scenarioFile.empty()) {
    std::ifstream in(scenarioFile);
    std::stringstream text;
    text << in.rdbuf();
    scenario = tavro::vbox::parseScenario(text.str());
    if (!scenario.error.empty()) {
      std::fprintf(stderr, "tavro-box: %s: %s\n", scenarioFile.c_str(), scenario.error.c_str());
      return 2;
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
    return 1;
  }

  std::unique_ptr<tavro::vbox::VirtualBox> box;
  try {
    box = std::make_unique<tavro::vbox::VirtualBox>(tavro::vbox::BoxOptions{name});
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tavro-box: %s\n", e.what());
    return 1;
  }
  box->setEventSink([eventFd](const std::string& line) {
    say(line);
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(eventFd, &one, sizeof one);
  });
  say("device " + box->devicePath());

  size_t nextStep = 0;
  Clock::time_point stepAt = Clock::now();
  if (!scenario.steps.empty())
    stepAt += std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(scenario.steps[0].delay));
  std::optional<Clock::time_point> pipesDeadline;  // a waitpipes verb is waiting

  bool quit = false;
  // Runs one verb; false when the program is to end.
  auto run = [&](const std::string& line, const std::string& where) {
    auto result = tavro::vbox::runVerb(*box, line);
    if (!result.message.empty()) say((result.ok ? "" : where + "error: ") + result.message);
    if (result.waitForPipes > 0 && !box->pipesConnected())
      pipesDeadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(result.waitForPipes));
    if (result.quit) quit = true;
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
      run(step.line, "scenario line " + std::to_string(step.lineNumber) + ": ");
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
    }
  }
  box->setEventSink(say);
  std::vector<uint8_t> played = box->playedAudio();
  box.reset();  // clean unplug
  if (!captureFile.empty()) {
    if (!tavro::vbox::writeAlawWave(captureFile, played)) {
      say("cannot write " + captureFile);
      return 1;
    }
    say("captured " + std::to_string(played.size()) + " bytes in " + captureFile);
  }
  say("stopped");
  return 0;
}
