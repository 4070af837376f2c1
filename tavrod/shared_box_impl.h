// The inside of a shared box, for its two source files: shared_box.cpp (the sockets, the
// held box and the thread) and routing.cpp (commands, answers, records and audio between
// the programs and the box).
#ifndef TAVRO_TAVROD_SHARED_BOX_IMPL_H
#define TAVRO_TAVROD_SHARED_BOX_IMPL_H

#include <sys/types.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/wire.h"
#include "platform/wire_peer.h"
#include "protocol/frames.h"
#include "tavrod/routes.h"
#include "tavrod/shared_box.h"

namespace tavro::daemon {

using Clock = std::chrono::steady_clock;
using Record = std::array<uint8_t, kRecordSize>;
using Packet = std::array<uint8_t, kPacketSize>;

inline constexpr size_t kMaxControlMessage = wire::kControlHeaderSize + 4096;
inline constexpr size_t kMaxControlConnections = 16;  // a program's
inline constexpr size_t kMaxPrograms = 64;
inline constexpr size_t kMaxQueuedCommands = 256;
// A program whose process lives on with no connection left is let go after this.
inline constexpr std::chrono::milliseconds kNoConnectionGrace{500};

// The sockets and processes (sockets.cpp).
std::string errnoText(const std::string& what);
void closeFd(int& fd);
using wire::peerProcess;
using wire::processWatch;
std::string processName(pid_t pid);
// Opens a publish folder, creating it when missing, and refuses one that the library would
// not trust.
int openFolder(int parent, const char* name, const std::string& shown, bool system);
// Listens at `name` in the opened folder (`shown` is its path for messages).
int listenAt(int folder, const std::string& name, const std::string& shown, int type,
             const Publishing& where);
Record makeRecord(std::initializer_list<uint8_t> bytes);
Record hookRecord(bool offHook);

// ---- the state of one program ----

struct Program {
  pid_t pid = -1;
  std::string name;
  int watch = -1;  // readable when the process has ended
  int pipe[kPipeCount] = {-1, -1, -1, -1};
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

// A command given up without its answer: the answer, when it comes late, goes to nobody.
struct GivenUp {
  uint8_t code;
  Clock::time_point until;  // forgotten after this
};
inline constexpr size_t kMaxGivenUp = 16;

// A claim of a shared box whose box is away, to be answered busy when it is due.
struct HeldClaim {
  pid_t pid;
  int fd;
  Clock::time_point due;
};
inline constexpr std::chrono::milliseconds kAwayClaimHold{1500};

struct SharedBox::Impl {
  std::string name;
  HeldBox box;
  Publishing where;
  Log log;
  std::function<void()> onLost;
  std::string devicePath;

  int folder = -1;
  int listenDevice = -1;
  int listenPipe[kPipeCount] = {-1, -1, -1, -1};
  bool handedOver = false;  // its sockets' names are its successor's: the end leaves them
  int wakeFd = -1;

  std::map<pid_t, Program> programs;
  std::deque<Queued> queue;
  std::optional<InFlight> inFlight;
  std::deque<GivenUp> givenUp;  // oldest first
  pid_t player = 0;             // the program that plays, 0: none
  bool offHook = false;
  bool away = false;  // the box went away: the shared box waits for it
  std::vector<HeldClaim> claimsHeld;

  // Guards everything above: the loop thread holds it but while it polls, and the reader
  // threads route what the box says under it at once, without a hand-over to the loop (one
  // wake-up less on every answer; the loop is woken only when its time-outs change).
  std::mutex mutex;
  std::atomic<bool> lost{false};
  std::atomic<bool> stop{false};
  std::atomic<size_t> programCount{0};

  std::thread loopThread, recordReader, audioReader;

  std::string pipeName(int p) const { return name + wire::kPipeSeparator + wire::kPipeNames[p]; }

  // ---- the held box ----

  // ---- programs ----

  // ---- commands ----

  // ---- connections ----

  // ---- the thread ----

  void wake();
  void publish();
  void unpublish();
  void readRecords();
  void readAudio();
  void lose();
  bool toBox(const Packet& p);
  Program* programOf(pid_t pid);
  // The program at the other end of a new connection; null when there is no room for it.
  Program* admit(int fd);
  // A program that has gone: what it held is let go, and the others go on.
  void release(pid_t pid, const char* why);
  static Packet makeCommand(Command code, uint8_t on);
  bool anyoneRecording() const;
  void sendRecord(Program& p, const Record& r);
  void sendRecordTo(pid_t pid, const Record& r);
  void sendToAll(const Record& r, pid_t except = 0);
  void enqueue(pid_t from, const Packet& p);
  // Sends the next command when none is in flight.
  void pump();
  void finishCommand();
  // The command in flight had no answer in its own time: the next one goes.
  void giveUpCommand();
  // Whether `r` is the late answer of a command given up; it is then nobody's.
  bool lateAnswer(const Record& r);
  void hookChanged(bool offHook, pid_t except);
  void onRecord(const Record& r);
  // True when a program now holds part of a frame back (the loop then waits to send it).
  bool onFrame(const std::array<uint8_t, kFrameSize>& f);
  void flushHeld(Program& p);
  void acceptPipe(int pipe);
  void acceptControl();
  // What the box stands for, and how many programs use it besides the one that asks.
  std::string sharingText(pid_t asker) const;
  // Answers one control request; false when the connection has ended.
  bool readControl(Program& p, int fd);
  // A transfer setup: audio in starts the program's own share of the line; audio out is the
  // player's alone (another program's is granted and goes nowhere).
  bool transferSetup(Program& p, const wire::ControlHeader& h, const uint8_t* data);
  // What a program sent on a pipe; false when the connection has ended.
  bool readPipe(Program& p, int pipe);
  void loop();
  void answerClaimsDue();
};

}  // namespace tavro::daemon

#endif  // TAVRO_TAVROD_SHARED_BOX_IMPL_H
