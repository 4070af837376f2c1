// Audio pacing: the audio-in stream of frames at the line's rate (or as fast as the host
// reads), with its faults, and the go-aheads that pace playback one block at a time.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "vbox/box_impl.h"

namespace tavro::vbox {

namespace {

constexpr size_t kMaxPlayed = size_t(64) << 20;  // captured audio bytes kept
constexpr int kFramesPerWake = 64;               // as-fast-as-read: frames per loop pass
constexpr auto kFrameTime = std::chrono::microseconds(31250);  // 250 bytes at 8000 per second
constexpr auto kBlockTime = std::chrono::milliseconds(64);     // 512 bytes at 8000 per second

constexpr size_t kMaxSignal = 60 * 8000;  // samples of line signals waiting to sound

// Mixes the next line signals, the call-progress tone and the line's noise into a frame's audio
// (the line goes on whether or not the frame is sent). The sum saturates at full scale.
void mixSignal(Frame& frame, AudioInState& in) {
  if ((in.signal.empty() && !in.noise && !in.tone) || in.patternSource) {
    in.signal.erase(in.signal.begin(), in.signal.begin() + std::min(in.signal.size(), kFrameAudio));
    return;
  }
  uint8_t* audio = frame.data() + kFrameHeader;
  for (size_t i = 0; i < kFrameAudio; ++i) {
    int sum = alawDecode(audio[i]);
    if (!in.signal.empty()) {
      sum += in.signal.front();
      in.signal.pop_front();
    }
    if (in.tone) sum += in.tone->next();
    if (in.noise) sum += in.noise->next();
    audio[i] = alawEncode(int16_t(std::clamp(sum, -32768, 32767)));
  }
}

// The line's next frame, with its signals; the detectors hear it, and their records go to
// the reply pipe.
Frame nextLineFrame(Shared& s, uint8_t status) {
  AudioInState& in = s.audioIn;
  Frame frame = in.maker.next(status);
  mixSignal(frame, in);
  if (in.detectors) {
    int16_t heard[kFrameAudio];
    for (size_t i = 0; i < kFrameAudio; ++i) heard[i] = alawDecode(frame[kFrameHeader + i]);
    for (const Record& r : in.detectors->hear(heard, kFrameAudio))
      if (s.link.connected[kReplyPipe]) s.replies.push(r);
  }
  return frame;
}

Clock::duration scaled(Clock::duration d, double pace) {
  return std::chrono::duration_cast<Clock::duration>(d / pace);
}

}  // namespace

// A signal sounds on the line only while somebody listens: a box that does not stream has
// nobody to play it to, and the next recording must not hear the past.
void VirtualBox::Impl::putSignal(const Samples& samples) {
  locked([&samples](Shared& s) {
    if (!s.lineRuns()) return;
    const size_t room = kMaxSignal - std::min(kMaxSignal, s.audioIn.signal.size());
    s.audioIn.signal.insert(s.audioIn.signal.end(), samples.begin(),
                            samples.begin() + std::min(room, samples.size()));
  });
}

// Notices the start and end of the audio-in stream.
void VirtualBox::Impl::updateStreaming() {
  bool now = false;
  uint64_t sent = 0, dropped = 0;
  locked([&](const Shared& s) {
    now = s.streaming();
    sent = s.audioIn.sent;
    dropped = s.audioIn.dropped;
  });
  if (now == wasStreaming) return;
  wasStreaming = now;
  if (!now)
    locked([](Shared& s) {
      if (!s.settings.detect) s.audioIn.signal.clear();
    });
  if (now) {
    nextFrameAt = Clock::now();
    emit("audio in: streaming");
  } else {
    emit("audio in: stopped (" + std::to_string(sent) + " frames sent, " + std::to_string(dropped) +
         " dropped)");
  }
}

void VirtualBox::Impl::audioCommand(const Packet& p) {
  bool on = p[1] == 1;
  if (p[0] == kCmdRecord) {
    if (!on) locked([](Shared& s) { s.audioIn.setup = false; });  // every recording sets up its own
    updateStreaming();
    return;
  }
  const size_t bytes = locked([](Shared& s) {
    s.replies.cancelGoAheads();
    return s.audioOut.played.size();
  });
  packetsInBlock = 0;
  playEnd = Clock::now();
  emit(on ? "audio out: playing"
          : "audio out: stopped (" + std::to_string(bytes) + " bytes received in all)");
}

void VirtualBox::Impl::onAudioPacket(const uint8_t* data) {
  std::lock_guard lock(mu);
  Shared& s = shared;
  ++s.audioOut.packets;
  if (s.audioOut.played.size() + kAudioPacket <= kMaxPlayed)
    s.audioOut.played.insert(s.audioOut.played.end(), data, data + kAudioPacket);
  changed.notify_all();
  if (!s.line.state.playing || ++packetsInBlock < int(kPlayBlock / kAudioPacket)) return;
  // A block is in: ask for the next one when this one starts to play, which keeps one block
  // in hand and one go-ahead per block time.
  packetsInBlock = 0;
  auto now = Clock::now();
  auto start = std::max(now, playEnd);
  const double pace = s.settings.playPace;
  playEnd = start + (pace > 0 ? scaled(kBlockTime, pace) : Clock::duration::zero());
  s.replies.goAheadAt(start);
}

// Writes bytes to the audio-in pipe; what it does not take waits in audioPending. False when
// the connection broke.
bool VirtualBox::Impl::writeAudio(const uint8_t* data, size_t n) {
  ssize_t w = send(pipeFd[kAudioInPipe], data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (w < 0) {
    if (errno != EAGAIN && errno != EINTR) return false;
    w = 0;
  }
  audioPending.assign(data + w, data + n);
  return true;
}

bool VirtualBox::Impl::flushAudio() {
  if (audioPending.empty()) return true;
  std::vector<uint8_t> rest;
  rest.swap(audioPending);
  return writeAudio(rest.data(), rest.size());
}

// Makes the next frame of the line and sends it, unless the pipe still holds back part of an
// earlier one, or takes none of it: then the whole frame is dropped, so that the box never
// holds back more than the rest of a frame begun. False when the connection broke.
bool VirtualBox::Impl::sendFrame() {
  if (!flushAudio()) return false;
  bool drop = !audioPending.empty();
  std::vector<uint8_t> out;
  locked([&](Shared& s) {
    AudioInState& in = s.audioIn;
    uint8_t status = s.settings.frameStatus;
    if (!in.statusOnce.empty()) {
      status = in.statusOnce.front();
      in.statusOnce.pop_front();
    }
    if (!drop && !in.partials.empty()) {
      // The head of a frame, whose rest never comes: the stream is out of step after it.
      Frame cut = nextLineFrame(s, status);
      out.assign(cut.begin(), cut.begin() + in.partials.front());
      in.partials.pop_front();
      ++in.partialsSent;
    }
    Frame frame = nextLineFrame(s, status);  // the line goes on, sent or not
    if (!drop) out.insert(out.end(), frame.begin(), frame.end());
  });
  bool alive = true;
  if (!drop) {
    alive = writeAudio(out.data(), out.size());
    if (audioPending.size() >= kFrameSize) {  // not begun
      audioPending.resize(audioPending.size() - kFrameSize);
      drop = true;
    }
  }
  locked([drop](Shared& s) { ++(drop ? s.audioIn.dropped : s.audioIn.sent); });
  changed.notify_all();
  return alive;
}

// While nobody records, the line still runs in its own time for the detectors.
void VirtualBox::Impl::runIdleLine() {
  const double pace = locked([](const Shared& s) {
    return s.settings.detect ? (s.settings.audioPace > 0 ? s.settings.audioPace : 1.0) : 0.0;
  });
  if (pace <= 0) {
    idleLine = false;
    return;
  }
  const auto now = Clock::now();
  if (!idleLine) nextLineAt = now;
  idleLine = true;
  const auto interval = scaled(kFrameTime, pace);
  if (now - nextLineAt > 100 * interval) nextLineAt = now;  // no burst after a long pause
  locked([&](Shared& s) {
    for (; nextLineAt <= now; nextLineAt += interval) nextLineFrame(s, 0);
  });
}

// Runs the audio-in stream: frames that are due, or as many as the pipe takes.
void VirtualBox::Impl::pumpAudio(bool writable) {
  if (pipeFd[kAudioInPipe] < 0) return runIdleLine();
  if (!wasStreaming) {  // a frame begun is finished, also after the stream stopped
    if (writable && !flushAudio()) dropPipe(kAudioInPipe);
    runIdleLine();
    return;
  }
  idleLine = false;
  double pace = 1;
  bool stalled = false;
  locked([&](const Shared& s) {
    pace = s.settings.audioPace;
    stalled = s.settings.audioStalled;
  });
  if (stalled) {
    if (writable && !flushAudio()) dropPipe(kAudioInPipe);
    return;
  }
  bool alive = true;
  if (pace <= 0) {
    if (writable)
      for (int i = 0; i < kFramesPerWake && alive && audioPending.empty(); ++i) alive = sendFrame();
  } else {
    auto interval = scaled(kFrameTime, pace);
    auto now = Clock::now();
    if (now - nextFrameAt > 100 * interval) nextFrameAt = now;  // stalled: no burst
    while (alive && nextFrameAt <= now) {
      alive = sendFrame();
      nextFrameAt += interval;
    }
    if (alive && writable) alive = flushAudio();
  }
  if (!alive) dropPipe(kAudioInPipe);
}

}  // namespace tavro::vbox
