#include "vbox/virtual_box.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace tavro::vbox {

namespace {

constexpr size_t kMaxControlConnections = 64;
constexpr size_t kMaxControlMessage = 16 + 4096;
constexpr size_t kMaxReplyQueue = 4096;          // records; beyond that the host is not reading
constexpr size_t kMaxPlayed = size_t(64) << 20;  // captured audio bytes kept
constexpr int kFramesPerWake = 64;               // as-fast-as-read: frames per loop pass
constexpr auto kFrameTime = std::chrono::microseconds(31250);  // 250 bytes at 8000 per second
constexpr auto kBlockTime = std::chrono::milliseconds(64);     // 512 bytes at 8000 per second

Clock::duration scaled(Clock::duration d, double pace) {
  return std::chrono::duration_cast<Clock::duration>(d / pace);
}

[[noreturn]] void throwErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

std::string hexBytes(const uint8_t* p, size_t n) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02x" : "%02x", p[i]);
    s += buf;
  }
  return s;
}

// The bytes of a packet up to its last non-zero byte (at least the code).
std::string packetText(const Packet& p) {
  size_t n = p.size();
  while (n > 1 && p[n - 1] == 0) --n;
  return hexBytes(p.data(), n);
}

std::string registryRoot() {
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  if (xdg && xdg[0] == '/') return std::string(xdg) + "/tavro";
  return "/tmp/tavro-" + std::to_string(getuid());
}

void makePrivateDir(const std::string& path) {
  if (mkdir(path.c_str(), 0700) == 0) {
    chmod(path.c_str(), 0700);  // the umask must not widen or narrow it
    return;
  }
  if (errno != EEXIST) throwErrno("cannot create " + path);
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw std::system_error(ENOTDIR, std::generic_category(), path);
}

int listenAt(const std::string& path, int type) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path)
    throw std::system_error(ENAMETOOLONG, std::generic_category(), path);
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

  struct stat st {};
  if (lstat(path.c_str(), &st) == 0) {
    // A socket left behind by a box that died; anything else is not ours to remove.
    if (!S_ISSOCK(st.st_mode)) throw std::system_error(EEXIST, std::generic_category(), path);
    unlink(path.c_str());
  }
  int fd = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) throwErrno("socket");
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
    int e = errno;
    close(fd);
    errno = e;
    throwErrno("cannot listen at " + path);
  }
  return fd;
}

void closeFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

const char* kPipeNames[kPipeCount] = {"PIPE00", "PIPE01", "PIPE02", "PIPE03"};

}  // namespace

Record makeRecord(std::initializer_list<uint8_t> bytes) {
  Record r{};
  std::copy_n(bytes.begin(), std::min(bytes.size(), r.size()), r.begin());
  return r;
}

struct VirtualBox::Impl {
  explicit Impl(Options o) : options(std::move(o)) {
    if (options.name.empty() || options.name.find_first_of("/\\") != std::string::npos)
      throw std::invalid_argument("box name must be non-empty, without '/' or '\\'");
    wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) throwErrno("eventfd");
  }

  // ---- configuration and shared state (guarded by mu) ----
  const Options options;
  mutable std::mutex mu;
  mutable std::condition_variable changed;  // log grew, connections changed
  bool isPlugged = false;
  uint64_t fdGeneration = 0;  // changes when plugging changes the descriptor set
  std::string path;           // device path
  bool probeFails = false;
  bool setupFails = false;
  bool silent = false;
  std::chrono::milliseconds answerDelay{0};
  Responder responder;
  EventSink sink;
  LineModel line;
  std::vector<LoggedCommand> commandLog;
  std::vector<LoggedControl> controlLog;
  std::array<int, kPipeCount> accepted{};
  std::array<bool, kPipeCount> connected{};
  size_t malformed = 0;
  std::deque<Record> replyQueue;                  // waiting for the reply pipe to take them
  std::multimap<Clock::time_point, Record> late;  // delayed answers
  std::deque<std::function<void()>> tasks;        // run on the box thread
  bool stopping = false;

  // Audio in: streams while recording is on, a transfer setup for audio in was made and the
  // audio-in pipe is connected.
  FrameMaker maker;
  bool setupIn = false;
  double audioPace = 1;
  uint8_t frameStatus = 0;
  std::deque<uint8_t> frameStatusOnce;
  std::deque<size_t> partialFrames;
  uint64_t framesSentCount = 0;
  uint64_t framesDropped = 0;
  uint64_t partialsSent = 0;
  // Audio out.
  double playPace = 1;
  std::vector<uint8_t> played;
  size_t packetsIn = 0;
  size_t goAheadCount = 0;
  std::deque<Clock::time_point> goAheads;  // due times of go-ahead records

  // ---- owned by the box thread ----
  int wakeFd = -1;
  int listenDevice = -1;
  std::array<int, kPipeCount> listenPipe{-1, -1, -1, -1};
  std::array<int, kPipeCount> pipeFd{-1, -1, -1, -1};
  std::vector<int> controlFds;
  std::vector<uint8_t> audioPending;  // the rest of a frame the audio-in pipe has not taken
  bool wasStreaming = false;
  Clock::time_point nextFrameAt;
  int packetsInBlock = 0;
  Clock::time_point playEnd;  // when the blocks received so far have played
  std::thread thread;
  std::thread::id threadId;

  void wake() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wakeFd, &one, sizeof one);
  }

  void emit(const std::string& line) {
    EventSink s;
    {
      std::lock_guard lock(mu);
      s = sink;
    }
    if (s) s(line);
  }

  // Runs f on the box thread and waits for it (directly when already there).
  void runOnBoxThread(std::function<void()> f) {
    if (std::this_thread::get_id() == threadId) return f();
    std::packaged_task<void()> task(std::move(f));
    auto done = task.get_future();
    {
      std::lock_guard lock(mu);
      tasks.emplace_back([&task] { task(); });
    }
    wake();
    done.get();  // rethrows what the task threw
  }

  std::string pipePath(int pipe) const { return path + "\\" + kPipeNames[pipe]; }

  // ---- plugging (box thread) ----
  void doPlug() {
    if (isPluggedLocked()) return;
    std::string root = registryRoot();
    makePrivateDir(root);
    std::string classDir = root + "/" + kInterfaceClass;
    makePrivateDir(classDir);
    std::string device = classDir + "/" + options.name;
    {
      std::lock_guard lock(mu);
      path = device;
    }
    try {
      // Pipes first, so that a host that finds the device finds its pipes too.
      for (int p = 0; p < kPipeCount; ++p)
        listenPipe[p] = listenAt(pipePath(p), p == kAudioInPipe ? SOCK_STREAM : SOCK_SEQPACKET);
      listenDevice = listenAt(device, SOCK_SEQPACKET);
    } catch (...) {
      removeSockets();
      throw;
    }
    {
      std::lock_guard lock(mu);
      isPlugged = true;
      ++fdGeneration;
    }
    emit("plugged " + device);
  }

  bool isPluggedLocked() {
    std::lock_guard lock(mu);
    return isPlugged;
  }

  void removeSockets() {
    if (listenDevice >= 0) unlink(path.c_str());
    closeFd(listenDevice);
    for (int p = 0; p < kPipeCount; ++p) {
      if (listenPipe[p] >= 0) unlink(pipePath(p).c_str());
      closeFd(listenPipe[p]);
    }
  }

  void doUnplug() {
    if (!isPluggedLocked()) return;
    removeSockets();
    for (int p = 0; p < kPipeCount; ++p) closeFd(pipeFd[p]);
    for (int& fd : controlFds) closeFd(fd);
    controlFds.clear();
    {
      std::lock_guard lock(mu);
      isPlugged = false;
      ++fdGeneration;
      connected.fill(false);
      replyQueue.clear();
      late.clear();
      goAheads.clear();
    }
    audioPending.clear();
    changed.notify_all();
    emit("unplugged");
    updateStreaming();
  }

  // ---- connections (box thread) ----
  void acceptPipe(int pipe) {
    int fd = accept4(listenPipe[pipe], nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    bool replaced = pipeFd[pipe] >= 0;
    int n;
    {
      std::lock_guard lock(mu);
      n = ++accepted[pipe];
      connected[pipe] = true;
      if (pipe == kReplyPipe) replyQueue.clear();  // meant for the old connection
    }
    closeFd(pipeFd[pipe]);  // one connection per pipe: the new one wins (counted first)
    pipeFd[pipe] = fd;
    if (pipe == kAudioInPipe) audioPending.clear();
    changed.notify_all();
    emit(std::string("connect ") + kPipeNames[pipe] + " #" + std::to_string(n) +
         (replaced ? " (replaces the previous one)" : ""));
    updateStreaming();
  }

  void dropPipe(int pipe) {
    if (pipeFd[pipe] < 0) return;
    closeFd(pipeFd[pipe]);
    if (pipe == kAudioInPipe) audioPending.clear();  // a new connection starts at a frame
    {
      std::lock_guard lock(mu);
      connected[pipe] = false;
      if (pipe == kReplyPipe) replyQueue.clear();
    }
    changed.notify_all();
    emit(std::string("disconnect ") + kPipeNames[pipe]);
    updateStreaming();
  }

  void acceptControl() {
    int fd = accept4(listenDevice, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    if (controlFds.size() >= kMaxControlConnections) {
      close(fd);
      return;
    }
    controlFds.push_back(fd);
  }

  // Reads what the host sent on a pipe; false when the connection has ended.
  bool readPipe(int pipe) {
    if (pipe == kAudioInPipe) {
      uint8_t buf[512];
      ssize_t n = recv(pipeFd[pipe], buf, sizeof buf, 0);
      return n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR));
    }
    uint8_t buf[512];
    ssize_t n = recv(pipeFd[pipe], buf, sizeof buf, MSG_TRUNC);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    size_t expected = pipe == kCommandPipe ? 64 : pipe == kAudioOutPipe ? 256 : 0;
    if (size_t(n) != expected) {
      {
        std::lock_guard lock(mu);
        ++malformed;
      }
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

  void onCommand(const Packet& p) {
    auto now = Clock::now();
    Responder r;
    bool mute;
    {
      std::lock_guard lock(mu);
      commandLog.push_back({p, now});
      r = responder;
      mute = silent;
    }
    changed.notify_all();
    emit("command " + packetText(p));
    std::vector<Record> own = defaultAnswer(p);  // the line follows every command
    if (p[0] == kCmdRecord || p[0] == kCmdPlay) audioCommand(p);
    if (mute) return;
    std::optional<std::vector<Record>> answer;
    if (r) {
      try {
        answer = r(p);
      } catch (const std::exception& e) {
        emit(std::string("responder failed: ") + e.what() + "; the box answers itself");
      }
    }
    queueAnswer(answer ? *answer : own);
  }

  std::vector<Record> defaultAnswer(const Packet& p) {
    std::lock_guard lock(mu);
    return line.handle(p);
  }

  void queueAnswer(const std::vector<Record>& records) {
    if (records.empty()) return;
    std::lock_guard lock(mu);
    if (!connected[kReplyPipe]) return;
    if (answerDelay.count() > 0) {
      auto due = Clock::now() + answerDelay;
      for (const Record& rec : records) late.emplace(due, rec);
    } else {
      for (const Record& rec : records) pushReply(rec);
    }
  }

  void pushReply(const Record& rec) {  // mu held
    if (replyQueue.size() < kMaxReplyQueue) replyQueue.push_back(rec);
  }

  // Sends queued records while the reply pipe takes them; false when the connection broke.
  bool flushReplies() {
    for (;;) {
      Record rec;
      {
        std::lock_guard lock(mu);
        if (replyQueue.empty()) return true;
        rec = replyQueue.front();
      }
      ssize_t n = send(pipeFd[kReplyPipe], rec.data(), rec.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
      if (n != ssize_t(rec.size())) return false;
      {
        std::lock_guard lock(mu);
        if (!replyQueue.empty()) replyQueue.pop_front();
      }
      if (rec[0] != kReadyReply || rec[1] != 0) emit("reply " + packetText(rec));  // not go-aheads
    }
  }

  void moveDueAnswers() {
    std::lock_guard lock(mu);
    auto now = Clock::now();
    while (!late.empty() && late.begin()->first <= now) {
      if (connected[kReplyPipe]) pushReply(late.begin()->second);
      late.erase(late.begin());
    }
  }

  // Answers one control request; false when the connection has ended.
  bool readControl(int fd) {
    std::vector<uint8_t> buf(kMaxControlMessage);
    ssize_t n = recv(fd, buf.data(), buf.size(), MSG_TRUNC);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    LoggedControl req;
    req.time = Clock::now();
    std::vector<uint8_t> answer{0};
    bool wellFormed = size_t(n) >= 16 && size_t(n) <= buf.size();
    if (wellFormed) {
      req.code = le32(&buf[0]);
      req.value = le32(&buf[4]);
      req.index = le32(&buf[8]);
      uint32_t length = le32(&buf[12]);
      size_t dataBytes = size_t(n) - 16;
      bool fails;
      {
        std::lock_guard lock(mu);
        fails = req.code == kVendorReadCode ? probeFails : setupFails;
      }
      if (req.code == kVendorReadCode) {
        // The one readable register: the probe. It answers one byte.
        if (req.index == kProbeIndex && length == 1 && dataBytes == 0 && !fails) answer = {1, 0x01};
      } else if (req.code == kVendorWriteCode) {
        req.data.assign(buf.begin() + 16, buf.begin() + n);
        if (req.index == kTransferSetupIndex && length == 6 && dataBytes == 6 && !fails)
          answer = {1};
        if (answer[0] == 1 && req.data[5] == 0x81) {
          std::lock_guard lock(mu);
          setupIn = true;
        }
      } else if (req.code == kPipeResetCode) {
        if (req.value < kPipeCount && length == 0 && dataBytes == 0) answer = {1};
      }
    }
    req.succeeded = answer[0] == 1;
    {
      std::lock_guard lock(mu);
      controlLog.push_back(req);
    }
    changed.notify_all();
    emit(controlText(req, wellFormed, n));
    ssize_t sent = send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    updateStreaming();
    return sent == ssize_t(answer.size());
  }

  // ---- audio (box thread) ----
  bool streamingLocked() const {  // mu held
    return line.state.recording && setupIn && connected[kAudioInPipe];
  }

  // Notices the start and end of the audio-in stream.
  void updateStreaming() {
    bool now;
    uint64_t sent, dropped;
    {
      std::lock_guard lock(mu);
      now = streamingLocked();
      sent = framesSentCount;
      dropped = framesDropped;
    }
    if (now == wasStreaming) return;
    wasStreaming = now;
    if (now) {
      nextFrameAt = Clock::now();
      emit("audio in: streaming");
    } else {
      emit("audio in: stopped (" + std::to_string(sent) + " frames sent, " +
           std::to_string(dropped) + " dropped)");
    }
  }

  void audioCommand(const Packet& p) {
    bool on = p[1] == 1;
    if (p[0] == kCmdRecord) {
      if (!on) {
        std::lock_guard lock(mu);
        setupIn = false;  // every recording sets up its own transfer
      }
      updateStreaming();
      return;
    }
    size_t bytes;
    {
      std::lock_guard lock(mu);
      goAheads.clear();
      bytes = played.size();
    }
    packetsInBlock = 0;
    playEnd = Clock::now();
    emit(on ? "audio out: playing"
            : "audio out: stopped (" + std::to_string(bytes) + " bytes received in all)");
  }

  void onAudioPacket(const uint8_t* data) {
    std::lock_guard lock(mu);
    ++packetsIn;
    if (played.size() + kAudioPacket <= kMaxPlayed)
      played.insert(played.end(), data, data + kAudioPacket);
    changed.notify_all();
    if (!line.state.playing || ++packetsInBlock < int(kPlayBlock / kAudioPacket)) return;
    // A block is in: ask for the next one when this one starts to play, which keeps one
    // block in hand and one go-ahead per block time.
    packetsInBlock = 0;
    auto now = Clock::now();
    auto start = std::max(now, playEnd);
    playEnd = start + (playPace > 0 ? scaled(kBlockTime, playPace) : Clock::duration::zero());
    goAheads.push_back(start);
  }

  // Moves the go-aheads that are due to the reply queue.
  void sendDueGoAheads() {
    std::lock_guard lock(mu);
    auto now = Clock::now();
    while (!goAheads.empty() && goAheads.front() <= now) {
      goAheads.pop_front();
      if (!connected[kReplyPipe]) continue;
      pushReply(makeRecord({kReadyReply, 0}));
      ++goAheadCount;
    }
  }

  // Writes bytes to the audio-in pipe; what it does not take waits in audioPending. False
  // when the connection broke.
  bool writeAudio(const uint8_t* data, size_t n) {
    ssize_t w = send(pipeFd[kAudioInPipe], data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w < 0) {
      if (errno != EAGAIN && errno != EINTR) return false;
      w = 0;
    }
    audioPending.assign(data + w, data + n);
    return true;
  }

  bool flushAudio() {
    if (audioPending.empty()) return true;
    std::vector<uint8_t> rest;
    rest.swap(audioPending);
    return writeAudio(rest.data(), rest.size());
  }

  // Makes the next frame of the line and sends it, unless the pipe still holds back part of
  // an earlier one: then the whole frame is dropped. False when the connection broke.
  bool sendFrame() {
    if (!flushAudio()) return false;
    bool drop = !audioPending.empty();
    std::vector<uint8_t> out;
    {
      std::lock_guard lock(mu);
      uint8_t status = frameStatus;
      if (!frameStatusOnce.empty()) {
        status = frameStatusOnce.front();
        frameStatusOnce.pop_front();
      }
      if (!drop && !partialFrames.empty()) {
        // The head of a frame, whose rest never comes: the stream is out of step after it.
        Frame cut = maker.next(status);
        out.assign(cut.begin(), cut.begin() + partialFrames.front());
        partialFrames.pop_front();
        ++partialsSent;
      }
      Frame frame = maker.next(status);  // the line goes on, sent or not
      if (drop) {
        ++framesDropped;
      } else {
        ++framesSentCount;
        out.insert(out.end(), frame.begin(), frame.end());
      }
    }
    changed.notify_all();
    return drop || writeAudio(out.data(), out.size());
  }

  // Runs the audio-in stream: frames that are due, or as many as the pipe takes.
  void pumpAudio(bool writable) {
    if (pipeFd[kAudioInPipe] < 0) return;
    if (!wasStreaming) {  // a frame begun is finished, also after the stream stopped
      if (writable && !flushAudio()) dropPipe(kAudioInPipe);
      return;
    }
    double pace;
    {
      std::lock_guard lock(mu);
      pace = audioPace;
    }
    bool alive = true;
    if (pace <= 0) {
      if (writable)
        for (int i = 0; i < kFramesPerWake && alive && audioPending.empty(); ++i)
          alive = sendFrame();
    } else {
      auto interval = scaled(kFrameTime, pace);
      auto now = Clock::now();
      if (now - nextFrameAt > 100 * interval) nextFrameAt = now;  // stalled: no burst
      while (alive && nextFrameAt <= now) {
        alive = sendFrame();
        nextFrameAt += interval;
      }
      if (alive && writable) alive = flushAudio();
    }
    if (!alive) dropPipe(kAudioInPipe);
  }

  static std::string controlText(const LoggedControl& r, bool wellFormed, ssize_t n) {
    const char* result = r.succeeded ? "ok" : "failed";
    char buf[160];
    if (!wellFormed)
      std::snprintf(buf, sizeof buf, "control: malformed %zd-byte request, failed", n);
    else if (r.code == kVendorReadCode)
      std::snprintf(buf, sizeof buf, "control: probe (index 0x%04x), %s", r.index, result);
    else if (r.code == kVendorWriteCode)
      std::snprintf(buf, sizeof buf, "control: transfer setup [%s], %s",
                    hexBytes(r.data.data(), r.data.size()).c_str(), result);
    else if (r.code == kPipeResetCode)
      std::snprintf(buf, sizeof buf, "control: pipe reset %u, %s", r.value, result);
    else
      std::snprintf(buf, sizeof buf, "control: unknown code 0x%08x, failed", r.code);
    return buf;
  }

  // ---- the box thread ----
  void loop() {
    for (;;) {
      std::vector<pollfd> fds;
      fds.push_back({wakeFd, POLLIN, 0});
      bool wantOut, audioOut = false;
      Clock::time_point nextDue = Clock::time_point::max();
      {
        std::lock_guard lock(mu);
        wantOut = !replyQueue.empty();
        if (!late.empty()) nextDue = late.begin()->first;
        if (!goAheads.empty()) nextDue = std::min(nextDue, goAheads.front());
        audioOut = !audioPending.empty() || (wasStreaming && audioPace <= 0);
        if (wasStreaming && audioPace > 0) nextDue = std::min(nextDue, nextFrameAt);
      }
      // Audio out before commands: audio sent before a command counts as sent before it.
      for (int p = kPipeCount - 1; p >= 0; --p) {
        if (pipeFd[p] < 0) continue;
        short ev = POLLIN;
        if ((p == kReplyPipe && wantOut) || (p == kAudioInPipe && audioOut)) ev |= POLLOUT;
        fds.push_back({pipeFd[p], ev, 0});
      }
      for (int fd : controlFds) fds.push_back({fd, POLLIN, 0});
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
      moveDueAnswers();
      sendDueGoAheads();
      bool audioWritable = false;
      uint64_t generation = currentGeneration();
      // Connections first, accepts last: a descriptor closed here cannot be reused by an
      // accept before its entry has been looked at. A responder that plugs or unplugs makes
      // the rest of the entries stale.
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
          if (!readControl(*c)) {
            close(*c);
            controlFds.erase(c);
          }
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

  uint64_t currentGeneration() const {
    std::lock_guard lock(mu);
    return fdGeneration;
  }

  int pipeOf(int fd) const {
    for (int p = 0; p < kPipeCount; ++p)
      if (pipeFd[p] == fd) return p;
    return -1;
  }

  // Runs the queued tasks; true when the thread is to end.
  bool runTasks() {
    for (;;) {
      std::function<void()> t;
      {
        std::lock_guard lock(mu);
        if (tasks.empty()) return stopping;
        t = std::move(tasks.front());
        tasks.pop_front();
      }
      t();
    }
  }
};

VirtualBox::VirtualBox(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {
  Impl& m = *impl_;
  std::promise<void> started;
  m.thread = std::thread([&m, &started] {
    m.threadId = std::this_thread::get_id();
    started.set_value();
    m.loop();
  });
  started.get_future().wait();
  try {
    plug();
  } catch (...) {
    {
      std::lock_guard lock(m.mu);
      m.stopping = true;
    }
    m.wake();
    m.thread.join();
    close(m.wakeFd);
    throw;
  }
}

VirtualBox::~VirtualBox() {
  Impl& m = *impl_;
  try {
    unplug();
  } catch (...) {
  }
  {
    std::lock_guard lock(m.mu);
    m.stopping = true;
  }
  m.wake();
  m.thread.join();
  m.removeSockets();
  close(m.wakeFd);
}

void VirtualBox::plug() {
  impl_->runOnBoxThread([this] { impl_->doPlug(); });
}

void VirtualBox::unplug() {
  impl_->runOnBoxThread([this] { impl_->doUnplug(); });
}

bool VirtualBox::plugged() const {
  std::lock_guard lock(impl_->mu);
  return impl_->isPlugged;
}

std::string VirtualBox::devicePath() const {
  std::lock_guard lock(impl_->mu);
  return impl_->path;
}

void VirtualBox::setProbeFails(bool fails) {
  std::lock_guard lock(impl_->mu);
  impl_->probeFails = fails;
}

void VirtualBox::setTransferSetupFails(bool fails) {
  std::lock_guard lock(impl_->mu);
  impl_->setupFails = fails;
}

void VirtualBox::setSilent(bool silent) {
  std::lock_guard lock(impl_->mu);
  impl_->silent = silent;
}

void VirtualBox::setAnswerDelay(std::chrono::milliseconds delay) {
  std::lock_guard lock(impl_->mu);
  impl_->answerDelay = std::max(delay, std::chrono::milliseconds(0));
}

void VirtualBox::setResponder(Responder responder) {
  std::lock_guard lock(impl_->mu);
  impl_->responder = std::move(responder);
}

void VirtualBox::setEventSink(EventSink sink) {
  std::lock_guard lock(impl_->mu);
  impl_->sink = std::move(sink);
}

bool VirtualBox::sendRecord(const Record& record) {
  {
    std::lock_guard lock(impl_->mu);
    if (!impl_->connected[kReplyPipe]) return false;
    impl_->pushReply(record);
  }
  impl_->wake();
  return true;
}

bool VirtualBox::sendRecord(std::initializer_list<uint8_t> bytes) {
  return sendRecord(makeRecord(bytes));
}

void VirtualBox::setFlagsValue(uint32_t value) {
  std::lock_guard lock(impl_->mu);
  impl_->line.settings.flagsValue = value;
}

void VirtualBox::setFlagsViaType9(bool viaType9) {
  std::lock_guard lock(impl_->mu);
  impl_->line.settings.flagsViaType9 = viaType9;
}

void VirtualBox::setTypeCode(uint8_t code) {
  std::lock_guard lock(impl_->mu);
  impl_->line.settings.typeCode = code;
}

void VirtualBox::setInfoBlock(const std::array<uint8_t, 11>& info) {
  std::lock_guard lock(impl_->mu);
  impl_->line.settings.infoBlock = info;
}

void VirtualBox::setFlashAck(uint8_t ack) {
  std::lock_guard lock(impl_->mu);
  impl_->line.settings.flashAck = ack;
}

void VirtualBox::setFlashAckType(uint8_t type) {
  std::lock_guard lock(impl_->mu);
  impl_->line.settings.flashAckType = type;
}

void VirtualBox::setReportHook(bool report) {
  std::lock_guard lock(impl_->mu);
  impl_->line.settings.reportHook = report;
}

LineState VirtualBox::lineState() const {
  std::lock_guard lock(impl_->mu);
  return impl_->line.state;
}

std::array<uint8_t, kFlashSize> VirtualBox::flash() const {
  std::lock_guard lock(impl_->mu);
  return impl_->line.flash;
}

bool VirtualBox::sendCallerId(CallerIdFormat format, const std::string& number,
                              const std::string& dateTime, const std::string& name, bool leadFF) {
  auto r = callerIdRecord(format, number, dateTime, name, leadFF);
  return r && sendRecord(*r);
}

bool VirtualBox::sendNoNumber() {
  return sendRecord(noNumberRecord());
}
bool VirtualBox::sendDtmf(uint8_t code) {
  return sendRecord(dtmfRecord(code));
}
bool VirtualBox::sendTone(uint8_t first, uint16_t second) {
  return sendRecord(toneRecord(first, second));
}
bool VirtualBox::sendRing() {
  return sendRecord(ringRecord());
}

bool VirtualBox::sendHookStatus(bool offHook) {
  {
    std::lock_guard lock(impl_->mu);
    impl_->line.state.offHook = offHook;
  }
  return sendRecord(hookStatusRecord(offHook));
}

void VirtualBox::setLineSource(LineSource source) {
  std::lock_guard lock(impl_->mu);
  impl_->maker.setSource(std::move(source));
}

void VirtualBox::setAudioPace(double factor) {
  {
    std::lock_guard lock(impl_->mu);
    impl_->audioPace = std::isfinite(factor) && factor > 0 ? factor : 0;
  }
  impl_->wake();
}

void VirtualBox::setFrameStatus(uint8_t status) {
  std::lock_guard lock(impl_->mu);
  impl_->frameStatus = status;
}

void VirtualBox::setFrameStatusOnce(uint8_t status) {
  std::lock_guard lock(impl_->mu);
  impl_->frameStatusOnce.push_back(status);
}

void VirtualBox::injectPartialFrame(size_t bytes) {
  if (bytes == 0 || bytes >= kFrameSize) return;
  std::lock_guard lock(impl_->mu);
  impl_->partialFrames.push_back(bytes);
}

bool VirtualBox::audioStreaming() const {
  std::lock_guard lock(impl_->mu);
  return impl_->streamingLocked();
}

uint64_t VirtualBox::framesSent() const {
  std::lock_guard lock(impl_->mu);
  return impl_->framesSentCount;
}

uint64_t VirtualBox::droppedFrames() const {
  std::lock_guard lock(impl_->mu);
  return impl_->framesDropped;
}

uint64_t VirtualBox::partialFramesSent() const {
  std::lock_guard lock(impl_->mu);
  return impl_->partialsSent;
}

bool VirtualBox::waitForFrames(uint64_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mu);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->framesSentCount >= n; });
}

bool VirtualBox::waitForDroppedFrames(uint64_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mu);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->framesDropped >= n; });
}

void VirtualBox::setPlayPace(double factor) {
  std::lock_guard lock(impl_->mu);
  impl_->playPace = std::isfinite(factor) && factor > 0 ? factor : 0;
}

std::vector<uint8_t> VirtualBox::playedAudio() const {
  std::lock_guard lock(impl_->mu);
  return impl_->played;
}

void VirtualBox::clearPlayedAudio() {
  std::lock_guard lock(impl_->mu);
  impl_->played.clear();
}

size_t VirtualBox::packetsReceived() const {
  std::lock_guard lock(impl_->mu);
  return impl_->packetsIn;
}

size_t VirtualBox::goAheadsSent() const {
  std::lock_guard lock(impl_->mu);
  return impl_->goAheadCount;
}

bool VirtualBox::waitForPackets(size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mu);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->packetsIn >= n; });
}

bool VirtualBox::sendPlaybackFault() {
  return sendRecord(playbackFaultRecord());
}

std::vector<LoggedCommand> VirtualBox::commands() const {
  std::lock_guard lock(impl_->mu);
  return impl_->commandLog;
}

std::vector<LoggedControl> VirtualBox::controlRequests() const {
  std::lock_guard lock(impl_->mu);
  return impl_->controlLog;
}

void VirtualBox::clearLog() {
  std::lock_guard lock(impl_->mu);
  impl_->commandLog.clear();
  impl_->controlLog.clear();
}

bool VirtualBox::waitForCommands(size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mu);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->commandLog.size() >= n; });
}

bool VirtualBox::pipesConnected() const {
  std::lock_guard lock(impl_->mu);
  return std::all_of(impl_->connected.begin(), impl_->connected.end(), [](bool c) { return c; });
}

bool VirtualBox::waitForPipes(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mu);
  return impl_->changed.wait_for(lock, timeout, [&] {
    return std::all_of(impl_->connected.begin(), impl_->connected.end(), [](bool c) { return c; });
  });
}

bool VirtualBox::waitForPipesClosed(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mu);
  return impl_->changed.wait_for(lock, timeout, [&] {
    return std::none_of(impl_->connected.begin(), impl_->connected.end(), [](bool c) { return c; });
  });
}

int VirtualBox::connectionCount(int pipe) const {
  if (pipe < 0 || pipe >= kPipeCount) return 0;
  std::lock_guard lock(impl_->mu);
  return impl_->accepted[pipe];
}

size_t VirtualBox::malformedMessages() const {
  std::lock_guard lock(impl_->mu);
  return impl_->malformed;
}

}  // namespace tavro::vbox
