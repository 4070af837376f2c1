// The commands of the tavro tool. Each returns the process's exit code (tools/text.h) and
// writes its results to standard output and what failed, in words, to standard error.
#ifndef TAVRO_TOOLS_COMMANDS_H
#define TAVRO_TOOLS_COMMANDS_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tavro/CKusb_IO.h"
#include "tools/event_text.h"

namespace tavro::tool {

// Ctrl-C (SIGINT) and SIGTERM: the first asks the running command to end cleanly, a second
// one ends the process at once.
// Also installs the notice handler: English texts, and the library's own with verboseNotices.
void installSignalHandlers(bool verboseNotices);
bool interrupted();
// The signal that made interrupted() true (SIGINT or SIGTERM), 0 when none.
int interruptSignal();
// Readable from the arrival of a signal until clearInterrupt(); for callers that poll.
int interruptFd();
// Forgets the signals handled so far: the next one asks again, the one after ends the process.
void clearInterrupt();

// The library object of one run of the tool.
class Session {
 public:
  explicit Session(double waitSeconds) : waitSeconds_(waitSeconds) {}
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Starts the library and waits up to the wait time for the link to come up. Returns
  // kExitOk, kExitNoBox (with the message written) or kExitInterrupted. With `mayWait` the
  // link may stay down (watch waits for the box itself).
  int open(bool mayWait = false);
  CKusb_IO& io() { return *io_; }
  bool isOpen() const { return io_ != nullptr; }
  double waitSeconds() const { return waitSeconds_; }
  bool linkUp();
  // Stops the library before the run ends: afterwards no library thread touches any file.
  void close() { io_.reset(); }

 private:
  double waitSeconds_;
  std::unique_ptr<CKusb_IO> io_;
};

struct WatchOptions {
  bool json = false;
  int maxEvents = 0;   // end after this many events; 0 = no limit
  double seconds = 0;  // end after this long; 0 = no limit
};

struct RecordOptions {
  std::string file;
  double seconds = 0;  // 0 = until Ctrl-C
  int mode = 1;
  bool quiet = false;
  bool pickUp = false;                    // take the line off hook first
  double stallSeconds = 3.0;              // no audio from the box for this long ends the recording
  std::string stopHint = "Ctrl-C stops";  // shown when the recording has no time limit
};

// A recording into a wave file in steps, so that the caller can do other things meanwhile.
class Recording {
 public:
  // Refuses a file that cannot be created, takes the line off hook when asked, starts the
  // recording and says so. Returns kExitOk or the failure's exit code, with its message
  // written; a recording that did not start leaves no new file behind.
  int start(Session& s, const RecordOptions& o);
  // An event from the library's queue: a recording that the library ended by itself (the
  // disk full, the largest size reached) ends here too. The caller takes the events.
  void take(const tavro_event& event);
  // False once the recording has ended by itself: its time is up, the link was lost, the
  // library ended it (see take) or the box stopped sending audio.
  bool poll(CKusb_IO& io);
  // Ends the recording and writes the closing line or what went wrong; returns the exit
  // code. A recording that did not finish normally stops the library (Session::close) so
  // that its file can be repaired: the caller opens it again to go on.
  int finish(Session& s);

  const std::string& file() const { return o_.file; }
  double elapsed() const;
  double secondsLeft() const;                  // until the time limit; 1 when there is none
  double limit() const { return o_.seconds; }  // the time limit; 0 for none
  int32_t bytes(CKusb_IO& io) const { return io.ReadRecLength(); }

 private:
  enum class End { kAsked, kLinkLost, kStalled, kByLibrary };
  RecordOptions o_;
  std::chrono::steady_clock::time_point start_{};
  std::chrono::steady_clock::time_point lastGrowth_{};
  int32_t lastCount_ = 0;
  End end_ = End::kAsked;
  bool endedByLibrary_ = false;  // a recording-ended event with a reason other than a stop
};

struct PlayOptions {
  std::string file;
  int fromPermille = 0;
  int mode = 1;
  int param = 0;
  bool flag = false;
  bool quiet = false;
  bool raw = false;  // headerless A-law, sent as it is; otherwise a wave of what the line carries
};

// A playback of a file in steps, as Recording.
class Playback {
 public:
  Playback() = default;
  ~Playback();
  Playback(const Playback&) = delete;
  Playback& operator=(const Playback&) = delete;

  // Checks the file and starts the playback. kExitOk or the failure's code, message written.
  // A wave's audio is played without its header; a file of another kind is refused.
  int start(Session& s, const PlayOptions& o);
  // False once the playback has ended: the end of the file has gone out, or it failed
  // (finish then says how). Writes nothing.
  bool poll(CKusb_IO& io);
  // Stops the playback and writes "played ..." (or "stopped ... at" when `early` and the
  // end was not reached), or what went wrong; returns the exit code.
  int finish(Session& s, bool early);

  const std::string& file() const { return o_.file; }
  int permille(CKusb_IO& io) const { return io.GetWriteSoundRate(); }

 private:
  // The audio of a wave file, copied out of it, for the library that plays a file as it is.
  std::string audioOf(const std::string& file, int fd, uint64_t offset, uint64_t length);

  PlayOptions o_;
  int audio_ = -1;       // the wave's audio (a memory file) while it is played
  std::string failure_;  // what went wrong while playing, written by finish
  std::chrono::steady_clock::time_point lastMove_{};
  std::chrono::steady_clock::time_point reachedEnd_{};
  uint32_t lastBytes_ = 0;
  int rc_ = 0;  // a failure seen while playing
};

enum class Switch { kMute, kMicOut, kLineMic, kDtmfCheck };

// Lists every device on every backend in use and whether it opens; it does not start the
// library. kExitOk when a box opens, kExitBoxInUse when none does and one is busy, else
// kExitNoBox.
int runDevices(bool json);
int runStatus(Session& s, bool json);
int runInfo(Session& s, bool json);
int runWatch(Session& s, const WatchOptions& o);
int runPickUp(Session& s);
int runHangUp(Session& s);
int runDial(Session& s, const std::string& digits);
int runSwitch(Session& s, Switch which, bool on);
int runRing(Session& s);
int runRecord(Session& s, const RecordOptions& o);
int runPlay(Session& s, const PlayOptions& o);
int runFlashWrite(Session& s, const std::string& file);

}  // namespace tavro::tool

#endif  // TAVRO_TOOLS_COMMANDS_H
