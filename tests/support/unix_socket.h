// A Unix-domain socket address for a path, for tests that listen or connect on their own.
#ifndef TAVRO_TESTS_SUPPORT_UNIX_SOCKET_H
#define TAVRO_TESTS_SUPPORT_UNIX_SOCKET_H

#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <string>

namespace tavro::test {

// False when the path does not fit.
inline bool unixAddress(const std::string& path, sockaddr_un* address) {
  *address = sockaddr_un{};
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

}  // namespace tavro::test

#endif  // TAVRO_TESTS_SUPPORT_UNIX_SOCKET_H
