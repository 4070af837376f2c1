#include "tools/files.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "tools/text.h"

namespace tavro::tool {

std::string fileSizeText(const std::string& file, long long* size) {
  struct stat st {};
  if (stat(file.c_str(), &st) != 0) return "";
  *size = static_cast<long long>(st.st_size);
  return std::to_string(*size);
}

std::string notRegularText(const std::string& file, mode_t mode) {
  const char* what = S_ISFIFO(mode)   ? "a named pipe (FIFO)"
                     : S_ISCHR(mode)  ? "a character device"
                     : S_ISBLK(mode)  ? "a block device"
                     : S_ISSOCK(mode) ? "a socket"
                                      : nullptr;
  return what != nullptr ? file + " is " + what + ", not a regular file"
                         : file + " is not a regular file";
}

std::string inputFileProblem(const std::string& file, bool regularOnly) {
  struct stat st {};
  if (stat(file.c_str(), &st) != 0) return "cannot open " + file + ": " + std::strerror(errno);
  if (S_ISDIR(st.st_mode)) return file + " is a directory";
  if (regularOnly && !S_ISREG(st.st_mode)) return notRegularText(file, st.st_mode);
  return "";
}

std::string readAtMost(const std::string& file, std::size_t limit, std::vector<uint8_t>* data) {
  if (std::string why = inputFileProblem(file, false); !why.empty()) return why;
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return "cannot open " + file + ": " + std::strerror(errno);
  struct stat st {};
  std::string why;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    why = "cannot read " + file;
  } else if (S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) >= limit) {
    data->assign(limit, 0);
  } else {
    data->resize(limit);
    std::size_t got = 0;
    while (got < limit) {
      ssize_t n = ::read(fd, data->data() + got, limit - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) {
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 1000);
        if (p.revents == 0) break;  // a pipe nobody writes to: take what came
        continue;
      }
      if (n < 0) {
        why = "cannot read " + file + ": " + std::strerror(errno);
        break;
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    data->resize(got);
  }
  ::close(fd);
  return why;
}

bool repairWaveFile(const std::string& file) {
  int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  std::array<uint8_t, kWaveHeaderBytes> header{};
  struct stat st {};
  bool done = fstat(fd, &st) == 0 &&
              pread(fd, header.data(), header.size(), 0) == static_cast<ssize_t>(header.size()) &&
              repairWaveSizes(header, static_cast<uint64_t>(st.st_size)) &&
              pwrite(fd, header.data(), header.size(), 0) == static_cast<ssize_t>(header.size());
  ::close(fd);
  return done;
}

long long waveAudioBytes(const std::string& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  std::array<uint8_t, kWaveHeaderBytes> header{};
  struct stat st {};
  bool read = fstat(fd, &st) == 0 &&
              pread(fd, header.data(), header.size(), 0) == static_cast<ssize_t>(header.size());
  ::close(fd);
  // A header that needs no repair describes the file.
  if (!read || repairWaveSizes(header, static_cast<uint64_t>(st.st_size))) return -1;
  auto data = uint32_t{header[44]} | uint32_t{header[45]} << 8 | uint32_t{header[46]} << 16 |
              uint32_t{header[47]} << 24;
  return static_cast<long long>(st.st_size) == data + 48LL ? data : -1;
}

}  // namespace tavro::tool
