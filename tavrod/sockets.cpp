// The sockets of a shared box and the processes behind them.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "tavrod/shared_box_impl.h"

namespace tavro::daemon {

std::string errnoText(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::string processName(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/comm", int(pid));
  std::FILE* f = std::fopen(path, "re");
  if (f == nullptr) return "?";
  char name[32] = {};
  const bool read = std::fgets(name, sizeof name, f) != nullptr;
  std::fclose(f);
  std::string out = read ? name : "?";
  while (!out.empty() && out.back() == '\n') out.pop_back();
  for (char& c : out)
    if (c < 0x20 || c >= 0x7F) c = '?';
  return out;
}

// Opens a publish folder, creating it when missing (0700, or 0755 for a system root, whose
// sockets the group reaches), and refuses one that the library would not trust.
int openFolder(int parent, const char* name, const std::string& shown, bool system) {
  const mode_t mode = system ? 0755 : 0700;
  const bool created = ::mkdirat(parent, name, mode) == 0;
  if (!created && errno != EEXIST) throw std::runtime_error(errnoText("cannot create " + shown));
  wire::Trust why = wire::Trust::kTrusted;
  const int fd = wire::openTrustedFolder(parent, name, &why);
  if (fd < 0)
    throw std::runtime_error("the publish folder " + shown + " " + wire::trustProblem(why) +
                             ": no library would see a box published there");
  if (created) ::fchmod(fd, mode);
  return fd;
}

int listenAt(int folder, const std::string& name, const std::string& shown, int type,
             const Publishing& where) {
  const std::string reach = wire::pathInFolder(folder, name);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (shown.size() > wire::kMaxSocketPath || reach.size() >= sizeof addr.sun_path)
    throw std::runtime_error(shown + ": the path is too long");
  std::memcpy(addr.sun_path, reach.c_str(), reach.size() + 1);
  struct stat st {};
  if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    // A socket left by a service that died is replaced; anything else is not ours.
    if (!S_ISSOCK(st.st_mode)) throw std::runtime_error(shown + " exists and is not a socket");
    ::unlinkat(folder, name.c_str(), 0);
  }
  const int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) throw std::runtime_error(errnoText("socket"));
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0) {
    const std::string why = errnoText("cannot listen at " + shown);
    ::close(fd);
    throw std::runtime_error(why);
  }
  if (where.system) {
    // Programs of the group reach the sockets; nobody else does.
    if (where.group >= 0) ::fchownat(folder, name.c_str(), -1, where.group, AT_SYMLINK_NOFOLLOW);
    ::fchmodat(folder, name.c_str(), 0660, 0);
  }
  return fd;
}

Record makeRecord(std::initializer_list<uint8_t> bytes) {
  Record r{};
  std::copy(bytes.begin(), bytes.end(), r.begin());
  return r;
}

Record hookRecord(bool offHook) {
  return makeRecord({codeOf(Reply::kStatusItem), codeOf(StatusItemKind::kHookState),
                     static_cast<uint8_t>(offHook ? kOffHook : 0)});
}

}  // namespace tavro::daemon
