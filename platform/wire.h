// The virtual wire's transport as both of its ends see it: where a box publishes its
// device, which folders may be trusted, the kind of socket behind each pipe and the
// control-frame layout. What travels on it is the box's protocol (protocol/). The library's
// platform layer and the virtual box both take these from here, so that they cannot drift
// apart; docs/virtual-wire.md is the contract in words.
//
// Header only: the virtual box links none of the library's objects.
#ifndef TAVRO_PLATFORM_WIRE_H
#define TAVRO_PLATFORM_WIRE_H

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/control.h"
#include "protocol/pipes.h"
#include "protocol/records.h"

namespace tavro::wire {

// ---- Where devices are published -----------------------------------------------------

// The interface class of the box's USB chip driver, as the name of its folder.
inline constexpr char kInterfaceClassName[] = "{77F49321-16EF-11D2-AD51-006097B514DD}";

// The publish root: $XDG_RUNTIME_DIR/tavro when XDG_RUNTIME_DIR is an absolute path,
// else /tmp/tavro-<uid>.
inline std::string publishRoot() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/tavro";
  return "/tmp/tavro-" + std::to_string(static_cast<unsigned long>(::getuid()));
}

// The system publish folder, where the system's tavrod publishes the boxes it shares: owned by
// root and writable by root only; its sockets are open to the group kSystemGroup. The
// library looks there after the user's publish folder.
inline constexpr char kSystemPublishRoot[] = "/run/tavro";
inline constexpr char kSystemGroup[] = "tavro";

// The publish folders the library looks in, in their order: the user's, then the system's.
inline std::vector<std::string> publishRoots() {
  std::vector<std::string> roots{publishRoot()};
  if (roots[0] != kSystemPublishRoot) roots.emplace_back(kSystemPublishRoot);
  return roots;
}

inline std::string classDirectory() {
  return publishRoot() + "/" + std::string(kInterfaceClassName);
}

// ---- The trust rule --------------------------------------------------------------------

// A publish folder is trusted when it is a real directory (not a symbolic link), belongs
// to the user and is writable by nobody else: then no other user can plant a device in it
// or take one away. The library sees no device in a folder it does not trust, and a box
// does not publish into one.
enum class Trust {
  kTrusted,
  kMissing,
  kSymbolicLink,
  kNotDirectory,
  kOtherOwner,
  kWritableByOthers,
  kUnreadable,
};

// The owner a publish folder must have: the user for the user's publish folder, root for the
// system publish folder.
inline uid_t publishRootOwner(std::string_view root) {
  return root == kSystemPublishRoot ? 0 : ::getuid();
}

inline Trust trustOf(const struct stat& st, uid_t owner = ::getuid()) {
  if (!S_ISDIR(st.st_mode)) return Trust::kNotDirectory;
  if (st.st_uid != owner) return Trust::kOtherOwner;
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return Trust::kWritableByOthers;
  return Trust::kTrusted;
}

// Why a folder is not trusted, to follow "<path> ".
inline const char* trustProblem(Trust trust) {
  switch (trust) {
    case Trust::kTrusted:
      return "is trusted";
    case Trust::kMissing:
      return "does not exist";
    case Trust::kSymbolicLink:
      return "is a symbolic link";
    case Trust::kNotDirectory:
      return "is not a directory";
    case Trust::kOtherOwner:
      return "belongs to another user";
    case Trust::kWritableByOthers:
      return "is writable by its group or by others";
    case Trust::kUnreadable:
      break;
  }
  return "cannot be opened";
}

// Opens the folder `name` (relative to `parent`, or AT_FDCWD for a path) without following a
// symbolic link and checks the trust rule on what was opened, so that a folder swapped in
// after the check is never the one used. Returns the descriptor (close-on-exec), or -1 with
// the reason in *why.
inline int openTrustedFolder(int parent, const char* name, Trust* why, uid_t owner = ::getuid()) {
  const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    Trust reason = Trust::kUnreadable;
    if (error == ENOENT) reason = Trust::kMissing;
    if (error == ELOOP) reason = Trust::kSymbolicLink;
    if (error == ENOTDIR) {
      struct stat st;
      const bool link =
          ::fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
      reason = link ? Trust::kSymbolicLink : Trust::kNotDirectory;
    }
    if (why != nullptr) *why = reason;
    return -1;
  }
  struct stat st;
  const Trust trust = ::fstat(fd, &st) == 0 ? trustOf(st, owner) : Trust::kUnreadable;
  if (why != nullptr) *why = trust;
  if (trust != Trust::kTrusted) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Opens the class folder `className` of the publish folder, checking the trust rule on the root
// and on the class folder as opened. Returns its descriptor, or -1 when either folder is
// missing or not trusted.
inline int openPublishFolder(const std::string& className,
                             const std::string& root = publishRoot()) {
  const uid_t owner = publishRootOwner(root);
  const int rootFd = openTrustedFolder(AT_FDCWD, root.c_str(), nullptr, owner);
  if (rootFd < 0) return -1;
  const int folder = openTrustedFolder(rootFd, className.c_str(), nullptr, owner);
  ::close(rootFd);
  return folder;
}

// A path reaching `name` inside an opened folder: a connection or a bind made through it
// lands in that folder, whatever has been renamed or swapped since it was opened.
inline std::string pathInFolder(int folder, std::string_view name) {
  return "/proc/self/fd/" + std::to_string(folder) + "/" + std::string(name);
}

// ---- Devices and pipes -------------------------------------------------------------------

inline constexpr const char* kPipeNames[kPipeCount] = {"PIPE00", "PIPE01", "PIPE02", "PIPE03"};
inline constexpr char kPipeSeparator = '\\';
inline constexpr size_t kPipeSuffixLength = 7;  // "\PIPE0n"

// The device socket and every pipe but the audio-in stream carry messages.
inline constexpr int kDeviceSocketType = SOCK_SEQPACKET;
constexpr int pipeSocketType(int pipe) {
  return pipe == kAudioInPipe ? SOCK_STREAM : SOCK_SEQPACKET;
}

// The longest socket path, without its zero.
inline constexpr size_t kMaxSocketPath = sizeof(sockaddr_un::sun_path) - 1;

// ---- Control requests ------------------------------------------------------------------

inline constexpr size_t kControlHeaderSize = 16;

inline void putLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// The 16-byte header of a control request: code, value, index and the length of the data
// stage, each little-endian.
struct ControlHeader {
  uint32_t code = 0;
  uint32_t value = 0;
  uint32_t index = 0;
  uint32_t length = 0;
};

// The request message: the header, then `dataOut` bytes for a host-to-device data stage.
inline std::vector<uint8_t> encodeControlRequest(const ControlHeader& h, const void* dataOut,
                                                 size_t dataBytes) {
  std::vector<uint8_t> m(kControlHeaderSize + dataBytes);
  putLe32(&m[0], h.code);
  putLe32(&m[4], h.value);
  putLe32(&m[8], h.index);
  putLe32(&m[12], h.length);
  const auto* bytes = static_cast<const uint8_t*>(dataOut);
  for (size_t i = 0; i < dataBytes; ++i) m[kControlHeaderSize + i] = bytes[i];
  return m;
}

// False when the message is too short to hold a header.
inline bool decodeControlHeader(const uint8_t* message, size_t size, ControlHeader* h) {
  if (size < kControlHeaderSize) return false;
  h->code = le32(message);
  h->value = le32(message + 4);
  h->index = le32(message + 8);
  h->length = le32(message + 12);
  return true;
}

}  // namespace tavro::wire

#endif  // TAVRO_PLATFORM_WIRE_H
