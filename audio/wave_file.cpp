#include "audio/wave_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <system_error>

namespace tavro {
namespace {

void put16(uint8_t* at, uint16_t v) {
  at[0] = static_cast<uint8_t>(v);
  at[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool writeAll(std::FILE* f, const void* data, size_t size) {
  return std::fwrite(data, 1, size, f) == size;
}

// Opens `name` as a regular file, created when missing, without waiting: a name that is
// something else is not opened at all, and one that becomes something else between the
// look and the open (opened without blocking) is closed again. -1 when refused.
int openRegular(const char* name, int access) {
  struct stat st {};
  if (::stat(name, &st) == 0 && !S_ISREG(st.st_mode)) return -1;
  const int fd = ::open(name, access | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

WaveHeader waveHeader(uint32_t riffSize, uint32_t dataSize) {
  WaveHeader h{};
  std::memcpy(&h[0], "RIFF", 4);
  put32(&h[4], riffSize);
  std::memcpy(&h[8], "WAVE", 4);
  std::memcpy(&h[12], "fmt ", 4);
  put32(&h[16], 20);    // format chunk length
  put16(&h[20], 6);     // A-law
  put16(&h[22], 1);     // channels
  put32(&h[24], 8000);  // samples per second
  put32(&h[28], 8000);  // bytes per second
  put16(&h[32], 1);     // block alignment
  put16(&h[34], 8);     // bits per sample
  put16(&h[36], 0);     // size of the extra format data
  put16(&h[38], 0);     // reserved, pads the format chunk to 20 bytes
  std::memcpy(&h[40], "data", 4);
  put32(&h[44], dataSize);
  return h;
}

bool canCreateFile(const char* name) {
  if (name == nullptr || *name == 0) return false;
  const int fd = openRegular(name, O_WRONLY);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

WaveFile::~WaveFile() {
  abandon();
}

bool WaveFile::create(const char* name) {
  abandon();
  if (name == nullptr || *name == 0 || std::strlen(name) >= sizeof name_) return false;
  std::strcpy(name_, name);
  const int fd = openRegular(name_, O_RDWR);
  if (fd < 0) return false;
  if (::ftruncate(fd, 0) != 0 || (file_ = ::fdopen(fd, "w+b")) == nullptr) {
    ::close(fd);
    return false;
  }
  std::setvbuf(file_, nullptr, _IONBF, 0);
  audioBytes_ = 0;
  partial_ = false;
  const WaveHeader h = waveHeader(kPlaceholderRiffSize, kPlaceholderDataSize);
  if (!writeAll(file_, h.data(), h.size())) {
    abandon();
    return false;
  }
  return true;
}

bool WaveFile::write(const uint8_t* data, size_t size) {
  if (file_ == nullptr) return false;
  if (size > kMaxWaveAudio - audioBytes_) return false;
  if (!writeAll(file_, data, size)) {
    partial_ = true;
    return false;
  }
  audioBytes_ += static_cast<uint32_t>(size);
  return true;
}

bool WaveFile::finish() {
  if (file_ == nullptr) return false;
  const WaveHeader h = finalWaveHeader(audioBytes_);
  bool ok = std::fseek(file_, 0, SEEK_SET) == 0 && writeAll(file_, h.data(), h.size());
  ok = std::fclose(file_) == 0 && ok;
  file_ = nullptr;
  if (partial_) {
    // Cut off what a failed write left behind, so the file holds what its header says.
    std::error_code ec;
    std::filesystem::resize_file(name_, kWaveHeaderSize + uint64_t{audioBytes_}, ec);
    ok = ok && !ec;
  }
  return ok;
}

void WaveFile::abandon() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

}  // namespace tavro
