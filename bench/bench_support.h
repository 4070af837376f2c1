// What the benchmark programs share: a scratch directory, the process's CPU time, and a
// virtual box in a child process of its own, so that the library's CPU time is the
// benchmark process's own and the box's is measured apart.
#ifndef TAVRO_BENCH_BENCH_SUPPORT_H
#define TAVRO_BENCH_BENCH_SUPPORT_H

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>

#include "vbox/virtual_box.h"

namespace tavro::bench {

// A directory of its own, removed at the end; as the runtime directory, the library and
// the boxes of this process meet in it.
class TempDir {
 public:
  explicit TempDir(bool asRuntimeDir = false) {
    std::string pattern = (std::filesystem::temp_directory_path() / "tavro-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    path_ = pattern;
    if (asRuntimeDir) setenv("XDG_RUNTIME_DIR", path_.c_str(), 1);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// User and system CPU seconds of the whole process so far.
inline double processCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A virtual box in a child process, published in `runtimeDir` and driven over a pipe by
// one-byte requests: `serve` answers each on the given descriptor (false ends the child
// with a failure); 'q' ends it.
class ChildBox {
 public:
  using SetUp = std::function<void(vbox::VirtualBox&)>;
  using Serve = std::function<bool(vbox::VirtualBox&, char request, int answers)>;

  ChildBox(const std::string& runtimeDir, const SetUp& setUp, const Serve& serve) {
    if (pipe(toChild_) != 0 || pipe(fromChild_) != 0) std::abort();
    pid_ = fork();
    if (pid_ == 0) {
      setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
      int rc = 0;
      {
        vbox::VirtualBox box;
        setUp(box);
        char c = 'r';
        if (write(fromChild_[1], &c, 1) != 1) rc = 1;
        while (rc == 0 && read(toChild_[0], &c, 1) == 1 && c != 'q')
          if (!serve(box, c, fromChild_[1])) rc = 1;
      }
      _exit(rc);
    }
    char c = 0;
    if (read(fromChild_[0], &c, 1) != 1) std::abort();
  }
  ~ChildBox() {
    const char c = 'q';
    if (write(toChild_[1], &c, 1) != 1) kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    for (int fd : {toChild_[0], toChild_[1], fromChild_[0], fromChild_[1]}) close(fd);
  }
  ChildBox(const ChildBox&) = delete;
  ChildBox& operator=(const ChildBox&) = delete;

  void send(char request) {
    if (write(toChild_[1], &request, 1) != 1) std::abort();
  }
  template <class Answer>
  Answer ask(char request) {
    send(request);
    Answer answer{};
    if (read(fromChild_[0], &answer, sizeof answer) != sizeof answer) std::abort();
    return answer;
  }

 private:
  pid_t pid_ = -1;
  int toChild_[2] = {-1, -1};
  int fromChild_[2] = {-1, -1};
};

}  // namespace tavro::bench

#endif  // TAVRO_BENCH_BENCH_SUPPORT_H
