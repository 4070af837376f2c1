// A recording and a playback, done in steps so that the caller (a command, the console) can
// do other things meanwhile, and the record and play commands that run one to its end.
#ifndef TAVRO_TOOLS_TRANSFERS_H
#define TAVRO_TOOLS_TRANSFERS_H

#include <chrono>
#include <cstdint>
#include <string>

#include "tavro/CKusb_IO.h"
#include "tavro/events.h"
#include "tools/session.h"

namespace tavro::tool {

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
class RecordTransfer {
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

// A playback of a file in steps, as RecordTransfer.
class PlayTransfer {
 public:
  PlayTransfer() = default;
  ~PlayTransfer();
  PlayTransfer(const PlayTransfer&) = delete;
  PlayTransfer& operator=(const PlayTransfer&) = delete;

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

int runRecord(Session& s, const RecordOptions& o);
int runPlay(Session& s, const PlayOptions& o);

}  // namespace tavro::tool

#endif  // TAVRO_TOOLS_TRANSFERS_H
