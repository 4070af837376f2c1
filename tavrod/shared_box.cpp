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

#include "tavrod/routes.h"

namespace tavro::daemon {

namespace {

using Clock = std::chrono::steady_clock;
using Record = std::array<uint8_t, wire::kRecordSize>;
using Packet = std::array<uint8_t, wire::kCommandSize>;

constexpr size_t kFrameSize = 256;
constexpr size_t kMaxControlMessage = 16 + 4096;
constexpr size_t kMaxControlConnections = 16;  // a program's
constexpr size_t kMaxPrograms = 64;
constexpr size_t kMaxQueuedCommands = 256;
// A program whose process lives on with no connection left is let go after this.
constexpr std::chrono::milliseconds kNoConnectionGrace{500};
constexpr uint8_t kAudioInSetup = 0x81;
constexpr uint8_t kAudioOutSetup = 0x80;
constexpr uint8_t kPlainAnswer = 1;

std::string errnoText(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

pid_t peerProcess(int fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return -1;
  return cred.pid;
}

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

// Readable when the process at the other end of `fd` has ended; -1 when it cannot be told.
int processWatch(int fd, pid_t pid) {
  int pidFd = -1;
  socklen_t len = sizeof pidFd;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERPIDFD, &pidFd, &len) == 0 && pidFd >= 0) return pidFd;
#ifdef SYS_pidfd_open
  if (pid > 0) return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#endif
  return -1;
}

std::string processName(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/comm", int(pid));
  std::FILE* f = std::fopen(path, "re");
  if (f == nullptr) return "?";
  char name[32] = {};
  const bool read = std::fgets(name, sizeof name, f) != nullptr;
  std::fclose(f);
  std::string out = read ? name : "?";
  while (!out.empty() && out.back() == '\n') out.pop_back();
  for (char& c : out)
    if (c < 0x20 || c >= 0x7F) c = '?';
  return out;
}

// Opens a registry folder, creating it when missing (0700, or 0755 for a system root, whose
// sockets the group reaches), and refuses one that the library would not trust.
int openFolder(int parent, const char* name, const std::string& shown, bool system) {
  const mode_t mode = system ? 0755 : 0700;
  const bool created = ::mkdirat(parent, name, mode) == 0;
  if (!created && errno != EEXIST) throw std::runtime_error(errnoText("cannot create " + shown));
  wire::Trust why = wire::Trust::kTrusted;
  const int fd = wire::openTrustedFolder(parent, name, &why);
  if (fd < 0)
    throw std::runtime_error("the registry folder " + shown + " " + wire::trustProblem(why) +
                             ": no library would see a box published there");
  if (created) ::fchmod(fd, mode);
  return fd;
}

int listenAt(int folder, const std::string& name, const std::string& shown, int type,
             const Publishing& where) {
  const std::string reach = wire::pathInFolder(folder, name);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (shown.size() > wire::kMaxSocketPath || reach.size() >= sizeof addr.sun_path)
    throw std::runtime_error(shown + ": the path is too long");
  std::memcpy(addr.sun_path, reach.c_str(), reach.size() + 1);
  struct stat st {};
  if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    // A socket left by a service that died is replaced; anything else is not ours.
    if (!S_ISSOCK(st.st_mode)) throw std::runtime_error(shown + " exists and is not a socket");
    ::unlinkat(folder, name.c_str(), 0);
  }
  const int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) throw std::runtime_error(errnoText("socket"));
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0) {
    const std::string why = errnoText("cannot listen at " + shown);
    ::close(fd);
    throw std::runtime_error(why);
  }
  if (where.system) {
    // Programs of the group reach the sockets; nobody else does.
    if (where.group >= 0) ::fchownat(folder, name.c_str(), -1, where.group, AT_SYMLINK_NOFOLLOW);
    ::fchmodat(folder, name.c_str(), 0660, 0);
  }
  return fd;
}

Record makeRecord(std::initializer_list<uint8_t> bytes) {
  Record r{};
  std::copy(bytes.begin(), bytes.end(), r.begin());
  return r;
}

Record hookRecord(bool offHook) {
  return makeRecord({codeOf(Reply::kStatusItem), codeOf(StatusItemKind::kHookState),
                     static_cast<uint8_t>(offHook ? kOffHook : 0)});
}

}  // namespace

// ---- the state of one program ----

struct Program {
  pid_t pid = -1;
  std::string name;
  int watch = -1;  // readable when the process has ended
  int pipe[wire::kPipeCount] = {-1, -1, -1, -1};
  std::vector<int> controls;
  bool recording = false;     // its recording is switched on
  bool streaming = false;     // and its transfer was set up: it receives the line from now on
  std::vector<uint8_t> held;  // the rest of a frame its audio-in connection took in part
  uint64_t framesDropped = 0;
  Clock::time_point lonelySince = Clock::time_point::max();  // no connection since then

  bool connected() const {
    for (int fd : pipe)
      if (fd >= 0) return true;
    return !controls.empty();
  }
};

struct Queued {
  pid_t from;  // 0: tavrod itself, whose answer nobody receives
  Packet packet;
};

struct InFlight {
  pid_t from;
  uint8_t code;
  bool on;
  Clock::time_point until;
};

struct SharedBox::Impl {
  std::string name;
  HeldBox box;
  Publishing where;
  Log log;
  std::function<void()> onLost;
  std::string devicePath;

  int folder = -1;
  int listenDevice = -1;
  int listenPipe[wire::kPipeCount] = {-1, -1, -1, -1};
  int wakeFd = -1;

  std::map<pid_t, Program> programs;  // the loop thread's own
  std::deque<Queued> queue;
  std::optional<InFlight> inFlight;
  pid_t player = 0;  // the program that plays, 0: none
  bool offHook = false;

  // Handed over by the reader threads.
  std::mutex mutex;
  std::deque<Record> records;
  std::deque<std::array<uint8_t, kFrameSize>> frames;
  std::atomic<bool> lost{false};
  std::atomic<bool> stop{false};
  std::atomic<size_t> programCount{0};

  std::thread loopThread, recordReader, audioReader;

  void wake() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd, &one, sizeof one);
  }

  std::string pipeName(int p) const { return name + wire::kPipeSeparator + wire::kPipeNames[p]; }

  void publish() {
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
      for (int p = 0; p < wire::kPipeCount; ++p)
        listenPipe[p] =
            listenAt(folder, pipeName(p), devicePath + wire::kPipeSeparator + wire::kPipeNames[p],
                     wire::pipeSocketType(p), where);
      listenDevice = listenAt(folder, name, devicePath, wire::kDeviceSocketType, where);
    } catch (...) {
      unpublish();
      throw;
    }
  }

  void unpublish() {
    if (listenDevice >= 0) ::unlinkat(folder, name.c_str(), 0);
    closeFd(listenDevice);
    for (int p = 0; p < wire::kPipeCount; ++p) {
      if (listenPipe[p] >= 0) ::unlinkat(folder, pipeName(p).c_str(), 0);
      closeFd(listenPipe[p]);
    }
    closeFd(folder);
  }

  // ---- the held box ----

  void readRecords() {
    for (;;) {
      Record r{};
      uint32_t got = 0;
      if (!box.pipes[wire::kReplyPipe]->read(r.data(), r.size(), &got)) break;
      if (got == 0) continue;
      std::lock_guard<std::mutex> lock(mutex);
      records.push_back(r);
      wake();
    }
    lose();
  }

  void readAudio() {
    for (;;) {
      std::array<uint8_t, kFrameSize> f{};
      uint32_t got = 0;
      if (!box.pipes[wire::kAudioInPipe]->read(f.data(), f.size(), &got) || got != f.size()) break;
      std::lock_guard<std::mutex> lock(mutex);
      frames.push_back(f);
      wake();
    }
    lose();
  }

  void lose() {
    if (!stop.load() && !lost.exchange(true)) wake();
  }

  bool toBox(const Packet& p) {
    uint32_t written = 0;
    if (box.pipes[wire::kCommandPipe]->write(p.data(), p.size(), &written) && written == p.size())
      return true;
    lose();
    return false;
  }

  // ---- programs ----

  Program* programOf(pid_t pid) {
    auto it = programs.find(pid);
    return it == programs.end() ? nullptr : &it->second;
  }

  // The program at the other end of a new connection; null when there is no room for it.
  Program* admit(int fd) {
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

  // A program that has gone: what it held is let go, and the others go on.
  void release(pid_t pid, const char* why) {
    Program* p = programOf(pid);
    if (p == nullptr) return;
    for (int& fd : p->pipe) closeFd(fd);
    for (int& fd : p->controls) closeFd(fd);
    closeFd(p->watch);
    const bool recorded = p->recording;
    programs.erase(pid);
    programCount.store(programs.size());
    // Its queued commands are dropped; the answer to one in flight reaches nobody.
    std::erase_if(queue, [pid](const Queued& q) { return q.from == pid; });
    if (inFlight && inFlight->from == pid) inFlight->from = 0;
    if (recorded && !anyoneRecording()) enqueue(0, makeCommand(Command::kRecordStatus, 0));
    if (player == pid) {
      player = 0;
      enqueue(0, makeCommand(Command::kPlayStatus, 0));
    }
    log("program " + std::to_string(pid) + " left " + name + ": " + why);
    pump();
  }

  static Packet makeCommand(Command code, uint8_t on) {
    Packet p{};
    p[0] = codeOf(code);
    p[1] = on;
    return p;
  }

  bool anyoneRecording() const {
    for (const auto& [pid, p] : programs)
      if (p.recording) return true;
    return false;
  }

  void sendRecord(Program& p, const Record& r) {
    if (p.pipe[wire::kReplyPipe] < 0) return;
    // A program that does not read its records loses them, never the others theirs.
    const ssize_t n =
        ::send(p.pipe[wire::kReplyPipe], r.data(), r.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) closeFd(p.pipe[wire::kReplyPipe]);
  }

  void sendRecordTo(pid_t pid, const Record& r) {
    if (Program* p = programOf(pid)) sendRecord(*p, r);
  }

  void sendToAll(const Record& r, pid_t except = 0) {
    for (auto& [pid, p] : programs)
      if (pid != except) sendRecord(p, r);
  }

  // ---- commands ----

  void enqueue(pid_t from, const Packet& p) {
    if (queue.size() >= kMaxQueuedCommands) return;  // a program that floods loses its own
    queue.push_back({from, p});
  }

  // Sends the next command when none is in flight.
  void pump() {
    while (!inFlight && !queue.empty() && !lost.load()) {
      const Queued q = queue.front();
      queue.pop_front();
      const uint8_t code = q.packet[0];
      const bool on = q.packet[1] == 1;
      Program* from = q.from != 0 ? programOf(q.from) : nullptr;
      if (q.from != 0 && from == nullptr) continue;  // it has gone meanwhile
      if (from != nullptr && code == codeOf(Command::kRecordStatus)) {
        from->recording = on;
        from->streaming = false;
        from->held.clear();
        // The box streams while anyone records: a stop while others record is answered here.
        if (!on && anyoneRecording()) {
          sendRecord(*from, makeRecord({kPlainAnswer, code}));
          continue;
        }
      }
      if (from != nullptr && code == codeOf(Command::kPlayStatus)) {
        if (on && player != 0 && player != q.from) {
          // One program plays at a time: the second is refused, and told so.
          sendRecord(*from, makeRecord({codeOf(Reply::kStatusItem),
                                        codeOf(StatusItemKind::kPlayback), kPlaybackRefused}));
          sendRecord(*from, makeRecord({codeOf(Reply::kStatusItem),
                                        codeOf(StatusItemKind::kPlayback), kPlaybackFault}));
          sendRecord(*from, makeRecord({kPlainAnswer, code}));
          log("program " + std::to_string(q.from) + " was refused playback on " + name +
              ": program " + std::to_string(player) + " plays");
          continue;
        }
        if (!on && player != q.from) {
          sendRecord(*from, makeRecord({kPlainAnswer, code}));
          continue;
        }
        if (on) player = q.from;
      }
      if (!toBox(q.packet)) return;
      inFlight = InFlight{q.from, code, on, Clock::now() + answerLimit(code)};
    }
  }

  void finishCommand() {
    const InFlight done = *inFlight;
    inFlight.reset();
    if (done.code == codeOf(Command::kPickUp) || done.code == codeOf(Command::kPutDown)) {
      // The others' off-hook bits follow the line.
      offHook = done.code == codeOf(Command::kPickUp);
      sendToAll(hookRecord(offHook), done.from);
    }
    if (done.code == codeOf(Command::kPlayStatus) && !done.on && player == done.from) player = 0;
  }

  void onRecord(const Record& r) {
    if (replyTypeOf(r.data()) == Reply::kStatusItem && r[1] == codeOf(StatusItemKind::kHookState))
      offHook = r[2] == kOffHook;
    switch (routeOf(r.data())) {
      case Route::kEveryone:
        sendToAll(r);
        return;
      case Route::kPlayer:
        if (inFlight && inFlight->code == codeOf(Command::kPlayStatus) && inFlight->on) {
          sendRecordTo(inFlight->from, r);
          finishCommand();
        } else if (player != 0) {
          sendRecordTo(player, r);
        }
        return;
      case Route::kSender:
        // An answer with no command in flight is a late one: it belongs to nobody now.
        if (!inFlight) return;
        sendRecordTo(inFlight->from, r);
        if (endsCommand(inFlight->code, r.data())) finishCommand();
        return;
    }
  }

  void onFrame(const std::array<uint8_t, kFrameSize>& f) {
    for (auto& [pid, p] : programs) {
      if (!p.streaming || p.pipe[wire::kAudioInPipe] < 0) continue;
      if (!p.held.empty()) {
        ++p.framesDropped;  // whole frames are lost, never part of one
        continue;
      }
      const ssize_t n =
          ::send(p.pipe[wire::kAudioInPipe], f.data(), f.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
          ++p.framesDropped;
        else
          closeFd(p.pipe[wire::kAudioInPipe]);
      } else if (size_t(n) < f.size()) {
        p.held.assign(f.begin() + n, f.end());
      }
    }
  }

  void flushHeld(Program& p) {
    const ssize_t n = ::send(p.pipe[wire::kAudioInPipe], p.held.data(), p.held.size(),
                             MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0)
      p.held.erase(p.held.begin(), p.held.begin() + n);
    else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
      closeFd(p.pipe[wire::kAudioInPipe]);
  }

  // ---- connections ----

  void acceptPipe(int pipe) {
    const int fd = ::accept4(listenPipe[pipe], nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    Program* p = admit(fd);
    if (p == nullptr) {
      ::close(fd);
      return;
    }
    closeFd(p->pipe[pipe]);  // one connection per pipe: the new one wins
    p->pipe[pipe] = fd;
    if (pipe == wire::kAudioInPipe) p->held.clear();  // a new connection starts at a frame
    // A program that connects learns that the line is off hook (on hook it takes for granted).
    if (pipe == wire::kReplyPipe && offHook) sendRecord(*p, hookRecord(true));
  }

  void acceptControl() {
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
  std::string sharingText(pid_t asker) const {
    const size_t others = programs.size() - (programs.count(asker) ? 1 : 0);
    return box.backend + "\n" + box.path + "\n" + box.description + "\n" + std::to_string(others) +
           "\n";
  }

  // Answers one control request; false when the connection has ended.
  bool readControl(Program& p, int fd) {
    std::vector<uint8_t> buf(kMaxControlMessage);
    const ssize_t n = ::recv(fd, buf.data(), buf.size(), MSG_TRUNC);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    std::vector<uint8_t> answer{wire::kAnswerFailure};
    wire::ControlHeader h;
    if (size_t(n) <= buf.size() && wire::decodeControlHeader(buf.data(), size_t(n), &h)) {
      const size_t dataBytes = size_t(n) - wire::kControlHeaderSize;
      const uint8_t* data = buf.data() + wire::kControlHeaderSize;
      if (h.code == wire::kClaimPipes && h.length == 1 && dataBytes == 0) {
        answer = {wire::kAnswerSuccess, wire::kClaimGranted};  // a shared box is everyone's
      } else if (h.code == wire::kSharing && h.length == wire::kSharingSize && dataBytes == 0) {
        const std::string text = sharingText(p.pid);
        answer.assign(1 + wire::kSharingSize, 0);
        answer[0] = wire::kAnswerSuccess;
        std::memcpy(&answer[1], text.data(), std::min<size_t>(text.size(), wire::kSharingSize - 1));
      } else if (h.code == wire::kVendorRead && h.index == wire::kProbeIndex && h.length == 1 &&
                 dataBytes == 0) {
        answer = {wire::kAnswerSuccess, box.probe};
      } else if (h.code == wire::kVendorWrite && h.length == dataBytes && h.length == 6) {
        answer = {transferSetup(p, h, data) ? wire::kAnswerSuccess : wire::kAnswerFailure};
      } else if (h.code == wire::kPipeReset && h.value < wire::kPipeCount && h.length == 0) {
        answer = {wire::kAnswerSuccess};
      }
    }
    const ssize_t sent = ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return sent == ssize_t(answer.size());
  }

  // A transfer setup: audio in starts the program's own share of the line; audio out is the
  // player's alone (another program's is granted and goes nowhere).
  bool transferSetup(Program& p, const wire::ControlHeader& h, const uint8_t* data) {
    if (data[5] == kAudioInSetup && p.recording) {
      p.streaming = true;
      p.held.clear();
    }
    if (data[5] == kAudioOutSetup && player != p.pid) return true;
    uint8_t copy[6];
    std::memcpy(copy, data, sizeof copy);
    return box.device->vendorRequest(false, h.value, h.index, copy, sizeof copy);
  }

  // What a program sent on a pipe; false when the connection has ended.
  bool readPipe(Program& p, int pipe) {
    uint8_t buf[512];
    if (pipe == wire::kAudioInPipe || pipe == wire::kReplyPipe) {
      const ssize_t n = ::recv(p.pipe[pipe], buf, sizeof buf, MSG_DONTWAIT);
      return n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR));
    }
    const ssize_t n = ::recv(p.pipe[pipe], buf, sizeof buf, MSG_TRUNC | MSG_DONTWAIT);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    if (pipe == wire::kCommandPipe && size_t(n) == wire::kCommandSize) {
      Packet packet;
      std::memcpy(packet.data(), buf, packet.size());
      enqueue(p.pid, packet);
      pump();
    } else if (pipe == wire::kAudioOutPipe && size_t(n) == wire::kAudioPacketSize &&
               player == p.pid) {
      uint32_t written = 0;
      if (!box.pipes[wire::kAudioOutPipe]->write(buf, wire::kAudioPacketSize, &written)) lose();
    }
    return true;
  }

  // ---- the thread ----

  void loop() {
    for (;;) {
      if (stop.load()) return;
      if (lost.load()) {
        // Every program sees its link lost, as with a box of its own unplugged.
        unpublish();
        while (!programs.empty()) release(programs.begin()->first, "the box went away");
        onLost();
        return;
      }
      std::vector<pollfd> fds{{wakeFd, POLLIN, 0}};
      struct Entry {
        pid_t pid;
        int kind;  // 0..3: a pipe, 4: a control connection, 5: the process watch
        int fd;
      };
      std::vector<Entry> entries;
      Clock::time_point due = inFlight ? inFlight->until : Clock::time_point::max();
      for (auto& [pid, p] : programs) {
        for (int k = 0; k < wire::kPipeCount; ++k) {
          if (p.pipe[k] < 0) continue;
          short ev = POLLIN;
          if (k == wire::kAudioInPipe && !p.held.empty()) ev |= POLLOUT;
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
      for (int k = 0; k < wire::kPipeCount; ++k) fds.push_back({listenPipe[k], POLLIN, 0});
      fds.push_back({listenDevice, POLLIN, 0});

      int timeout = -1;
      if (due != Clock::time_point::max()) {
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count();
        timeout = int(std::clamp<long long>(ms, 0, 60000));
      }
      if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) return;
      if (fds[0].revents) {
        uint64_t v;
        [[maybe_unused]] ssize_t n = ::read(wakeFd, &v, sizeof v);
      }
      std::deque<Record> newRecords;
      std::deque<std::array<uint8_t, kFrameSize>> newFrames;
      {
        std::lock_guard<std::mutex> lock(mutex);
        newRecords.swap(records);
        newFrames.swap(frames);
      }
      for (const auto& r : newRecords) onRecord(r);
      for (const auto& f : newFrames) onFrame(f);
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
        if (e.kind == wire::kAudioInPipe && (f.revents & POLLOUT) && !p->held.empty())
          flushHeld(*p);
        if (p->pipe[e.kind] < 0) continue;
        bool alive = true;
        if (f.revents & (POLLIN | POLLHUP | POLLERR)) alive = readPipe(*p, e.kind);
        if (alive && (f.revents & (POLLHUP | POLLERR)) && !(f.revents & POLLIN)) alive = false;
        if (!alive) {
          closeFd(p->pipe[e.kind]);
          if (e.kind == wire::kAudioInPipe) p->streaming = false;
        }
      }
      for (pid_t pid : ended) release(pid, "the process has ended");

      if (inFlight && Clock::now() >= inFlight->until) {
        // No answer in the command's own time: the next one goes.
        inFlight.reset();
        pump();
      }
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

      for (int k = 0; k < wire::kPipeCount; ++k)
        if (fds[listenAt + k].revents & POLLIN) acceptPipe(k);
      if (fds[listenAt + wire::kPipeCount].revents & POLLIN) acceptControl();
    }
  }
};

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
