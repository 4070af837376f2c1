// A fresh publish folder for one test: XDG_RUNTIME_DIR points at a new temporary directory for
// the life of the object, so that a test sees only its own boxes.
#ifndef TAVRO_TESTS_SUPPORT_RUNTIME_DIR_H
#define TAVRO_TESTS_SUPPORT_RUNTIME_DIR_H

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace tavro::test {

class RuntimeDir {
 public:
  RuntimeDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tavro-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    if (old) old_ = old;
    hadOld_ = old != nullptr;
    setenv("XDG_RUNTIME_DIR", path_.c_str(), 1);
  }
  ~RuntimeDir() {
    if (hadOld_)
      setenv("XDG_RUNTIME_DIR", old_.c_str(), 1);
    else
      unsetenv("XDG_RUNTIME_DIR");
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  RuntimeDir(const RuntimeDir&) = delete;
  RuntimeDir& operator=(const RuntimeDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string old_;
  bool hadOld_ = false;
};

}  // namespace tavro::test

#endif  // TAVRO_TESTS_SUPPORT_RUNTIME_DIR_H
