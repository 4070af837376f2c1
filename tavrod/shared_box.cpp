// A shared box: the sockets of the virtual wire on one side, the held box on the other, and
// one thread that polls every program's connections and routes between them. Two reader
// threads wait on the held box's reply and audio-in pipes and hand what they read over.
#include "tavrod/shared_box.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tavrod/shared_box_impl.h"

namespace tavro::daemon {

void SharedBox::Impl::wake() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wakeFd, &one, sizeof one);
}

void SharedBox::Impl::publish() {
  const int rootFd = openFolder(AT_FDCWD, where.root.c_str(), where.root, where.system);
  const std::string classDir = where.root + "/" + wire::kInterfaceClassName;
  try {
    folder = openFolder(rootFd, wire::kInterfaceClassName, classDir, where.system);
  } catch (...) {
    ::close(rootFd);
    throw;
  }
  ::close(rootFd);
  devicePath = classDir + "/" + name;
  try {
    for (int p = 0; p < kPipeCount; ++p)
      listenPipe[p] =
          listenAt(folder, pipeName(p), devicePath + wire::kPipeSeparator + wire::kPipeNames[p],
                   wire::pipeSocketType(p), where);
    listenDevice = listenAt(folder, name, devicePath, wire::kDeviceSocketType, where);
  } catch (...) {
    unpublish();
    throw;
  }
}

void SharedBox::Impl::unpublish() {
  if (listenDevice >= 0 && !handedOver) ::unlinkat(folder, name.c_str(), 0);
  closeFd(listenDevice);
  for (int p = 0; p < kPipeCount; ++p) {
    if (listenPipe[p] >= 0 && !handedOver) ::unlinkat(folder, pipeName(p).c_str(), 0);
    closeFd(listenPipe[p]);
  }
  closeFd(folder);
}

void SharedBox::Impl::readRecords() {
  for (;;) {
    Record r{};
    uint32_t got = 0;
    if (!box.pipes[kReplyPipe]->read(r.data(), r.size(), &got)) break;
    if (got == 0) continue;
    std::lock_guard<std::mutex> lock(mutex);
    const auto until = inFlight ? inFlight->until : Clock::time_point::min();
    onRecord(r);
    // A command sent meanwhile has a time-out of its own, which the loop must know.
    if (inFlight && inFlight->until != until) wake();
  }
  lose();
}

void SharedBox::Impl::readAudio() {
  for (;;) {
    std::array<uint8_t, kFrameSize> f{};
    uint32_t got = 0;
    if (!box.pipes[kAudioInPipe]->read(f.data(), f.size(), &got) || got != f.size()) break;
    std::lock_guard<std::mutex> lock(mutex);
    if (onFrame(f)) wake();
  }
  lose();
}

void SharedBox::Impl::lose() {
  if (!stop.load() && !lost.exchange(true)) wake();
}

bool SharedBox::Impl::toBox(const Packet& p) {
  uint32_t written = 0;
  if (box.pipes[kCommandPipe]->write(p.data(), p.size(), &written) && written == p.size())
    return true;
  lose();
  return false;
}

Program* SharedBox::Impl::programOf(pid_t pid) {
  auto it = programs.find(pid);
  return it == programs.end() ? nullptr : &it->second;
}

// The program at the other end of a new connection; null when there is no room for it.
Program* SharedBox::Impl::admit(int fd) {
  const pid_t pid = peerProcess(fd);
  if (pid <= 0) return nullptr;
  if (Program* p = programOf(pid)) return p;
  if (programs.size() >= kMaxPrograms) return nullptr;
  Program& p = programs[pid];
  p.pid = pid;
  p.name = processName(pid);
  p.watch = processWatch(fd, pid);
  programCount.store(programs.size());
  log("program " + std::to_string(pid) + " (" + p.name + ") connected to " + name + " (" +
      std::to_string(programs.size()) + (programs.size() == 1 ? " program" : " programs") + ")");
  return &p;
}

void SharedBox::Impl::acceptPipe(int pipe) {
  const int fd = ::accept4(listenPipe[pipe], nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;
  Program* p = away ? nullptr : admit(fd);  // while the box is away, no pipe opens
  if (p == nullptr) {
    ::close(fd);
    return;
  }
  closeFd(p->pipe[pipe]);  // one connection per pipe: the new one wins
  p->pipe[pipe] = fd;
  if (pipe == kAudioInPipe) p->held.clear();  // a new connection starts at a frame
  // A program that connects learns that the line is off hook (on hook it takes for granted).
  if (pipe == kReplyPipe && offHook) sendRecord(*p, hookRecord(true));
}

void SharedBox::Impl::acceptControl() {
  const int fd = ::accept4(listenDevice, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;
  Program* p = admit(fd);
  if (p == nullptr || p->controls.size() >= kMaxControlConnections) {
    ::close(fd);
    return;
  }
  p->controls.push_back(fd);
}

// What the box stands for, and how many programs use it besides the one that asks.
std::string SharedBox::Impl::sharingText(pid_t asker) const {
  const size_t others = programs.size() - (programs.count(asker) ? 1 : 0);
  return box.backend + "\n" + box.path + "\n" + box.description + "\n" + std::to_string(others) +
         "\n";
}

// Answers one control request; false when the connection has ended.
bool SharedBox::Impl::readControl(Program& p, int fd) {
  std::vector<uint8_t> buf(kMaxControlMessage);
  const ssize_t n = ::recv(fd, buf.data(), buf.size(), MSG_TRUNC);
  if (n == 0) return false;
  if (n < 0) return errno == EAGAIN || errno == EINTR;
  std::vector<uint8_t> answer{kAnswerFailure};
  wire::ControlHeader h;
  if (size_t(n) <= buf.size() && wire::decodeControlHeader(buf.data(), size_t(n), &h)) {
    const size_t dataBytes = size_t(n) - wire::kControlHeaderSize;
    const uint8_t* data = buf.data() + wire::kControlHeaderSize;
    if (h.code == kClaimPipes && h.length == 1 && dataBytes == 0) {
      if (away) {
        claimsHeld.push_back({p.pid, fd, Clock::now() + kAwayClaimHold});
        return true;  // answered when the hold is over
      }
      answer = {kAnswerSuccess, kClaimGranted};  // a shared box is everyone's
    } else if (h.code == kSharing && h.length == kSharingSize && dataBytes == 0) {
      const std::string text = sharingText(p.pid);
      answer.assign(1 + kSharingSize, 0);
      answer[0] = kAnswerSuccess;
      std::memcpy(&answer[1], text.data(), std::min<size_t>(text.size(), kSharingSize - 1));
    } else if (h.code == kVendorRead && h.index == kProbeIndex && h.length == 1 && dataBytes == 0) {
      if (!away) answer = {kAnswerSuccess, box.probe};
    } else if (away) {
      // Nothing else works while the box is away.
    } else if (h.code == kVendorWrite && h.length == dataBytes && h.length == kTransferSetupSize) {
      answer = {transferSetup(p, h, data) ? kAnswerSuccess : kAnswerFailure};
    } else if (h.code == kPipeReset && h.value < kPipeCount && h.length == 0) {
      answer = {kAnswerSuccess};
    }
  }
  const ssize_t sent = ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  return sent == ssize_t(answer.size());
}

// While the box is away, a claim is answered busy after a while: the program tries the boxes
// after this one meanwhile, and does not take the box itself when it comes back, since tavrod
// holds it again at once; the box back, the shared box is made anew and the claim ends there.
void SharedBox::Impl::answerClaimsDue() {
  const auto now = Clock::now();
  std::erase_if(claimsHeld, [&](const HeldClaim& claim) {
    if (claim.due > now) return false;
    Program* p = programOf(claim.pid);
    if (p != nullptr &&
        std::find(p->controls.begin(), p->controls.end(), claim.fd) != p->controls.end()) {
      const uint8_t busy[2] = {kAnswerSuccess, kClaimBusy};
      ::send(claim.fd, busy, sizeof busy, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    return true;
  });
}

// A transfer setup: audio in starts the program's own share of the line; audio out is the
// player's alone (another program's is granted and goes nowhere).
bool SharedBox::Impl::transferSetup(Program& p, const wire::ControlHeader& h, const uint8_t* data) {
  if (data[5] == kAudioFromDevice && p.recording) {
    p.streaming = true;
    p.held.clear();
  }
  if (data[5] == kAudioToDevice && player != p.pid) return true;
  uint8_t copy[6];
  std::memcpy(copy, data, sizeof copy);
  return box.device->vendorRequest(false, h.value, h.index, copy, sizeof copy);
}

// What a program sent on a pipe; false when the connection has ended.
bool SharedBox::Impl::readPipe(Program& p, int pipe) {
  uint8_t buf[512];
  if (pipe == kAudioInPipe || pipe == kReplyPipe) {
    const ssize_t n = ::recv(p.pipe[pipe], buf, sizeof buf, MSG_DONTWAIT);
    return n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR));
  }
  const ssize_t n = ::recv(p.pipe[pipe], buf, sizeof buf, MSG_TRUNC | MSG_DONTWAIT);
  if (n == 0) return false;
  if (n < 0) return errno == EAGAIN || errno == EINTR;
  if (pipe == kCommandPipe && size_t(n) == kPacketSize) {
    Packet packet;
    std::memcpy(packet.data(), buf, packet.size());
    enqueue(p.pid, packet);
    pump();
  } else if (pipe == kAudioOutPipe && size_t(n) == kAudioPacketSize && player == p.pid) {
    uint32_t written = 0;
    if (!box.pipes[kAudioOutPipe]->write(buf, kAudioPacketSize, &written)) lose();
  }
  return true;
}

void SharedBox::Impl::loop() {
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    if (stop.load()) return;
    if (lost.load() && !away) {
      // Every program sees its link lost, as with a box of its own unplugged. The shared box
      // stays, away, until its box comes back: a program that looks for a box meanwhile
      // waits on it instead of taking the box itself when it comes back.
      away = true;
      while (!programs.empty()) release(programs.begin()->first, "the box went away");
      onLost();
    }
    answerClaimsDue();
    std::vector<pollfd> fds{{wakeFd, POLLIN, 0}};
    struct Entry {
      pid_t pid;
      int kind;  // 0..3: a pipe, 4: a control connection, 5: the process watch
      int fd;
    };
    std::vector<Entry> entries;
    Clock::time_point due = inFlight ? inFlight->until : Clock::time_point::max();
    for (const auto& claim : claimsHeld) due = std::min(due, claim.due);
    for (auto& [pid, p] : programs) {
      for (int k = 0; k < kPipeCount; ++k) {
        if (p.pipe[k] < 0) continue;
        short ev = POLLIN;
        if (k == kAudioInPipe && !p.held.empty()) ev |= POLLOUT;
        fds.push_back({p.pipe[k], ev, 0});
        entries.push_back({pid, k, p.pipe[k]});
      }
      for (int fd : p.controls) {
        fds.push_back({fd, POLLIN, 0});
        entries.push_back({pid, 4, fd});
      }
      if (p.watch >= 0) {
        fds.push_back({p.watch, POLLIN, 0});
        entries.push_back({pid, 5, p.watch});
      }
      if (p.lonelySince != Clock::time_point::max())
        due = std::min(due, p.lonelySince + kNoConnectionGrace);
    }
    const size_t listenAt = fds.size();
    for (int k = 0; k < kPipeCount; ++k) fds.push_back({listenPipe[k], POLLIN, 0});
    fds.push_back({listenDevice, POLLIN, 0});

    int timeout = -1;
    if (due != Clock::time_point::max()) {
      const auto ms = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count();
      timeout = int(std::clamp<long long>(ms, 0, 60000));
    }
    lock.unlock();
    const int polled = ::poll(fds.data(), fds.size(), timeout);
    lock.lock();
    if (polled < 0 && errno != EINTR) return;
    if (fds[0].revents) {
      uint64_t v;
      [[maybe_unused]] ssize_t n = ::read(wakeFd, &v, sizeof v);
    }
    pump();

    std::vector<pid_t> ended;
    for (size_t i = 0; i < entries.size(); ++i) {
      const pollfd& f = fds[i + 1];
      if (!f.revents) continue;
      const Entry& e = entries[i];
      Program* p = programOf(e.pid);
      if (p == nullptr) continue;
      if (e.kind == 5) {
        ended.push_back(e.pid);
        continue;
      }
      if (e.kind == 4) {
        auto c = std::find(p->controls.begin(), p->controls.end(), e.fd);
        if (c == p->controls.end()) continue;
        if (!readControl(*p, e.fd)) {
          ::close(e.fd);
          p->controls.erase(c);
        }
        continue;
      }
      if (p->pipe[e.kind] != e.fd) continue;  // replaced or closed meanwhile
      if (e.kind == kAudioInPipe && (f.revents & POLLOUT) && !p->held.empty()) flushHeld(*p);
      if (p->pipe[e.kind] < 0) continue;
      bool alive = true;
      if (f.revents & (POLLIN | POLLHUP | POLLERR)) alive = readPipe(*p, e.kind);
      if (alive && (f.revents & (POLLHUP | POLLERR)) && !(f.revents & POLLIN)) alive = false;
      if (!alive) {
        closeFd(p->pipe[e.kind]);
        if (e.kind == kAudioInPipe) p->streaming = false;
      }
    }
    for (pid_t pid : ended) release(pid, "the process has ended");

    if (inFlight && Clock::now() >= inFlight->until) giveUpCommand();
    const auto now = Clock::now();
    std::vector<pid_t> lonely;
    for (auto& [pid, p] : programs) {
      if (p.connected())
        p.lonelySince = Clock::time_point::max();
      else if (p.lonelySince == Clock::time_point::max())
        p.lonelySince = now;
      else if (now >= p.lonelySince + kNoConnectionGrace)
        lonely.push_back(pid);
    }
    for (pid_t pid : lonely) release(pid, "no connection left");

    for (int k = 0; k < kPipeCount; ++k)
      if (fds[listenAt + k].revents & POLLIN) acceptPipe(k);
    if (fds[listenAt + kPipeCount].revents & POLLIN) acceptControl();
  }
}

SharedBox::SharedBox(std::string name, HeldBox box, const Publishing& where, Log log,
                     std::function<void()> lost)
    : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  m.name = std::move(name);
  m.box = std::move(box);
  m.where = where;
  m.log = std::move(log);
  m.onLost = std::move(lost);
  m.wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m.wakeFd < 0) throw std::runtime_error(errnoText("eventfd"));
  try {
    m.publish();
  } catch (...) {
    ::close(m.wakeFd);
    throw;
  }
  m.recordReader = std::thread([&m] { m.readRecords(); });
  m.audioReader = std::thread([&m] { m.readAudio(); });
  m.loopThread = std::thread([&m] { m.loop(); });
}

SharedBox::~SharedBox() {
  Impl& m = *impl_;
  m.stop.store(true);
  m.wake();
  m.loopThread.join();
  // Blocked reads on the held box end at once.
  for (auto& pipe : m.box.pipes)
    if (pipe) pipe->cancel();
  m.box.device->cancel();
  m.recordReader.join();
  m.audioReader.join();
  m.unpublish();
  for (auto& [pid, p] : m.programs) {
    for (int& fd : p.pipe) closeFd(fd);
    for (int& fd : p.controls) closeFd(fd);
    closeFd(p.watch);
  }
  ::close(m.wakeFd);
}

void SharedBox::handOver() {
  impl_->handedOver = true;
}

const std::string& SharedBox::name() const {
  return impl_->name;
}
const std::string& SharedBox::path() const {
  return impl_->box.path;
}
const std::string& SharedBox::backend() const {
  return impl_->box.backend;
}
bool SharedBox::lost() const {
  return impl_->lost.load();
}

}  // namespace tavro::daemon
