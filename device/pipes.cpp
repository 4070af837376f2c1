#include "device/pipes.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "device/event_sink.h"
#include "device/wait.h"
#include "platform/lasting.h"
#include "tavro/notice.h"

namespace tavro {
namespace {

constexpr std::chrono::milliseconds kOpenRetry{50};
// A box answers its claim at once; one that has not within the prompt limit is taken only
// when no other box opens, and is given up after the full limit of a control request.
constexpr std::chrono::milliseconds kClaimPrompt{100};
constexpr std::chrono::milliseconds kClaimLimit{2000};
// How long a box whose claim went unanswered (a hung or suspended process) is not asked
// again.
constexpr std::chrono::milliseconds kSilentFor{10000};

// Whether a box's claim went unanswered lately (LinkState::silentUntil).
bool silent(const std::string& path) {
  LinkState& link = linkState();
  MutexLock lock(link.silentMutex);
  const auto it = link.silentUntil.find(path);
  if (it == link.silentUntil.end()) return false;
  if (platform::Clock::now() < it->second) return true;
  link.silentUntil.erase(it);
  return false;
}

void rememberSilent(const std::string& path) {
  LinkState& link = linkState();
  MutexLock lock(link.silentMutex);
  link.silentUntil[path] = platform::Clock::now() + platform::realDuration(kSilentFor);
}

// The boxes the contexts of this process hold, by path, each with its holder (the
// context's link): a box belongs to one of them at a time. A box's claim is the process's,
// shared by the opens of its threads, so the contexts divide the boxes among themselves.
struct HeldBoxes {
  Mutex mutex;
  std::map<std::string, const LinkState*> holders TAVRO_GUARDED_BY(mutex);
};

HeldBoxes& heldBoxes() {
  return lasting<HeldBoxes>();
}

// Takes `path` for the context in use, letting go of any other box it held; false when
// another context holds it.
bool takeBox(const std::string& path) {
  HeldBoxes& h = heldBoxes();
  const LinkState* const me = &linkState();
  size_t let = 0;
  {
    MutexLock lock(h.mutex);
    const auto it = h.holders.find(path);
    if (it != h.holders.end()) return it->second == me;
    let = std::erase_if(h.holders, [&](const auto& entry) { return entry.second == me; });
    h.holders.emplace(path, me);
  }
  if (let > 0) platform::tellDeviceChange(true);  // the box let go is free for the others
  return true;
}

// Whether another context of this process holds `path`.
bool heldByOther(const std::string& path) {
  HeldBoxes& h = heldBoxes();
  MutexLock lock(h.mutex);
  const auto it = h.holders.find(path);
  return it != h.holders.end() && it->second != &linkState();
}

// The paths to look at: the bound device only, or every box of the backends in use.
std::vector<std::string> pathsToTry() {
  const LinkState& link = linkState();
  if (!link.bound) return platform::boxPaths();
  if (link.device.empty()) return {};
  return {link.device};
}

Mutex& linkMutex() TAVRO_RETURN_CAPABILITY(linkState().pipesMutex) {
  return linkState().pipesMutex;
}

// Closing wakes a call still blocked on them; they end when the last call returns.
void closeLocked(PipeHandles& h) TAVRO_REQUIRES(linkMutex()) {
  if (h.pipe) h.pipe->cancel();
  if (h.control) h.control->cancel();
  h.pipe.reset();
  h.control.reset();
}

void pipeClosedLocked(PipeNumber pipe) TAVRO_REQUIRES(linkMutex()) {
  LinkState& link = linkState();
  const uint32_t bit = 1u << pipe;
  if (link.openPipes.load() & bit) {
    SignalBatch batch;
    link.openPipes.fetch_and(~bit);
    link.pipesOpened.fetch_sub(1);
  }
}

// Whether the busy boxes are all shared: a shared box whose box went away answers a claim
// busy after a while, and the box that tavrod holds is busy until its shared box is up
// again. Neither is held by another program: the box is waited for through its shared box.
// An object bound to the box that tavrod holds never goes on to the shared box: for it, that
// box is held by another program. Asked on connections of their own, without a claim.
bool allShared(const std::vector<std::string>& busy, bool bound) {
  std::vector<std::string> standFor;  // the paths of the boxes that shared boxes stand for
  std::vector<std::string> shared;    // the shared boxes themselves
  for (const std::string& path : platform::boxPaths()) {
    if (silent(path)) continue;
    const platform::Opened opened = platform::openDevice(path);
    if (opened.device == nullptr) continue;
    const std::string text = opened.device->sharing();
    opened.device->cancel();
    if (text.empty()) continue;
    shared.push_back(path);
    // Its lines: the backend, the path, the description, the count of other programs.
    const size_t from = text.find('\n');
    if (from == std::string::npos) continue;
    const size_t to = text.find('\n', from + 1);
    standFor.push_back(text.substr(from + 1, to == std::string::npos ? to : to - from - 1));
  }
  for (const std::string& path : busy) {
    auto in = [&](const std::vector<std::string>& v) {
      return std::find(v.begin(), v.end(), path) != v.end();
    };
    if (!in(shared) && (bound || !in(standFor))) return false;
  }
  return true;
}

}  // namespace

DeviceRef FindAndOpenDevice(char* devicePath) {
  DeviceRef result;
  std::vector<std::string> busy;  // the paths of boxes found held
  bool heldHere = false;          // a box found held by another object of this program
  // Boxes whose claim did not answer at once, each with the deadline of its full limit.
  struct Late {
    DeviceRef device;
    std::string path;
    platform::Clock::time_point deadline;
  };
  std::vector<Late> late;
  auto usable = [&](platform::Claim claim, const std::string& path) {
    if (claim == platform::Claim::kBusy) busy.push_back(path);
    return claim == platform::Claim::kGranted || claim == platform::Claim::kNotKnown;
  };
  for (const std::string& path : pathsToTry()) {
    // The caller's buffer holds 255 characters and the zero; a longer path cannot be
    // opened, since no pipe path could be formed from it.
    if (path.empty() || path.size() >= kDevicePathSize) continue;
    if (silent(path)) continue;
    if (heldByOther(path)) {  // another object of this program holds it
      heldHere = true;
      continue;
    }
    std::strcpy(devicePath, path.c_str());
    // A box belongs to one program at a time: one that another program holds cannot be
    // opened, like an interface claimed elsewhere (refused at the open, or by the claim
    // that follows it). A box that knows no claims is used as it is.
    platform::Opened opened = platform::openDevice(path);
    if (opened.device == nullptr) {
      if (opened.state == DeviceState::kBusy) busy.push_back(path);
      continue;
    }
    const auto asked = platform::Clock::now();
    const auto prompt = asked + platform::realDuration(kClaimPrompt);
    const platform::Claim claim = opened.device->claimUntil(prompt);
    if (claim == platform::Claim::kNoAnswer && platform::Clock::now() >= prompt) {
      // Not answered at once: the others are tried first.
      late.push_back({std::move(opened.device), path, asked + platform::realDuration(kClaimLimit)});
      continue;
    }
    const bool ok = usable(claim, path);
    if (ok && takeBox(path)) {
      result = std::move(opened.device);
      break;
    }
    heldHere |= ok;  // taken meanwhile by another object of this program
    opened.device->cancel();
  }
  // A box that did not answer at once is used only when no other one opens, and has the
  // rest of its limit to answer. One that did not answer in time is not asked again for a
  // while, so that it never holds up the opens that follow.
  for (Late& l : late) {
    bool answered = false;
    if (result == nullptr) {
      const platform::Claim claim = l.device->claimUntil(l.deadline);
      answered = claim != platform::Claim::kNoAnswer || platform::Clock::now() < l.deadline;
      const bool ok = usable(claim, l.path);
      if (ok && takeBox(l.path)) {
        result = std::move(l.device);
        std::strcpy(devicePath, l.path.c_str());
        continue;
      }
      heldHere |= ok;
    }
    if (!answered) rememberSilent(l.path);
    l.device->cancel();
  }
  const bool heldElsewhere =
      result == nullptr && (heldHere || (!busy.empty() && !allShared(busy, linkState().bound)));
  linkState().boxHeldElsewhere.store(heldElsewhere ? 1 : 0);
  return result;
}

bool devicePathForm(const std::string& path) {
  return path.size() < kDevicePathSize && platform::devicePathForm(path);
}

std::string heldBox() {
  HeldBoxes& h = heldBoxes();
  MutexLock lock(h.mutex);
  for (const auto& [path, holder] : h.holders)
    if (holder == &linkState()) return path;
  return {};
}

void releaseBox() {
  HeldBoxes& h = heldBoxes();
  size_t let = 0;
  {
    MutexLock lock(h.mutex);
    let = std::erase_if(h.holders, [&](const auto& entry) { return entry.second == &linkState(); });
  }
  // Another object of this program that waits for the box learns at once that it is free.
  if (let > 0) platform::tellDeviceChange(true);
}

int CheckDevicePresent(char* devicePath) {
  const DeviceRef device = FindAndOpenDevice(devicePath);
  if (device == nullptr) return 0;
  device->cancel();
  return 1;
}

// A pipe is opened by number on the device that was found, which stays open until the
// pipe is: so the pipe is the found box's, even if the boxes change meanwhile.
PipeRef OpenPipe(PipeNumber pipe) {
  char path[kDevicePathSize] = {};
  const DeviceRef device = FindAndOpenDevice(path);
  if (device == nullptr) return nullptr;
  PipeRef opened = platform::openPipe(*device, pipe);
  device->cancel();
  return opened;
}

DeviceRef OpenDeviceControl() {
  char path[kDevicePathSize] = {};
  return FindAndOpenDevice(path);
}

void pipeOpened(PipeNumber pipe) {
  MutexLock lock(linkMutex());
  LinkState& link = linkState();
  const uint32_t bit = 1u << pipe;
  if (link.openPipes.load() & bit) return;  // already counted
  bool cameBack = false;
  {
    // The count and the link-down bit change together: no waiter sees four pipes open and
    // the link still down, or the link up with a pipe missing.
    SignalBatch batch;
    link.openPipes.fetch_or(bit);
    if (link.pipesOpened.fetch_add(1) + 1 == 4) {
      cameBack = linkDown();
      clearStatusBits(kLinkDownBit | kLinkFaultBit);
    }
  }
  if (cameBack) postEvent(TAVRO_EVENT_LINK_BACK);
}

void pipeClosed(PipeNumber pipe) {
  MutexLock lock(linkMutex());
  pipeClosedLocked(pipe);
}

void reopenAllPipes() {
  MutexLock lock(linkMutex());
  linkState().reopenAllLocked();
}

void PipeHandles::close() {
  MutexLock lock(linkMutex());
  closeLocked(*this);
}

void PipeHandles::replace(PipeRef newPipe, DeviceRef newControl) {
  MutexLock lock(linkMutex());
  closeLocked(*this);
  pipe = std::move(newPipe);
  control = std::move(newControl);
}

void applyReopenRule(Signalled<uint8_t>& reopenFlag, PipeNumber pipe, bool needsControl,
                     PipeHandles& handles) {
  if (reopenFlag.load() != 1) return;
  {
    MutexLock lock(linkMutex());
    closeLocked(handles);
  }
  if (linkState().replyPipeUp.load() != 1) return;
  // Open outside the lock: an open enumerates and connects, and must not hold up others.
  PipeRef opened = OpenPipe(pipe);
  DeviceRef control = opened != nullptr && needsControl ? OpenDeviceControl() : nullptr;
  const bool ok = opened != nullptr && (!needsControl || control != nullptr);
  handles.replace(std::move(opened), std::move(control));
  if (!ok) return;  // the handles that did open are closed on the next pass
  reopenFlag.store(0);
  pipeOpened(pipe);
}

void ownTransferFailed(Signalled<uint8_t>& reopenFlag, PipeNumber pipe, PipeHandles& handles) {
  // The reset goes out without the lock: against a silent box it may take its full wait.
  PipeRef failed;
  {
    MutexLock lock(linkMutex());
    failed = handles.pipe;
    pipeClosedLocked(pipe);
  }
  if (failed) failed->reset();
  reopenFlag.store(1);
}

void waitForWork(ThreadBlock& block, Signalled<uint8_t>& startFlag, Signalled<uint8_t>& reopenFlag,
                 PipeNumber pipe, PipeHandles& handles) {
  LinkState& link = linkState();
  for (;;) {
    if (startFlag.load() == 1 && reopenFlag.load() != 1) return;
    if (block.runFlag.load() != 1) return;
    applyReopenRule(reopenFlag, pipe, /*needsControl=*/true, handles);
    // Nothing to do until the start flag, the run flag or the reopen state changes; while
    // a reopen is due and the reply pipe is up, retry every 50 ms.
    const bool retrying = reopenFlag.load() == 1 && link.replyPipeUp.load() == 1;
    if (retrying) {
      napUnless([&] { return block.runFlag.load() != 1; }, kOpenRetry);
    } else {
      waitFor(
          [&] {
            return block.runFlag.load() != 1 || (startFlag.load() == 1 && reopenFlag.load() != 1) ||
                   (reopenFlag.load() == 1 && link.replyPipeUp.load() == 1);
          },
          kOpenRetry, kNoLimit);
    }
  }
}

void registerHandles(PipeNumber pipe, PipeHandles* handles) {
  MutexLock lock(linkMutex());
  linkState().registered[pipe] = handles;
}

void cancelTransfers(PipeNumber pipe) {
  MutexLock lock(linkMutex());
  if (PipeHandles* h = linkState().registered[pipe]) {
    if (h->pipe) h->pipe->cancel();
    if (h->control) h->control->cancel();
  }
}

}  // namespace tavro
