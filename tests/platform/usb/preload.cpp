#include "platform/usb/preload.h"

#include <link.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace tavro::test {
namespace {

int findSanitizerRuntime(dl_phdr_info* info, size_t, void* data) {
  const char* name = info->dlpi_name;
  if (name != nullptr && (std::strstr(name, "libasan.so") || std::strstr(name, "libtsan.so"))) {
    *static_cast<std::string*>(data) = name;
    return 1;
  }
  return 0;
}

}  // namespace

bool runUnderUmockdevPreload(char** argv) {
  // The library's own check looks for a test runner's variables; ours marks the restart.
  if (std::getenv("TAVRO_UMOCKDEV_PRELOADED") != nullptr) return true;
  setenv("TAVRO_UMOCKDEV_PRELOADED", "1", 1);
  std::string runtime;
  dl_iterate_phdr(findSanitizerRuntime, &runtime);
  std::string preload = runtime.empty() ? "" : runtime + ":";
  preload += "libumockdev-preload.so.0";
  if (const char* old = std::getenv("LD_PRELOAD"); old != nullptr && *old != '\0') {
    preload += std::string(":") + old;
  }
  setenv("LD_PRELOAD", preload.c_str(), 1);
  execv("/proc/self/exe", argv);
  std::perror("usb tests: cannot start under the umockdev preload");
  return false;
}

}  // namespace tavro::test
