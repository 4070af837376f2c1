// tavro-box: runs a virtual box until SIGINT/SIGTERM, optionally driven from standard input.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>

#include "vbox/verbs.h"
#include "vbox/virtual_box.h"

namespace {

std::mutex outMutex;
const auto startTime = std::chrono::steady_clock::now();

void say(const std::string& line) {
  double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - startTime).count();
  std::lock_guard lock(outMutex);
  std::printf("[%8.3f] %s\n", t, line.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Virtual telephone-line box on the virtual wire"};
  std::string name = "box0";
  std::string runtimeDir;
  bool interactive = false;
  app.add_option("--name", name, "device interface name")->capture_default_str();
  app.add_option("--runtime-dir", runtimeDir, "directory to use as XDG_RUNTIME_DIR");
  app.add_flag("--interactive", interactive, "read commands from standard input ('help')");
  CLI11_PARSE(app, argc, argv);

  if (!runtimeDir.empty()) setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);

  // Signals are taken from a descriptor, so that the box's thread never sees them.
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &mask, nullptr);
  int sigFd = signalfd(-1, &mask, SFD_CLOEXEC);
  if (sigFd < 0) {
    std::perror("signalfd");
    return 1;
  }

  std::unique_ptr<tavro::vbox::VirtualBox> box;
  try {
    box = std::make_unique<tavro::vbox::VirtualBox>(tavro::vbox::BoxOptions{name});
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tavro-box: %s\n", e.what());
    return 1;
  }
  box->setEventSink(say);
  say("device " + box->devicePath());

  std::string pending;  // standard input not yet ended by a newline
  bool inputOpen = interactive;
  for (;;) {
    pollfd fds[2] = {{sigFd, POLLIN, 0}, {STDIN_FILENO, short(inputOpen ? POLLIN : 0), 0}};
    if (poll(fds, inputOpen ? 2 : 1, -1) < 0) {
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
    if (inputOpen && (fds[1].revents & (POLLIN | POLLHUP))) {
      char buf[4096];
      ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
      if (n <= 0) {
        inputOpen = false;  // end of input: keep running until a signal
        continue;
      }
      pending.append(buf, size_t(n));
      bool quit = false;
      size_t nl;
      while (!quit && (nl = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        auto result = tavro::vbox::runVerb(*box, line);
        if (result.quit) quit = true;
        if (!result.message.empty()) say(result.message);
      }
      if (quit) break;
    }
  }
  box.reset();  // clean unplug
  say("stopped");
  return 0;
}
