// tavrod: holds every box it reaches through the library's backends and publishes each one
// as a shared box on the virtual wire, so that many programs use one box at once.
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/backend.h"
#include "platform/wire.h"
#include "tavrod/shared_box.h"

#ifndef TAVROD_VERSION
#define TAVROD_VERSION "0"
#endif

namespace tavro::daemon {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kUsage =
    "usage: tavrod [--system] [--runtime-dir DIR] [--version] [--help]\n"
    "Shares every box on the machine among programs: each box it holds is published as a\n"
    "shared box on the virtual wire.\n"
    "  --system           publish into /run/tavro, the system publish folder (as the\n"
    "                     system service)\n"
    "  --runtime-dir DIR  use DIR as XDG_RUNTIME_DIR (the user's publish folder is DIR/tavro)\n"
    "TAVRO_BACKENDS narrows the backends (\"wire\", \"usb\"), as for any program.\n";

// How often boxes are looked for when no backend told of a change (a box that was busy, a
// backend that cannot tell).
constexpr std::chrono::milliseconds kLookAgain{1000};
// How long a box may take to answer its claim before the others are looked at.
constexpr std::chrono::milliseconds kClaimLimit{300};
// After a device change, a box that did not open is tried again after these (ms).
constexpr int kRetry[] = {1, 2, 5, 10, 20, 50};

std::mutex gLogMutex;

void logLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(gLogMutex);
  std::fprintf(stderr, "tavrod: %s\n", line.c_str());
  std::fflush(stderr);
}

// A name that a person can tell apart from the others: "+" and the box's own name on the
// wire, "+usb-" and the bus position on USB.
std::string shareName(const std::string& backend, const std::string& path) {
  const size_t slash = path.rfind('/');
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  for (char& c : base) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '_' || c == '-';
    if (!plain) c = '-';
  }
  if (base.size() > 40) base.resize(40);
  // The plus says "shared", and sorts before letters and digits: the library tries the
  // shared box before the box itself.
  return backend == "wire" ? "+" + base : "+" + backend + "-" + base;
}

class Daemon {
 public:
  explicit Daemon(Publishing where) : where_(std::move(where)) {}

  int run() {
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const int signals = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
    changed_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (signals < 0 || changed_ < 0) {
      logLine(std::string("cannot start: ") + std::strerror(errno));
      return 1;
    }
    std::vector<std::string> unknown;
    backends_ = platform::makeBackends(nullptr, &unknown);
    for (const auto& name : unknown) logLine("unknown backend in TAVRO_BACKENDS: " + name);
    std::string names;
    for (auto& b : backends_) {
      names += std::string(names.empty() ? "" : ", ") + b->name();
      b->watchChanges([this](bool) { poke(); });
      for (const auto& note : b->notes()) logLine(std::string(b->name()) + ": " + note);
    }
    logLine("publishing into " + where_.root +
            " (backends: " + (names.empty() ? std::string("none") : names) + ")");

    size_t retry = std::size(kRetry);
    for (;;) {
      dropLost();
      unopened_ = false;
      look();
      // A box seen but not yet listening is looked at again soon, as the library does.
      int timeout = int(kLookAgain.count());
      if (unopened_ && retry < std::size(kRetry)) timeout = kRetry[retry++];
      pollfd fds[2] = {{signals, POLLIN, 0}, {changed_, POLLIN, 0}};
      const int r = poll(fds, 2, timeout);
      if (r < 0 && errno != EINTR) break;
      if (fds[0].revents) {
        signalfd_siginfo info{};
        [[maybe_unused]] ssize_t n = read(signals, &info, sizeof info);
        logLine(std::string("ending (") + strsignal(int(info.ssi_signo)) + ")");
        break;
      }
      if (fds[1].revents) {
        retry = 0;
        uint64_t v;
        [[maybe_unused]] ssize_t n = read(changed_, &v, sizeof v);
      }
    }
    // Every shared box is removed; the boxes are let go.
    for (auto& [key, box] : boxes_) logLine("let go of " + key + " (" + box->name() + ")");
    boxes_.clear();
    away_.clear();
    for (auto& b : backends_) b->watchChanges(nullptr);
    backends_.clear();
    close(changed_);
    close(signals);
    return 0;
  }

 private:
  void poke() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(changed_, &one, sizeof one);
  }

  // A box that went away leaves its shared box waiting for it (away) until it is held again.
  void dropLost() {
    for (auto it = boxes_.begin(); it != boxes_.end();) {
      if (it->second->lost()) {
        logLine("lost " + it->first + " (" + it->second->name() + " waits for it)");
        away_[it->first] = std::move(it->second);
        it = boxes_.erase(it);
      } else {
        ++it;
      }
    }
  }

  bool published(const std::string& path) const {
    for (const auto* boxes : {&boxes_, &away_})
      for (const auto& [key, box] : *boxes)
        if (path == publishedPath(box->name())) return true;
    return false;
  }

  std::string publishedPath(const std::string& name) const {
    return where_.root + "/" + wire::kInterfaceClassName + "/" + name;
  }

  void look() {
    for (auto& backend : backends_) {
      for (const auto& listed : backend->enumerate()) {
        const std::string key = std::string(backend->name()) + " " + listed.path;
        if (boxes_.count(key) || shared_.count(key) || published(listed.path)) continue;
        hold(*backend, listed, key);
      }
    }
  }

  // Holds one box and publishes it; a box that cannot be held now is tried again later.
  void hold(platform::Backend& backend, const platform::DeviceListing& listed,
            const std::string& key) {
    HeldBox box;
    platform::Opened opened = backend.open(listed.path);
    box.device = std::move(opened.device);
    if (!box.device) {
      const bool busy = opened.state == DeviceState::kBusy;
      unopened_ = unopened_ || !busy;
      return note(key, busy ? "another program holds it" : opened.reason);
    }
    const platform::Claim claim = box.device->claimUntil(Clock::now() + kClaimLimit);
    if (claim == platform::Claim::kBusy) {
      const std::string holder = box.device->holder();
      return note(key, "another program holds it" + (holder.empty() ? "" : ": " + holder));
    }
    if (claim == platform::Claim::kNoAnswer) return note(key, "it does not answer its claim");
    if (!box.device->sharing().empty()) {
      shared_.insert(key);  // another service's shared box: never held
      return;
    }
    if (!box.device->vendorRequest(true, 0, kProbeIndex, &box.probe, 1))
      return note(key, "it does not answer the device probe");
    for (int p = 0; p < kPipeCount; ++p) {
      box.pipes[p] = box.device->openPipe(p);
      if (!box.pipes[p])
        return note(key, std::string("its pipe ") + wire::kPipeNames[p] + " does not open");
    }
    box.backend = backend.name();
    box.path = listed.path;
    box.description = listed.description;
    std::string name = shareName(box.backend, box.path);
    for (int n = 2; taken(name); ++n)
      name = shareName(box.backend, box.path) + "-" + std::to_string(n);
    const std::string description = listed.description;
    // The box is held again: the new shared box takes the waiting one's name and sockets,
    // and the waiting one ends only then, so that a program looking for the box always
    // finds a shared box for it, never the box alone, held.
    auto waiting = away_.find(key);
    if (waiting != away_.end()) name = waiting->second->name();
    try {
      auto shared =
          std::make_unique<SharedBox>(name, std::move(box), where_, logLine, [this] { poke(); });
      if (waiting != away_.end()) {
        waiting->second->handOver();
        away_.erase(waiting);
      }
      logLine("holding " + key + " (" + description + ") as " + publishedPath(name));
      boxes_[key] = std::move(shared);
      notes_.erase(key);
    } catch (const std::exception& e) {
      note(key, std::string("cannot publish it: ") + e.what());
    }
  }

  bool taken(const std::string& name) const {
    for (const auto* boxes : {&boxes_, &away_})
      for (const auto& [key, box] : *boxes)
        if (box->name() == name) return true;
    return false;
  }

  // Why a box is not held, said once until it changes.
  void note(const std::string& key, const std::string& why) {
    auto& last = notes_[key];
    if (last == why) return;
    last = why;
    logLine("not holding " + key + ": " + why);
  }

  Publishing where_;
  int changed_ = -1;
  std::vector<std::unique_ptr<platform::Backend>> backends_;
  std::map<std::string, std::unique_ptr<SharedBox>> boxes_;  // by "backend path"
  std::map<std::string, std::unique_ptr<SharedBox>> away_;   // their boxes went away
  std::set<std::string> shared_;                             // shared boxes of others
  std::map<std::string, std::string> notes_;
  bool unopened_ = false;  // a box was seen that did not open
};

}  // namespace
}  // namespace tavro::daemon

int main(int argc, char** argv) {
  using namespace tavro::daemon;
  Publishing where;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--version") {
      std::printf("tavrod %s\n", TAVROD_VERSION);
      return 0;
    }
    if (a == "--system") {
      where.system = true;
    } else if (a == "--runtime-dir" && i + 1 < argc) {
      setenv("XDG_RUNTIME_DIR", argv[++i], 1);
    } else {
      std::fprintf(stderr, "tavrod: unknown option '%s'\n%s", a.c_str(), kUsage);
      return 2;
    }
  }
  if (where.system) {
    where.root = tavro::wire::kSystemPublishRoot;
    if (const group* g = getgrnam(tavro::wire::kSystemGroup)) where.group = int(g->gr_gid);
  } else {
    where.root = tavro::wire::publishRoot();
  }
  return Daemon(where).run();
}
