// The signals the tool takes: Ctrl-C and SIGTERM end the running command cleanly.
#ifndef TAVRO_TOOLS_SIGNALS_H
#define TAVRO_TOOLS_SIGNALS_H

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
// Sleeps up to `ms` milliseconds; returns at once when a signal arrives.
void nap(int ms);

}  // namespace tavro::tool

#endif  // TAVRO_TOOLS_SIGNALS_H
