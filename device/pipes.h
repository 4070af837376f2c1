// Device discovery, the pipes each I/O thread holds and the reopen rule they share.
#ifndef TAVRO_DEVICE_PIPES_H
#define TAVRO_DEVICE_PIPES_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "device/state.h"
#include "platform/platform.h"
#include "protocol/pipes.h"

namespace tavro {

inline constexpr size_t kDevicePathSize = 256;  // 255 characters and the zero

using DeviceRef = std::shared_ptr<platform::BackendDevice>;
using PipeRef = std::shared_ptr<platform::BackendPipe>;

// The first box that opens and whose claim this program gets, or nullptr (for a context
// bound to a device, that device or nullptr); devicePath
// (kDevicePathSize bytes) gets the path of the last box looked at. A box that does not
// answer its claim at once is taken only when no other one opens; one that did not answer
// is skipped for a while.
DeviceRef FindAndOpenDevice(char* devicePath);
// Whether `path` has the form of a device path of some backend (platform::devicePathForm)
// and fits kDevicePathSize.
bool devicePathForm(const std::string& path);
// The path of the box the context in use holds in this process, empty for none. A box
// belongs to one context at a time: FindAndOpenDevice of any other context finds it busy,
// as a box that another program holds, until the holder has let it go (it connects to
// another box, or stops: releaseBox).
std::string heldBox();
void releaseBox();

// 1 when FindAndOpenDevice succeeded (its device is closed again at once), else 0.
int CheckDevicePresent(char* devicePath);
// Pipe `pipe` of the first box that opens (FindAndOpenDevice), or nullptr.
PipeRef OpenPipe(PipeNumber pipe);
// The device FindAndOpenDevice gives, or nullptr.
DeviceRef OpenDeviceControl();

// Link bookkeeping. The pipes-opened counter counts the pipes that are open now: a pipe
// counts once however often its thread reopens it, and a thread whose own transfer failed
// takes its pipe out of the count before it reopens. The open that makes the count exactly
// 4 clears the link-down and link-fault bits.
void pipeOpened(PipeNumber pipe);
void pipeClosed(PipeNumber pipe);
// The reply reader, after its pipe failed: every other pipe is to be opened anew, and none
// counts until it is.
void reopenAllPipes();

// The pipe (and device) one I/O thread holds. Only that thread changes them; the stop may
// cancel them meanwhile.
struct PipeHandles {
  PipeRef pipe;
  DeviceRef control;  // audio threads and the reply reader only
  void close();
  // Closes what is held and takes these instead.
  void replace(PipeRef newPipe, DeviceRef newControl);
  // The pipe's transfers (platform::BackendPipe); false while no pipe is held.
  bool read(void* buffer, uint32_t n, uint32_t* got) {
    *got = 0;
    return pipe != nullptr && pipe->read(buffer, n, got);
  }
  bool readHeld(void* buffer, uint32_t n, uint32_t* got) {
    *got = 0;
    return pipe != nullptr && pipe->readHeld(buffer, n, got);
  }
  bool write(const void* buffer, uint32_t n, uint32_t* written) {
    *written = 0;
    return pipe != nullptr && pipe->write(buffer, n, written);
  }
};

// The reopen rule, applied once per pass of a thread's wait loop: when reopenFlag is 1,
// close the handles; if the reply pipe is up, open the pipe (and, when needsControl, the
// device control handle); when all are open clear reopenFlag and count the pipe.
void applyReopenRule(Signalled<uint8_t>& reopenFlag, PipeNumber pipe, bool needsControl,
                     PipeHandles& handles);

// After a thread's own transfer on its pipe failed: the pipe reset, the pipe taken out of
// the count, reopenFlag set.
void ownTransferFailed(Signalled<uint8_t>& reopenFlag, PipeNumber pipe, PipeHandles& handles);

// The audio threads' wait for work: returns when startFlag is 1 and reopenFlag is not, or
// when the run flag of `block` is no longer 1; applies the reopen rule meanwhile (every
// 50 ms while the pipe cannot be opened, otherwise without waking until something changes).
void waitForWork(ThreadBlock& block, Signalled<uint8_t>& startFlag, Signalled<uint8_t>& reopenFlag,
                 PipeNumber pipe, PipeHandles& handles);

// Registers the handles of a running thread so that the stop can cancel its blocked
// transfers and so end it promptly.
void registerHandles(PipeNumber pipe, PipeHandles* handles);
void cancelTransfers(PipeNumber pipe);

}  // namespace tavro

#endif  // TAVRO_DEVICE_PIPES_H
