// The commands of the tavro tool. Each returns the process's exit code (tools/text.h) and
// writes its results to standard output and what failed, in words, to standard error.
#ifndef TAVRO_TOOLS_COMMANDS_H
#define TAVRO_TOOLS_COMMANDS_H

#include <string>

#include "tools/session.h"
#include "tools/signals.h"
#include "tools/transfers.h"

namespace tavro::tool {

struct WatchOptions {
  bool all = false;  // every box, each in an object of its own
  bool json = false;
  int maxEvents = 0;   // end after this many events; 0 = no limit
  double seconds = 0;  // end after this long; 0 = no limit
};

enum class Switch { kMute, kMicOut, kLineMic, kDtmfCheck };

// Lists every device on every backend in use and whether it opens; it does not start the
// library. kExitOk when a box opens, kExitBoxInUse when none does and one is busy, else
// kExitNoBox.
int runDevices(bool json);
int runStatus(Session& s, bool json);
int runInfo(Session& s, bool json);
int runWatch(Session& s, const WatchOptions& o);
// Watches every box listed when it starts (the session's object is not used): each line
// names its box. A box that another program holds is left out, with a message; kExitBoxInUse
// when that leaves none, kExitNoBox when none is listed.
int runWatchAll(Session& s, const WatchOptions& o);
int runPickUp(Session& s);
int runHangUp(Session& s);
int runDial(Session& s, const std::string& digits);
int runSwitch(Session& s, Switch which, bool on);
int runRing(Session& s);
int runFlashWrite(Session& s, const std::string& file);

}  // namespace tavro::tool

#endif  // TAVRO_TOOLS_COMMANDS_H
