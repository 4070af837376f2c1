#include "vbox/audio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/wire.h"

namespace tavro::vbox {

namespace {

constexpr off_t kLargestWave = off_t{64} << 20;  // about 2 h 20 min of line audio

uint16_t le16(const uint8_t* p) {
  return uint16_t(p[0] | p[1] << 8);
}

void put32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(uint8_t(x >> (8 * i)));
}
void put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(uint8_t(x));
  v.push_back(uint8_t(x >> 8));
}
void putTag(std::vector<uint8_t>& v, const char* tag) {
  // Byte by byte: an insert of the range trips a false stringop-overflow warning of GCC 12
  // in the sanitizer builds.
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(tag[i]));
}

uint8_t patternByte(uint32_t number, size_t i) {
  return uint8_t(number + i);
}

}  // namespace

// G.711 A-law: 13-bit magnitude, segment and 4-bit mantissa, even bits inverted.
uint8_t alawEncode(int16_t sample) {
  int pcm = sample >> 3;  // 13 bits
  uint8_t sign = 0x80;
  if (pcm < 0) {
    pcm = -pcm - 1;
    sign = 0x00;
  }
  if (pcm > 0xFFF) pcm = 0xFFF;
  uint8_t code;
  if (pcm < 32) {
    code = uint8_t(pcm >> 1);
  } else {
    int seg = 1;
    for (int v = pcm >> 5; v > 1; v >>= 1) ++seg;
    code = uint8_t(seg << 4 | ((pcm >> seg) & 0x0F));
  }
  return uint8_t((code | sign) ^ 0x55);
}

int16_t alawDecode(uint8_t code) {
  code ^= 0x55;
  int seg = (code >> 4) & 0x07;
  int mant = code & 0x0F;
  int mag = seg == 0 ? (mant << 1) + 1 : ((mant << 1) + 33) << (seg - 1);
  mag <<= 3;
  return int16_t((code & 0x80) ? mag : -mag);
}

LineSource LineSource::silence() {
  return {};
}

LineSource LineSource::tone(double hz, double level) {
  LineSource s;
  s.kind = Kind::Tone;
  s.toneHz = std::clamp(hz, 0.0, kSampleRate / 2);
  s.toneLevel = std::clamp(level, 0.0, 1.0);
  return s;
}

LineSource LineSource::alaw(std::vector<uint8_t> bytes) {
  if (bytes.empty()) return silence();
  LineSource s;
  s.kind = Kind::Samples;
  s.samples = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
  return s;
}

LineSource LineSource::pattern() {
  LineSource s;
  s.kind = Kind::Pattern;
  return s;
}

std::optional<LineSource> LineSource::waveFile(const std::string& path, std::string* error) {
  auto bytes = readAlawWave(path, error);
  if (!bytes) return std::nullopt;
  return alaw(std::move(*bytes));
}

void FrameMaker::setSource(LineSource source) {
  source_ = std::move(source);
  sample_ = 0;
  made_ = 0;
}

Frame FrameMaker::next(uint8_t status) {
  Frame f;
  std::memcpy(f.data(), "stcq", 4);
  f[4] = status;
  f[5] = 0;
  uint8_t* audio = f.data() + kFrameHeader;
  switch (source_.kind) {
    case LineSource::Kind::Silence:
      std::fill_n(audio, kFrameAudio, kAlawSilence);
      break;
    case LineSource::Kind::Tone: {
      const double step = 2 * M_PI * source_.toneHz / kSampleRate;
      for (size_t i = 0; i < kFrameAudio; ++i) {
        double phase = std::fmod(step * double(sample_ + i), 2 * M_PI);
        audio[i] = alawEncode(int16_t(std::lround(std::sin(phase) * source_.toneLevel * 32767)));
      }
      break;
    }
    case LineSource::Kind::Samples: {
      const auto& s = *source_.samples;
      for (size_t i = 0; i < kFrameAudio; ++i) audio[i] = s[(sample_ + i) % s.size()];
      break;
    }
    case LineSource::Kind::Pattern:
      for (int i = 0; i < 4; ++i) audio[i] = uint8_t(made_ >> (8 * i));
      for (size_t i = 4; i < kFrameAudio; ++i) audio[i] = patternByte(made_, i);
      break;
  }
  sample_ += kFrameAudio;
  ++made_;
  return f;
}

uint32_t patternFrameNumber(const uint8_t* frame) {
  return le32(frame + kFrameHeader);
}

bool isPatternFrame(const uint8_t* frame) {
  if (std::memcmp(frame, "stcq", 4) != 0) return false;
  uint32_t n = patternFrameNumber(frame);
  for (size_t i = 4; i < kFrameAudio; ++i)
    if (frame[kFrameHeader + i] != patternByte(n, i)) return false;
  return true;
}

std::optional<std::vector<uint8_t>> readAlawWave(const std::string& path, std::string* error) {
  auto fail = [error](const std::string& why) -> std::optional<std::vector<uint8_t>> {
    if (error) *error = why;
    return std::nullopt;
  };
  // Only a regular file of a bounded size is read: a device (/dev/zero) never ends and a
  // FIFO without a writer would hold up the box.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return fail("cannot open " + path + ": " + std::strerror(errno));
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return fail(path + " is not a regular file");
  }
  if (st.st_size > kLargestWave) {
    ::close(fd);
    return fail(path + " is larger than 64 MiB");
  }
  std::vector<uint8_t> file(size_t(st.st_size));
  size_t got = 0;
  while (got < file.size()) {
    const ssize_t n = ::read(fd, file.data() + got, file.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // a file that shrank meanwhile: what is there
    got += size_t(n);
  }
  ::close(fd);
  file.resize(got);
  if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) != 0 ||
      std::memcmp(file.data() + 8, "WAVE", 4) != 0)
    return fail("not a wave file");
  bool formatOk = false;
  size_t pos = 12;
  while (pos + 8 <= file.size()) {
    const uint8_t* chunk = file.data() + pos;
    uint64_t size = le32(chunk + 4);
    size_t body = pos + 8;
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      if (size < 16 || body + 16 > file.size()) return fail("short format chunk");
      const uint8_t* f = file.data() + body;
      if (le16(f) != 6 || le16(f + 2) != 1 || le32(f + 4) != 8000 || le16(f + 14) != 8)
        return fail("not 8 kHz mono 8-bit A-law");
      formatOk = true;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!formatOk) return fail("data before format");
      // A recording that was not finished may say more than the file holds: take what is
      // there.
      size_t end = size_t(std::min<uint64_t>(body + size, file.size()));
      return std::vector<uint8_t>(file.begin() + body, file.begin() + end);
    }
    pos = size_t(std::min<uint64_t>(body + size + (size & 1), file.size()));
  }
  return fail("no data chunk");
}

bool writeAlawWave(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> h;
  uint32_t n = uint32_t(std::min<size_t>(bytes.size(), 0xFFFFFF00u));
  putTag(h, "RIFF");
  put32(h, 4 + 26 + 8 + n + (n & 1));
  putTag(h, "WAVE");
  putTag(h, "fmt ");
  put32(h, 18);
  put16(h, 6);     // A-law
  put16(h, 1);     // mono
  put32(h, 8000);  // samples per second
  put32(h, 8000);  // bytes per second
  put16(h, 1);     // block alignment
  put16(h, 8);     // bits per sample
  put16(h, 0);     // no extra format bytes
  putTag(h, "data");
  put32(h, n);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(h.data(), 1, h.size(), f) == h.size() &&
            std::fwrite(bytes.data(), 1, n, f) == n && (!(n & 1) || std::fputc(0, f) == 0);
  return std::fclose(f) == 0 && ok;
}

}  // namespace tavro::vbox
