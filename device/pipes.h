// Device discovery, pipe handles and the reopen rule the I/O threads share.
#ifndef TAVRO_DEVICE_PIPES_H
#define TAVRO_DEVICE_PIPES_H

#include <atomic>
#include <cstdint>

#include "device/state.h"
#include "platform/platform.h"

namespace tavro {

inline constexpr size_t kDevicePathSize = 256;  // 255 characters and the zero

// Pipe numbers: PIPE00 reply, PIPE01 command, PIPE02 audio in, PIPE03 audio out.
enum PipeNumber : int { kReplyPipe = 0, kCommandPipe = 1, kAudioInPipe = 2, kAudioOutPipe = 3 };

// Handle on the device path of the first interface of the class that opens, or invalid;
// devicePath (kDevicePathSize bytes) gets the path of the last interface looked at. A box
// that does not answer its claim at once is taken only when no other one opens; one that
// did not answer is skipped for a while.
platform::Handle FindAndOpenDevice(const platform::InterfaceClass& cls, char* devicePath);
// 1 when FindAndOpenDevice succeeded (its handle is closed again at once), else 0.
int CheckDevicePresent(const platform::InterfaceClass& cls, char* devicePath);
// Handle on pipe `pipe` of the first box that opens (FindAndOpenDevice), or invalid.
platform::Handle OpenPipe(PipeNumber pipe);
// Handle from FindAndOpenDevice for the box's class, or invalid.
platform::Handle OpenDeviceControl();

// Link bookkeeping. The pipes-opened counter counts the pipes that are open now: a pipe
// counts once however often its thread reopens it, and a thread whose own transfer failed
// takes its pipe out of the count before it reopens. The open that makes the count exactly
// 4 clears the link-down and link-fault bits.
void pipeOpened(PipeNumber pipe);
void pipeClosed(PipeNumber pipe);
// The reply reader, after its pipe failed: every other pipe is to be opened anew, and none
// counts until it is.
void reopenAllPipes();

// The handles one I/O thread holds.
struct PipeHandles {
  platform::Handle pipe = platform::kInvalidHandle;
  platform::Handle control = platform::kInvalidHandle;  // audio threads only
  void close();
  // Closes the handles held and takes these instead.
  void replace(platform::Handle newPipe, platform::Handle newControl);
};

// The reopen rule, applied once per pass of a thread's wait loop: when reopenFlag is 1,
// close the handles; if the reply pipe is up, open the pipe (and, when needsControl, the
// device control handle); when all are open clear reopenFlag and count the pipe.
void applyReopenRule(Signalled<uint8_t>& reopenFlag, PipeNumber pipe, bool needsControl,
                     PipeHandles& handles);

// After a thread's own transfer on its pipe failed: pipe reset request on the handle,
// the pipe taken out of the count, reopenFlag set.
void ownTransferFailed(Signalled<uint8_t>& reopenFlag, PipeNumber pipe, PipeHandles& handles);

// The audio threads' wait for work: returns when startFlag is 1 and reopenFlag is not, or
// when the run flag of `block` is no longer 1; applies the reopen rule meanwhile (every
// 50 ms while the pipe cannot be opened, otherwise without waking until something changes).
void waitForWork(ThreadBlock& block, Signalled<uint8_t>& startFlag, Signalled<uint8_t>& reopenFlag,
                 PipeNumber pipe, PipeHandles& handles);

// Registers the handles of a running thread so that the stop can cancel its blocked
// transfers (platform::cancelHandle) and so end it promptly.
void registerHandles(PipeNumber pipe, PipeHandles* handles);
void cancelTransfers(PipeNumber pipe);

}  // namespace tavro

#endif  // TAVRO_DEVICE_PIPES_H
