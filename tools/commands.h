// The commands of the tavro tool. Each returns the process's exit code (tools/text.h) and
// writes its results to standard output and what failed, in words, to standard error.
#ifndef TAVRO_TOOLS_COMMANDS_H
#define TAVRO_TOOLS_COMMANDS_H

#include <memory>
#include <string>

#include "tavro/CKusb_IO.h"

namespace tavro::tool {

// Ctrl-C (SIGINT) and SIGTERM: the first asks the running command to end cleanly, a second
// one ends the process at once.
void installSignalHandlers();
bool interrupted();

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
};

struct PlayOptions {
  std::string file;
  int fromPermille = 0;
  int mode = 1;
  int param = 0;
  bool flag = false;
  bool quiet = false;
};

enum class Switch { kMute, kMicOut, kLineMic, kDtmfCheck };

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
