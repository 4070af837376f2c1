// Standard error pointed elsewhere for a while, and a pipe that nobody reads: for tests of
// what the library writes there and of what it does when the write cannot go through.
#ifndef TAVRO_TESTS_SUPPORT_STANDARD_ERROR_H
#define TAVRO_TESTS_SUPPORT_STANDARD_ERROR_H

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace tavro::test {

// Standard error goes to `fd` until the end of the scope.
class StandardErrorTo {
 public:
  explicit StandardErrorTo(int fd) : saved_(::dup(STDERR_FILENO)) {
    std::fflush(stderr);
    ::dup2(fd, STDERR_FILENO);
  }
  ~StandardErrorTo() {
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }
  StandardErrorTo(const StandardErrorTo&) = delete;
  StandardErrorTo& operator=(const StandardErrorTo&) = delete;

 private:
  int saved_;
};

// A pipe whose blocking writing end is full, as a program's standard error is when nobody
// reads it; its reading end does not block. False when no pipe could be made.
inline bool makeFullPipe(int pipe[2]) {
  if (::pipe2(pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  ::fcntl(pipe[1], F_SETPIPE_SZ, 4096);
  const std::string filler(4096, 'x');
  while (::write(pipe[1], filler.data(), filler.size()) > 0) {
  }
  ::fcntl(pipe[1], F_SETFL, ::fcntl(pipe[1], F_GETFL) & ~O_NONBLOCK);
  return true;
}

// Everything that can be read from `fd` now (until its end, or until it would block).
inline std::string readAll(int fd) {
  std::string text;
  char chunk[256];
  ssize_t n;
  while ((n = ::read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
  return text;
}

}  // namespace tavro::test

#endif  // TAVRO_TESTS_SUPPORT_STANDARD_ERROR_H
