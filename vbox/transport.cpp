// The transport: the publish folders and the sockets in them, the connections and who holds
// the box, and the box's thread that polls every descriptor.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "platform/wire.h"
#include "platform/wire_peer.h"
#include "vbox/box_impl.h"
#include "vbox/records.h"

namespace tavro::vbox {

namespace {

using wire::peerProcess;
using wire::processWatch;

constexpr size_t kMaxControlConnections = 64;

using wire::kPipeNames;

[[noreturn]] void throwErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// Opens a publish folder, creating it with mode 0700 when it is missing, and refuses one
// that the library would not trust: a box published there would never be seen.
int openPrivateFolder(int parent, const char* name, const std::string& shown) {
  bool created = false;
  if (mkdirat(parent, name, 0700) == 0)
    created = true;
  else if (errno != EEXIST)
    throwErrno("cannot create " + shown);
  wire::Trust why = wire::Trust::kTrusted;
  const int fd = wire::openTrustedFolder(parent, name, &why);
  if (fd < 0) {
    throw std::runtime_error("the publish folder " + shown + " " + wire::trustProblem(why) +
                             ": no library would see a box published there (it must be a "
                             "directory of your own that only you can write)");
  }
  if (created) fchmod(fd, 0700);  // the umask must not narrow it
  return fd;
}

// Listens at `name` inside the opened publish folder; `shown` is its path for messages.
int listenAt(int folder, const std::string& name, const std::string& shown, int type) {
  if (shown.size() > wire::kMaxSocketPath)
    throw std::system_error(ENAMETOOLONG, std::generic_category(), shown);
  const std::string reach = wire::pathInFolder(folder, name);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (reach.size() >= sizeof addr.sun_path)
    throw std::system_error(ENAMETOOLONG, std::generic_category(), shown);
  std::memcpy(addr.sun_path, reach.c_str(), reach.size() + 1);

  struct stat st {};
  if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    // A socket left behind by a box that died; anything else is not ours to remove.
    if (!S_ISSOCK(st.st_mode)) throw std::system_error(EEXIST, std::generic_category(), shown);
    unlinkat(folder, name.c_str(), 0);
  }
  int fd = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) throwErrno("socket");
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
    int e = errno;
    close(fd);
    errno = e;
    throwErrno("cannot listen at " + shown);
  }
  return fd;
}

void closeFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

std::string VirtualBox::Impl::pipePath(int pipe) const {
  return locked([](const Shared& s) { return s.link.path; }) + wire::kPipeSeparator +
         kPipeNames[pipe];
}

std::string VirtualBox::Impl::pipeName(int pipe) const {
  return options.name + wire::kPipeSeparator + kPipeNames[pipe];
}

// ---- plugging ----

void VirtualBox::Impl::doPlug() {
  if (locked([](const Shared& s) { return s.link.plugged; })) return;
  // The folders are checked as opened, and the sockets are made inside the very folder that
  // was checked.
  const std::string root = wire::publishRoot();
  const int rootFd = openPrivateFolder(AT_FDCWD, root.c_str(), root);
  const std::string classDir = root + "/" + kInterfaceClass;
  try {
    folderFd = openPrivateFolder(rootFd, kInterfaceClass, classDir);
  } catch (...) {
    close(rootFd);
    throw;
  }
  close(rootFd);
  std::string device = classDir + "/" + options.name;
  locked([&](Shared& s) { s.link.path = device; });
  try {
    // Pipes first, so that a host that finds the device finds its pipes too.
    for (int p = 0; p < kPipeCount; ++p)
      listenPipe[p] = listenAt(folderFd, pipeName(p), pipePath(p), wire::pipeSocketType(p));
    listenDevice = listenAt(folderFd, options.name, device, wire::kDeviceSocketType);
  } catch (...) {
    removeSockets();
    throw;
  }
  locked([](Shared& s) {
    s.link.plugged = true;
    ++s.link.generation;
  });
  emit("plugged " + device);
}

void VirtualBox::Impl::removeSockets() {
  if (listenDevice >= 0) unlinkat(folderFd, options.name.c_str(), 0);
  closeFd(listenDevice);
  for (int p = 0; p < kPipeCount; ++p) {
    if (listenPipe[p] >= 0) unlinkat(folderFd, pipeName(p).c_str(), 0);
    closeFd(listenPipe[p]);
  }
  closeFd(folderFd);
}

void VirtualBox::Impl::doUnplug() {
  if (!locked([](const Shared& s) { return s.link.plugged; })) return;
  removeSockets();
  for (int p = 0; p < kPipeCount; ++p) closeFd(pipeFd[p]);
  for (int& fd : controlFds) closeFd(fd);
  controlFds.clear();
  controlPid.clear();
  releaseHold("the box was unplugged");
  locked([](Shared& s) {
    s.link.plugged = false;
    ++s.link.generation;
    s.link.connected.fill(false);
    s.replies.clear();
  });
  audioPending.clear();
  changed.notify_all();
  emit("unplugged");
  updateStreaming();
}

// ---- the hold ----

bool VirtualBox::Impl::heldByOther(pid_t pid) const {
  return options.claims &&
         locked([pid](const Shared& s) { return s.link.held && s.link.holder != pid; });
}

void VirtualBox::Impl::takeHold(pid_t pid, int fd) {
  if (!options.claims) return;
  const bool taken = locked([pid](Shared& s) {
    if (s.link.held) return false;
    s.link.held = true;
    s.link.holder = pid;
    return true;
  });
  if (!taken) return;
  holderWatch = processWatch(fd, pid);
  releaseAt = Clock::time_point::max();
  refusalShown = false;
  emit("held by process " + std::to_string(pid));
}

void VirtualBox::Impl::releaseHold(const char* why) {
  releaseAt = Clock::time_point::max();
  pid_t pid = -1;
  const bool wasHeld = locked([&pid](Shared& s) {
    if (!s.link.held) return false;
    s.link.held = false;
    pid = s.link.holder;
    return true;
  });
  if (!wasHeld) return;
  closeFd(holderWatch);
  changed.notify_all();
  emit("released by process " + std::to_string(pid) + ": " + why);
}

// Starts the grace time when the holder has no connection left, and stops it when it has one
// again.
void VirtualBox::Impl::reviewHold() {
  pid_t pid = -1;
  if (!locked([&pid](const Shared& s) {
        pid = s.link.holder;
        return s.link.held;
      }))
    return;
  bool connectedNow = false;
  for (int p = 0; p < kPipeCount; ++p) connectedNow |= pipeFd[p] >= 0 && pipePid[p] == pid;
  for (const auto& [fd, owner] : controlPid) connectedNow |= owner == pid;
  if (connectedNow)
    releaseAt = Clock::time_point::max();
  else if (releaseAt == Clock::time_point::max())
    releaseAt = Clock::now() + options.holdGrace;
}

void VirtualBox::Impl::showRefusal(pid_t pid, const std::string& what) {
  if (refusalShown) return;
  refusalShown = true;
  const pid_t by = locked([](const Shared& s) { return s.link.holder; });
  emit("refused " + what + " from process " + std::to_string(pid) + ": held by process " +
       std::to_string(by));
}

// ---- connections ----

void VirtualBox::Impl::acceptPipe(int pipe) {
  int fd = accept4(listenPipe[pipe], nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;
  const pid_t pid = peerProcess(fd);
  if (heldByOther(pid)) {
    // Another program's connection never replaces the holder's (counted first).
    locked([](Shared& s) { ++s.link.refused; });
    close(fd);
    changed.notify_all();
    showRefusal(pid, std::string("a connection to ") + kPipeNames[pipe]);
    return;
  }
  takeHold(pid, fd);
  pipePid[pipe] = pid;
  bool replaced = pipeFd[pipe] >= 0;
  const int n = locked([pipe](Shared& s) {
    s.link.connected[pipe] = true;
    if (pipe == kReplyPipe) {
      s.replies.dropQueued();  // meant for the old connection
      // The program that connects learns that an earlier one left the line off hook. On
      // hook is what a library takes the line for: saying so could come after the new
      // program's own first hook command and undo it in its view.
      if (s.line.state.offHook) s.replies.push(hookStatusRecord(true));
    }
    return ++s.link.accepted[pipe];
  });
  closeFd(pipeFd[pipe]);  // one connection per pipe: the new one wins (counted first)
  pipeFd[pipe] = fd;
  if (pipe == kAudioInPipe) audioPending.clear();
  changed.notify_all();
  emit(std::string("connect ") + kPipeNames[pipe] + " #" + std::to_string(n) +
       (replaced ? " (replaces the previous one)" : ""));
  updateStreaming();
  reviewHold();
}

void VirtualBox::Impl::dropPipe(int pipe) {
  if (pipeFd[pipe] < 0) return;
  closeFd(pipeFd[pipe]);
  if (pipe == kAudioInPipe) audioPending.clear();  // a new connection starts at a frame
  locked([pipe](Shared& s) {
    s.link.connected[pipe] = false;
    if (pipe == kReplyPipe) s.replies.dropQueued();
  });
  changed.notify_all();
  emit(std::string("disconnect ") + kPipeNames[pipe]);
  updateStreaming();
  reviewHold();
}

void VirtualBox::Impl::acceptControl() {
  int fd = accept4(listenDevice, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;
  if (controlFds.size() >= kMaxControlConnections) {
    close(fd);
    return;
  }
  controlFds.push_back(fd);
  controlPid[fd] = peerProcess(fd);
  reviewHold();
}

void VirtualBox::Impl::closeControl(std::vector<int>::iterator c) {
  controlPid.erase(*c);
  close(*c);
  controlFds.erase(c);
  reviewHold();
}

// Reads what the host sent on a pipe; false when the connection has ended.
bool VirtualBox::Impl::readPipe(int pipe) {
  uint8_t buf[512];
  if (pipe == kAudioInPipe) {
    ssize_t n = recv(pipeFd[pipe], buf, sizeof buf, 0);
    return n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR));
  }
  ssize_t n = recv(pipeFd[pipe], buf, sizeof buf, MSG_TRUNC);
  if (n == 0) return false;
  if (n < 0) return errno == EAGAIN || errno == EINTR;
  size_t expected = pipe == kCommandPipe ? 64 : pipe == kAudioOutPipe ? kAudioPacket : 0;
  if (size_t(n) != expected) {
    locked([](Shared& s) { ++s.malformed; });
    emit(std::string("ignored a ") + std::to_string(n) + "-byte message on " + kPipeNames[pipe]);
    return true;
  }
  if (pipe == kCommandPipe) {
    Packet p;
    std::copy_n(buf, p.size(), p.begin());
    onCommand(p);
  } else {
    onAudioPacket(buf);
  }
  return true;
}

int VirtualBox::Impl::pipeOf(int fd) const {
  for (int p = 0; p < kPipeCount; ++p)
    if (pipeFd[p] == fd) return p;
  return -1;
}

// ---- the box's thread ----

void VirtualBox::Impl::loop() {
  for (;;) {
    std::vector<pollfd> fds;
    fds.push_back({wakeFd, POLLIN, 0});
    bool wantOut = false, audioOut = false;
    Clock::time_point nextDue = Clock::time_point::max();
    locked([&](const Shared& s) {
      wantOut = s.replies.waiting();
      nextDue = s.replies.nextDue();
      const bool flowing = wasStreaming && !s.settings.audioStalled;
      audioOut = !audioPending.empty() || (flowing && s.settings.audioPace <= 0);
      if (flowing && s.settings.audioPace > 0) nextDue = std::min(nextDue, nextFrameAt);
      if (!wasStreaming && s.settings.detect)
        nextDue = std::min(nextDue, idleLine ? nextLineAt : Clock::now());
    });
    nextDue = std::min(nextDue, releaseAt);
    // Audio out before commands: audio sent before a command counts as sent before it.
    for (int p = kPipeCount - 1; p >= 0; --p) {
      if (pipeFd[p] < 0) continue;
      short ev = POLLIN;
      if ((p == kReplyPipe && wantOut) || (p == kAudioInPipe && audioOut)) ev |= POLLOUT;
      fds.push_back({pipeFd[p], ev, 0});
    }
    for (int fd : controlFds) fds.push_back({fd, POLLIN, 0});
    const size_t watchIndex = fds.size();
    if (holderWatch >= 0) fds.push_back({holderWatch, POLLIN, 0});
    for (int p = 0; p < kPipeCount; ++p)
      if (listenPipe[p] >= 0) fds.push_back({listenPipe[p], POLLIN, 0});
    if (listenDevice >= 0) fds.push_back({listenDevice, POLLIN, 0});

    int timeout = -1;
    if (nextDue != Clock::time_point::max()) {
      auto us = std::chrono::ceil<std::chrono::microseconds>(nextDue - Clock::now()).count();
      // poll() counts milliseconds: round up, so that nothing is looked at early.
      timeout = int(std::clamp<long long>((us + 999) / 1000, 0, 60000));
    }
    int ready = poll(fds.data(), fds.size(), timeout);
    if (ready < 0 && errno != EINTR) break;

    if (fds[0].revents) {
      uint64_t v;
      [[maybe_unused]] ssize_t n = read(wakeFd, &v, sizeof v);
      if (runTasks()) break;
      continue;  // the descriptor set may have changed
    }
    locked([](Shared& s) {
      s.audioOut.goAheads += s.replies.moveDue(Clock::now(), s.link.connected[kReplyPipe]);
    });
    // The holder has exited, or its grace time is over. (Its descriptor is closed here and
    // may be reused by an accept below: its entry is not looked at again.)
    if (watchIndex < fds.size() && fds[watchIndex].fd == holderWatch &&
        fds[watchIndex].revents != 0) {
      fds[watchIndex].revents = 0;
      releaseHold("the process has ended");
    }
    if (releaseAt <= Clock::now()) releaseHold("no connection left");
    bool audioWritable = false;
    uint64_t generation = currentGeneration();
    // Connections first, accepts last: a descriptor closed here cannot be reused by an accept
    // before its entry has been looked at. A responder that plugs or unplugs makes the rest
    // of the entries stale.
    for (size_t i = 1; ready > 0 && i < fds.size() && generation == currentGeneration(); ++i) {
      const pollfd& f = fds[i];
      if (!f.revents) continue;
      int pipe = pipeOf(f.fd);
      if (pipe >= 0) {
        if (pipe == kAudioInPipe && (f.revents & POLLOUT)) audioWritable = true;
        bool alive = true;
        if (f.revents & (POLLIN | POLLHUP | POLLERR)) alive = readPipe(pipe);
        if (alive && (f.revents & (POLLHUP | POLLERR)) && !(f.revents & POLLIN)) alive = false;
        if (!alive) dropPipe(pipe);
        continue;
      }
      auto c = std::find(controlFds.begin(), controlFds.end(), f.fd);
      if (c != controlFds.end()) {
        if (!readControl(*c)) closeControl(c);
      }
    }
    if (generation != currentGeneration()) continue;
    pumpAudio(audioWritable);
    if (pipeFd[kReplyPipe] >= 0 && !flushReplies()) dropPipe(kReplyPipe);
    for (size_t i = 1; ready > 0 && i < fds.size(); ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      if (fds[i].fd == listenDevice) {
        acceptControl();
        continue;
      }
      for (int p = 0; p < kPipeCount; ++p)
        if (fds[i].fd == listenPipe[p]) acceptPipe(p);
    }
    if (pipeFd[kReplyPipe] >= 0 && !flushReplies()) dropPipe(kReplyPipe);
  }
}

}  // namespace tavro::vbox
