// What goes between the programs and the box: commands one at a time with each answer to
// its sender, records said unasked to everyone, the hook, the line's audio to every
// recording program, and the one program that plays.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "tavrod/shared_box_impl.h"

namespace tavro::daemon {

// A program that has gone: what it held is let go, and the others go on.
void SharedBox::Impl::release(pid_t pid, const char* why) {
  Program* p = programOf(pid);
  if (p == nullptr) return;
  for (int& fd : p->pipe) closeFd(fd);
  for (int& fd : p->controls) closeFd(fd);
  closeFd(p->watch);
  const bool recorded = p->recording;
  programs.erase(pid);
  programCount.store(programs.size());
  // Its queued commands are dropped; the answer to one in flight reaches nobody.
  std::erase_if(queue, [pid](const Queued& q) { return q.from == pid; });
  if (inFlight && inFlight->from == pid) inFlight->from = 0;
  if (recorded && !anyoneRecording()) enqueue(0, makeCommand(Command::kRecordStatus, 0));
  if (player == pid) {
    player = 0;
    enqueue(0, makeCommand(Command::kPlayStatus, 0));
  }
  log("program " + std::to_string(pid) + " left " + name + ": " + why);
  pump();
}

Packet SharedBox::Impl::makeCommand(Command code, uint8_t on) {
  Packet p{};
  p[0] = codeOf(code);
  p[1] = on;
  return p;
}

bool SharedBox::Impl::anyoneRecording() const {
  for (const auto& [pid, p] : programs)
    if (p.recording) return true;
  return false;
}

void SharedBox::Impl::sendRecord(Program& p, const Record& r) {
  if (p.pipe[kReplyPipe] < 0) return;
  // A program that does not read its records loses them, never the others theirs.
  const ssize_t n = ::send(p.pipe[kReplyPipe], r.data(), r.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) closeFd(p.pipe[kReplyPipe]);
}

void SharedBox::Impl::sendRecordTo(pid_t pid, const Record& r) {
  if (Program* p = programOf(pid)) sendRecord(*p, r);
}

void SharedBox::Impl::sendToAll(const Record& r, pid_t except) {
  for (auto& [pid, p] : programs)
    if (pid != except) sendRecord(p, r);
}

void SharedBox::Impl::enqueue(pid_t from, const Packet& p) {
  if (queue.size() >= kMaxQueuedCommands) return;  // a program that floods loses its own
  queue.push_back({from, p});
}

// Sends the next command when none is in flight.
void SharedBox::Impl::pump() {
  while (!inFlight && !queue.empty() && !lost.load()) {
    const Queued q = queue.front();
    queue.pop_front();
    const uint8_t code = q.packet[0];
    const bool on = q.packet[1] == 1;
    Program* from = q.from != 0 ? programOf(q.from) : nullptr;
    if (q.from != 0 && from == nullptr) continue;  // it has gone meanwhile
    if (from != nullptr && code == codeOf(Command::kRecordStatus)) {
      from->recording = on;
      from->streaming = false;
      from->held.clear();
      // The box streams while anyone records: a stop while others record is answered here.
      if (!on && anyoneRecording()) {
        sendRecord(*from, makeRecord({kPlainAnswer, code}));
        continue;
      }
    }
    if (from != nullptr && code == codeOf(Command::kPlayStatus)) {
      if (on && player != 0 && player != q.from) {
        // One program plays at a time: the second is refused, and told so.
        sendRecord(*from, makeRecord({codeOf(Reply::kStatusItem), codeOf(StatusItemKind::kPlayback),
                                      kPlaybackRefused}));
        sendRecord(*from, makeRecord({codeOf(Reply::kStatusItem), codeOf(StatusItemKind::kPlayback),
                                      kPlaybackFault}));
        sendRecord(*from, makeRecord({kPlainAnswer, code}));
        log("program " + std::to_string(q.from) + " was refused playback on " + name +
            ": program " + std::to_string(player) + " plays");
        continue;
      }
      if (!on && player != q.from) {
        sendRecord(*from, makeRecord({kPlainAnswer, code}));
        continue;
      }
      if (on) player = q.from;
    }
    if (!toBox(q.packet)) return;
    inFlight = InFlight{q.from, code, on, Clock::now() + answerLimit(code)};
  }
}

void SharedBox::Impl::finishCommand() {
  const InFlight done = *inFlight;
  inFlight.reset();
  if (done.code == codeOf(Command::kPickUp) || done.code == codeOf(Command::kPutDown))
    hookChanged(done.code == codeOf(Command::kPickUp), done.from);
  if (done.code == codeOf(Command::kPlayStatus) && !done.on && player == done.from) player = 0;
}

// The others' off-hook bits follow the line.
void SharedBox::Impl::hookChanged(bool nowOffHook, pid_t except) {
  offHook = nowOffHook;
  sendToAll(hookRecord(offHook), except);
}

void SharedBox::Impl::giveUpCommand() {
  if (givenUp.size() >= kMaxGivenUp) givenUp.pop_front();
  givenUp.push_back({inFlight->code, Clock::now() + answerLimit(inFlight->code)});
  inFlight.reset();
  pump();
}

bool SharedBox::Impl::lateAnswer(const Record& r) {
  const auto now = Clock::now();
  std::erase_if(givenUp, [now](const GivenUp& g) { return g.until <= now; });
  // The box answers in order: a late answer comes before the answer of the command now in
  // flight, also of one with the same code; the commands given up before it had none.
  auto late = std::find_if(givenUp.begin(), givenUp.end(),
                           [&r](const GivenUp& g) { return answers(g.code, r.data()); });
  if (late == givenUp.end()) return false;
  const uint8_t code = late->code;
  givenUp.erase(givenUp.begin(), late + 1);
  // Whoever gave it up, the line did change: every program's off-hook bit follows it.
  if (code == codeOf(Command::kPickUp) || code == codeOf(Command::kPutDown))
    hookChanged(code == codeOf(Command::kPickUp), 0);
  return true;
}

void SharedBox::Impl::onRecord(const Record& r) {
  if (replyTypeOf(r.data()) == Reply::kStatusItem && r[1] == codeOf(StatusItemKind::kHookState))
    offHook = r[2] == kOffHook;
  switch (routeOf(r.data())) {
    case Route::kEveryone:
      sendToAll(r);
      return;
    case Route::kPlayer:
      if (inFlight && inFlight->code == codeOf(Command::kPlayStatus) && inFlight->on) {
        sendRecordTo(inFlight->from, r);
        finishCommand();
      } else if (player != 0) {
        sendRecordTo(player, r);
      }
      return;
    case Route::kSender:
      // A late answer, or one with no command in flight, belongs to nobody now: never to the
      // sender of another command.
      if (lateAnswer(r) || !inFlight) return;
      sendRecordTo(inFlight->from, r);
      if (endsCommand(inFlight->code, r.data())) finishCommand();
      return;
  }
}

bool SharedBox::Impl::onFrame(const std::array<uint8_t, kFrameSize>& f) {
  bool heldBack = false;
  for (auto& [pid, p] : programs) {
    if (!p.streaming || p.pipe[kAudioInPipe] < 0) continue;
    if (!p.held.empty()) {
      ++p.framesDropped;  // whole frames are lost, never part of one
      continue;
    }
    const ssize_t n = ::send(p.pipe[kAudioInPipe], f.data(), f.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK)
        ++p.framesDropped;
      else
        closeFd(p.pipe[kAudioInPipe]);
    } else if (size_t(n) < f.size()) {
      p.held.assign(f.begin() + n, f.end());
      heldBack = true;
    }
  }
  return heldBack;
}

void SharedBox::Impl::flushHeld(Program& p) {
  const ssize_t n =
      ::send(p.pipe[kAudioInPipe], p.held.data(), p.held.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n > 0)
    p.held.erase(p.held.begin(), p.held.begin() + n);
  else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
    closeFd(p.pipe[kAudioInPipe]);
}

}  // namespace tavro::daemon
