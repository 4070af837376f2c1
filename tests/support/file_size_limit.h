// Makes file writes fail past a size for a while, as on a full disk.
#ifndef TAVRO_TESTS_SUPPORT_FILE_SIZE_LIMIT_H
#define TAVRO_TESTS_SUPPORT_FILE_SIZE_LIMIT_H

#include <sys/resource.h>

#include <csignal>

namespace tavro::test {

// Writes past `bytes` fail (EFBIG) while it lives, as on a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &old_);
    rlimit limit = old_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, oldHandler_);
  }

 private:
  rlimit old_{};
  void (*oldHandler_)(int) = nullptr;
};

}  // namespace tavro::test

#endif  // TAVRO_TESTS_SUPPORT_FILE_SIZE_LIMIT_H
