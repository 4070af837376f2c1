#include "tools/transfers.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tavro/status.h"
#include "tools/files.h"
#include "tools/signals.h"
#include "tools/text.h"

namespace tavro::tool {

// ---- record ----------------------------------------------------------------------------

namespace {

// Milliseconds to sleep before looking again: at most `ms`, at most until `left` seconds
// have passed, and never negative, however long the recording is.
int napLength(int ms, double left) {
  if (!(left < ms / 1000.0)) return ms;
  return left > 0 ? static_cast<int>(left * 1000) + 1 : 0;
}

}  // namespace

int RecordTransfer::start(Session& s, const RecordOptions& o) {
  o_ = o;
  end_ = End::kAsked;
  // Refuse a file that cannot be created before anything starts; a recording that does
  // not start leaves no empty file behind. Only a regular file is recorded into: the writes
  // to anything else (a FIFO, a device) could block or go nowhere.
  struct stat before {};
  bool existed = stat(o.file.c_str(), &before) == 0;
  if (existed && S_ISDIR(before.st_mode))
    return fail(kExitFile, "record failed: " + o.file + " is a directory");
  if (existed && !S_ISREG(before.st_mode))
    return fail(kExitFile, "record failed: " + notRegularText(o.file, before.st_mode));
  int fd = ::open(o.file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
  if (fd < 0) {
    return fail(kExitFile, "record failed: cannot create " + o.file + ": " + std::strerror(errno));
  }
  struct stat opened {};
  const bool regular = fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode);
  ::close(fd);
  if (!regular) return fail(kExitFile, "record failed: " + notRegularText(o.file, opened.st_mode));
  auto removeUnstarted = [&] {
    if (!existed) ::unlink(o.file.c_str());
  };
  if (int rc = s.open()) {
    removeUnstarted();
    return rc;
  }
  CKusb_IO& io = s.io();
  if (o.pickUp) {
    if (int rc = check(io.PickUp(), OpKind::kCommand, "pick up")) {
      removeUnstarted();
      return rc;
    }
  }
  if (int rc = check(io.StartReadSound(o.file.c_str(), o.mode), OpKind::kRecord, "record")) {
    removeUnstarted();
    return rc;
  }
  start_ = lastGrowth_ = Clock::now();
  lastCount_ = io.ReadRecLength();
  if (!o.quiet) {
    std::printf("recording %s%s\n", o.file.c_str(),
                o.seconds > 0 ? (" for " + formatSeconds(o.seconds)).c_str()
                              : (" (" + o.stopHint + ")").c_str());
    std::fflush(stdout);
  }
  return kExitOk;
}

double RecordTransfer::elapsed() const {
  return secondsSince(start_);
}

double RecordTransfer::secondsLeft() const {
  return o_.seconds > 0 ? o_.seconds - elapsed() : 1.0;
}

void RecordTransfer::take(const tavro_event& event) {
  if (event.kind == TAVRO_EVENT_RECORDING_ENDED && event.u.recording.reason != TAVRO_END_STOPPED &&
      event.u.recording.reason != TAVRO_END_LINK_LOST)
    endedByLibrary_ = true;
}

bool RecordTransfer::poll(CKusb_IO& io) {
  if (endedByLibrary_) {
    end_ = End::kByLibrary;
    return false;
  }
  if (o_.seconds > 0 && elapsed() >= o_.seconds) return false;
  if (io.GetTelStatus() & kLinkDownBit) {
    end_ = End::kLinkLost;
    return false;
  }
  int32_t count = io.ReadRecLength();
  if (count != lastCount_) {
    lastCount_ = count;
    lastGrowth_ = Clock::now();
  } else if (secondsSince(lastGrowth_) >= o_.stallSeconds) {
    end_ = End::kStalled;
    return false;
  }
  return true;
}

int RecordTransfer::finish(Session& s) {
  CKusb_IO& io = s.io();
  double elapsed = this->elapsed();
  int result = -1;
  if (end_ != End::kStalled) {
    result = io.StopReadSound();
    if (result == TAVRO_ERROR_SIZE_LIMIT) {
      std::fprintf(stderr, "tavro: the recording reached the largest size a wave file can hold\n");
      result = io.ReadRecLength();
    }
  }
  if (end_ == End::kStalled || result < 0) {
    bool linkDown = end_ == End::kLinkLost || !s.linkUp();
    // A recording that did not finish leaves its header's sizes unwritten: once the library
    // has stopped and let go of the file, make the header describe the audio it holds.
    s.close();
    repairWaveFile(o_.file);
    std::string message = "record failed: ";
    int code = kExitNoAnswer;
    if (end_ == End::kStalled) {
      message += "the box stopped sending audio (nothing for " + formatSeconds(o_.stallSeconds) +
                 ") while the link is up";
    } else if (linkDown) {
      message += "the link to the box was lost during the recording";
      code = kExitLinkDown;
    } else if (result == TAVRO_ERROR_TIMEOUT) {
      message += "the recording did not end in time (no audio from the box)";
    } else if (result == TAVRO_ERROR_LINK_DOWN) {
      message += "the box did not answer the command that ends the recording";
    } else if (result == TAVRO_ERROR_DISK_FULL) {
      message += "disk full: writing " + o_.file + " failed";
      code = kExitFile;
    } else {
      message += describeResult(result, OpKind::kRecord, "stopping").message;
      code = describeResult(result, OpKind::kRecord, "stopping").exitCode;
    }
    long long audio = waveAudioBytes(o_.file);
    if (audio >= 0) {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%.2f", audio / 8000.0);
      message += "; " + o_.file + " keeps the " + seconds + " s of audio recorded before";
    }
    return fail(code, message);
  }
  long long size = 0;
  fileSizeText(o_.file, &size);
  long long audio = size >= 48 ? size - 48 : 0;
  std::printf("recorded %s: %lld bytes, %.2f s of audio (%d bytes from the box in %s)\n",
              o_.file.c_str(), size, audio / 8000.0, result, formatSeconds(elapsed).c_str());
  std::fflush(stdout);
  return kExitOk;
}

int runRecord(Session& s, const RecordOptions& o) {
  RecordTransfer rec;
  if (int rc = rec.start(s, o)) return rc;
  CKusb_IO& io = s.io();
  bool tty = isatty(STDOUT_FILENO) == 1;
  double lastShown = 0;
  tavro_event event;
  for (;;) {
    while (tavro_event_take(&io, &event) == 1) rec.take(event);
    if (interrupted() || !rec.poll(io)) break;
    double elapsed = rec.elapsed();
    if (!o.quiet && elapsed - lastShown >= (tty ? 0.2 : 1.0)) {
      lastShown = elapsed;
      std::string line = recordProgress(elapsed, rec.bytes(io));
      if (tty) {
        std::printf("\r%s\033[K", line.c_str());
      } else {
        std::printf("%s\n", line.c_str());
      }
      std::fflush(stdout);
    }
    nap(napLength(50, rec.secondsLeft()));
  }
  if (!o.quiet) {
    // The last progress line, also where the recording ends: the file is being closed.
    std::string line = recordProgress(rec.elapsed(), rec.bytes(io));
    std::printf(tty ? "\r%s\033[K\n" : "%s\n", line.c_str());
    std::fflush(stdout);
  }
  return rec.finish(s);
}

// ---- play -----------------------------------------------------------------------------

namespace {

// The library has no query for the end of a pass: its progress reaches 1000 when the
// last block has been read from the file, one or two go-aheads of the box (64 ms each)
// before that block has gone. Stop after a grace time long enough for those.
constexpr double kPlayEndGrace = 0.5;
constexpr double kPlayStallLimit = 15.0;  // no progress at all for this long: the box is mute

}  // namespace

PlayTransfer::~PlayTransfer() {
  if (audio_ >= 0) ::close(audio_);
}

std::string PlayTransfer::audioOf(const std::string& file, int fd, uint64_t offset,
                                  uint64_t length) {
  audio_ = memfd_create("tavro-play", MFD_CLOEXEC);
  if (audio_ < 0) return std::string("cannot hold the audio: ") + std::strerror(errno);
  std::vector<uint8_t> buffer(1 << 16);
  for (uint64_t done = 0; done < length;) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<uint64_t>(buffer.size(), length - done));
    const ssize_t n = pread(fd, buffer.data(), want, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      return "cannot read " + file + (n < 0 ? std::string(": ") + std::strerror(errno) : "");
    for (ssize_t put = 0; put < n;) {
      const ssize_t w = ::write(audio_, buffer.data() + put, static_cast<std::size_t>(n - put));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return std::string("cannot hold the audio: ") + std::strerror(errno);
      put += w;
    }
    done += static_cast<uint64_t>(n);
  }
  return "";
}

int PlayTransfer::start(Session& s, const PlayOptions& o) {
  o_ = o;
  rc_ = kExitOk;
  reachedEnd_ = {};
  if (std::string why = inputFileProblem(o.file, true); !why.empty())
    return fail(kExitFile, "play failed: " + why);
  const int fd = ::open(o.file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int error = errno;
    if (fd >= 0) ::close(fd);
    return fail(kExitFile, "play failed: cannot open " + o.file + ": " + std::strerror(error));
  }
  const AudioFile audio = examineAudioFile(
      [fd](uint64_t offset, uint8_t* to, std::size_t n) {
        const ssize_t got = pread(fd, to, n, static_cast<off_t>(offset));
        return got > 0 ? static_cast<std::size_t>(got) : std::size_t{0};
      },
      static_cast<uint64_t>(st.st_size));
  // The line carries 8000 Hz A-law, one channel: anything else would be played as noise.
  std::string refused;
  if (o.raw && audio.wave) {
    refused = o.file + " is " + audio.found + ", not headerless audio (leave out --raw)";
  } else if (!o.raw && !audio.playable) {
    refused = o.file + " is " + audio.found +
              "; the line takes an 8000 Hz A-law mono wave, or headerless A-law with --raw";
    if (audio.wave) refused += " (sox " + o.file + " -r 8000 -c 1 -e a-law OUT.wav converts it)";
  } else if (!o.raw && audio.length == 0) {
    refused = o.file + " holds no audio";
  }
  std::string source = o.file;
  std::string why;
  if (refused.empty() && !o.raw) {
    why = audioOf(o.file, fd, audio.offset, audio.length);
    source = "/proc/self/fd/" + std::to_string(audio_);
  }
  ::close(fd);
  if (!refused.empty()) return fail(kExitFile, "play refused: " + terminalText(refused));
  if (!why.empty()) return fail(kExitFile, "play failed: " + why);
  if (int rc = s.open()) return rc;
  CKusb_IO& io = s.io();
  int r = io.StartPlaySound(source.c_str(), o.fromPermille, static_cast<unsigned char>(o.mode),
                            static_cast<unsigned char>(o.param), o.flag);
  if (int rc = check(r, OpKind::kPlay, "play")) return rc;
  lastMove_ = Clock::now();
  lastBytes_ = io.GetWriteSoundBytes();
  return kExitOk;
}

bool PlayTransfer::poll(CKusb_IO& io) {
  if (io.GetTelStatus() & kLinkDownBit) {
    failure_ = "play failed: the link to the box was lost during the playback";
    rc_ = kExitLinkDown;
    return false;
  }
  int rate = io.GetWriteSoundRate();
  if (rate == TAVRO_ERROR_ALREADY_RUNNING) {  // a shared box refused: one plays at a time
    failure_ = "play failed: another program is playing";
    rc_ = kExitBusy;
    return false;
  }
  if (rate < 0) {
    failure_ = "play failed: the box reported a playback failure";
    rc_ = kExitFailed;
    return false;
  }
  uint32_t bytes = io.GetWriteSoundBytes();
  if (bytes != lastBytes_) {
    lastBytes_ = bytes;
    lastMove_ = Clock::now();
  } else if (secondsSince(lastMove_) > kPlayStallLimit) {
    failure_ = "play failed: no answer from the box (the playback does not move)";
    rc_ = kExitNoAnswer;
    return false;
  }
  if (rate >= 1000) {
    if (reachedEnd_ == Clock::time_point{}) reachedEnd_ = Clock::now();
    if (secondsSince(reachedEnd_) >= kPlayEndGrace) return false;
  }
  return true;
}

int PlayTransfer::finish(Session& s, bool early) {
  CKusb_IO& io = s.io();
  int stop = io.StopPlaySound();
  // -1 with the link up: the link failed during the playback (its audio pipe, or a loss it
  // has come back from), which also shows as a progress of -1.
  if (stop == TAVRO_ERROR_LINK_DOWN && rc_ != kExitLinkDown && s.linkUp()) {
    failure_ = "play failed: the link to the box failed during the playback";
    rc_ = kExitLinkDown;
  }
  if (rc_ != kExitOk) return fail(rc_, failure_);
  if (int src = check(stop, OpKind::kPlay, "stopping the playback")) return src;
  int rate = io.GetWriteSoundRate();
  if (early && rate < 1000) {
    std::printf("stopped %s at %.1f%% (%u bytes)\n", o_.file.c_str(), rate / 10.0,
                io.GetWriteSoundBytes());
  } else {
    std::printf("played %s: %u bytes\n", o_.file.c_str(), io.GetWriteSoundBytes());
  }
  std::fflush(stdout);
  return kExitOk;
}

int runPlay(Session& s, const PlayOptions& o) {
  PlayTransfer play;
  if (int rc = play.start(s, o)) return rc;
  CKusb_IO& io = s.io();
  bool tty = isatty(STDOUT_FILENO) == 1;
  if (!o.quiet && !tty) {
    std::printf("playing %s\n", o.file.c_str());
    std::fflush(stdout);
  }
  int lastTenth = -1;
  while (!interrupted() && play.poll(io)) {
    int rate = play.permille(io);
    if (!o.quiet) {
      if (tty) {
        std::printf("\r%s %s\033[K", progressBar(rate, 40).c_str(), o.file.c_str());
        std::fflush(stdout);
      } else if (rate / 100 != lastTenth) {
        lastTenth = rate / 100;
        std::printf("%s\n", progressBar(rate, 20).c_str());
        std::fflush(stdout);
      }
    }
    nap(50);
  }
  if (!o.quiet && tty) std::printf("\n");
  return play.finish(s, interrupted());
}

}  // namespace tavro::tool
