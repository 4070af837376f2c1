// Who is at the other end of a virtual-wire connection: the box and tavrod both hold a claim
// for as long as the claiming process lives.
#pragma once

#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

namespace tavro::wire {

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

// The process at the other end of a connection, as it was when it connected; -1 when unknown.
inline pid_t peerProcess(int fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return -1;
  return cred.pid;
}

// A descriptor that becomes readable when the process at the other end of `fd` exits; -1
// when the system cannot tell (a hold then ends by its grace time only).
inline int processWatch(int fd, pid_t pid) {
  int pidFd = -1;
  socklen_t len = sizeof pidFd;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERPIDFD, &pidFd, &len) == 0 && pidFd >= 0) return pidFd;
#ifdef SYS_pidfd_open
  if (pid > 0) return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#endif
  return -1;
}

}  // namespace tavro::wire
