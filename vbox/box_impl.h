// The inside of a VirtualBox, in parts:
//   transport.cpp  the publish folders, the sockets, the hold, and the box's thread that
//                  polls them;
//   control.cpp    the control requests on the device path;
//   commands.cpp   the command packets: the line model's answer, a test's responder, and the
//                  reply schedule (replies.h);
//   pacing.cpp     the audio-in stream of frames and the go-aheads of playback;
//   virtual_box.cpp the public members, each one a look at or a change of the shared state.
//
// Two kinds of state. `Shared` is what the callers' threads see: it is guarded by the one
// lock `mu`, and `changed` is signalled whenever something a test may wait for has grown.
// The rest (descriptors, partial writes, pacing clocks) belongs to the box's thread alone.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "vbox/detectors.h"
#include "vbox/replies.h"
#include "vbox/signals.h"
#include "vbox/virtual_box.h"

namespace tavro::vbox {

// Everything a test or a verb sets.
struct BoxSettings {
  bool probeFails = false;
  bool setupFails = false;
  bool silent = false;
  std::chrono::milliseconds answerDelay{0};
  VirtualBox::Responder responder;
  VirtualBox::EventSink sink;
  double audioPace = 1;  // 0 = as fast as the host reads
  bool audioStalled = false;
  uint8_t frameStatus = 0;
  double playPace = 1;  // 0 = go-aheads at once
  CallerIdSignal callerIdSignal = CallerIdSignal::Bell202;
  DtmfStyle dtmfStyle;
  bool detect = false;  // records come from what the detectors hear, not from the events
};

// The link as the host made it.
struct HostLink {
  bool plugged = false;
  uint64_t generation = 0;  // changes when plugging changes the descriptor set
  std::string path;         // device path
  std::array<int, kPipeCount> accepted{};
  std::array<bool, kPipeCount> connected{};
  // The hold: which process the box belongs to, if any.
  bool held = false;
  pid_t holder = 0;
  size_t refused = 0;
};

struct AudioInState {
  FrameMaker maker;
  bool patternSource = false;  // test frames, not a line: no signal is mixed into them
  std::deque<int16_t> signal;  // line signals still to sound, mixed into the source
  std::unique_ptr<LineDetectors> detectors;  // while detecting
  std::unique_ptr<Noise> noise;              // the line's own noise, under everything
  std::unique_ptr<ProgressToneMaker> tone;   // a call-progress tone, until it is ended
  bool setup = false;  // a transfer setup for audio in since recording was switched on
  std::deque<uint8_t> statusOnce;
  std::deque<size_t> partials;
  uint64_t sent = 0;
  uint64_t dropped = 0;
  uint64_t partialsSent = 0;
};

struct AudioOutState {
  std::vector<uint8_t> played;
  size_t packets = 0;
  size_t goAheads = 0;
};

struct Shared {
  BoxSettings settings;
  LineModel line;
  HostLink link;
  std::vector<LoggedCommand> commands;
  std::vector<LoggedControl> controls;
  size_t malformed = 0;
  ReplySchedule replies;
  AudioInState audioIn;
  AudioOutState audioOut;
  std::deque<std::function<void()>> tasks;  // run on the box thread
  bool stopping = false;

  // The line runs, and its signals sound, while the host records it or the detectors listen.
  bool lineRuns() const { return streaming() || settings.detect; }
  bool streaming() const {
    return line.state.recording && audioIn.setup && link.connected[kAudioInPipe];
  }
};

struct VirtualBox::Impl {
  explicit Impl(Options o);

  const Options options;
  mutable std::mutex mu;
  mutable std::condition_variable changed;  // logs and counters grew, connections changed
  Shared shared;                            // guarded by mu

  // Runs f on the shared state under the lock and gives what it returns.
  template <typename F>
  auto locked(F&& f) const {
    std::lock_guard lock(mu);
    return f(static_cast<const Shared&>(shared));
  }
  template <typename F>
  auto locked(F&& f) {
    std::lock_guard lock(mu);
    return f(shared);
  }
  // Waits until pred(shared) holds; false when the time ran out first.
  template <typename Pred>
  bool waitUntil(std::chrono::milliseconds timeout, Pred pred) const {
    std::unique_lock lock(mu);
    return changed.wait_for(lock, timeout, [&] { return pred(std::as_const(shared)); });
  }

  // ---- the box's thread alone ----
  int wakeFd = -1;
  int folderFd = -1;  // the class folder, opened and checked when plugging
  int listenDevice = -1;
  std::array<int, kPipeCount> listenPipe{-1, -1, -1, -1};
  std::array<int, kPipeCount> pipeFd{-1, -1, -1, -1};
  std::array<pid_t, kPipeCount> pipePid{};
  std::vector<int> controlFds;
  std::map<int, pid_t> controlPid;
  int holderWatch = -1;  // readable once the holder has exited
  Clock::time_point releaseAt = Clock::time_point::max();
  bool refusalShown = false;          // one line per hold for the programs turned away
  std::vector<uint8_t> audioPending;  // the rest of a frame the audio-in pipe has not taken
  bool wasStreaming = false;
  Clock::time_point nextFrameAt;
  bool idleLine = false;         // the line runs for the detectors alone
  Clock::time_point nextLineAt;  // when it makes its next frame then
  int packetsInBlock = 0;
  Clock::time_point playEnd;  // when the blocks received so far have played
  std::thread thread;
  std::thread::id threadId;

  void wake();
  void emit(const std::string& line);
  void runOnBoxThread(std::function<void()> f);  // and waits for it
  bool runTasks();                               // true when the thread is to end
  uint64_t currentGeneration() const;
  // Sends a line event's record, unless the detectors are to tell what the line carries;
  // false when there is no reply connection.
  bool sendEvent(const Record& record);

  // transport.cpp
  std::string pipePath(int pipe) const;
  std::string pipeName(int pipe) const;
  void doPlug();
  void doUnplug();
  void removeSockets();
  bool heldByOther(pid_t pid) const;
  void takeHold(pid_t pid, int fd);
  void releaseHold(const char* why);
  void reviewHold();
  void showRefusal(pid_t pid, const std::string& what);
  void acceptPipe(int pipe);
  void dropPipe(int pipe);
  void acceptControl();
  void closeControl(std::vector<int>::iterator c);
  bool readPipe(int pipe);
  int pipeOf(int fd) const;
  void loop();

  // control.cpp
  bool readControl(int fd);

  // commands.cpp
  void onCommand(const Packet& p);
  void queueAnswer(const std::vector<Record>& records);
  bool flushReplies();

  // pacing.cpp
  void putSignal(const Samples& samples);
  void updateStreaming();
  void audioCommand(const Packet& p);
  void onAudioPacket(const uint8_t* data);
  bool writeAudio(const uint8_t* data, size_t n);
  bool flushAudio();
  bool sendFrame();
  void pumpAudio(bool writable);
  void runIdleLine();
};

}  // namespace tavro::vbox
