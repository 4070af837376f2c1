// Device-interface enumeration over the registry directory of the virtual wire.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace tavro::platform {

const InterfaceClass kBoxInterfaceClass = {{0x21, 0x93, 0xF4, 0x77, 0xEF, 0x16, 0xD2, 0x11, 0xAD,
                                            0x51, 0x00, 0x60, 0x97, 0xB5, 0x14, 0xDD}};

std::string interfaceClassName(const InterfaceClass& cls) {
  const uint8_t* b = cls.bytes;
  // The record holds the first three fields little-endian, the last eight bytes as they are.
  char text[39];
  std::snprintf(text, sizeof text,
                "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[3],
                b[2], b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9], b[10], b[11], b[12], b[13],
                b[14], b[15]);
  return text;
}

std::string registryRoot() {
  return wire::registryRoot();
}

std::string classDirectory(const InterfaceClass& cls) {
  return registryRoot() + "/" + interfaceClassName(cls);
}

struct DeviceInfoSet::Impl {
  std::vector<std::string> paths;  // full device paths, sorted by name
};

DeviceInfoSet::DeviceInfoSet(const InterfaceClass& cls) : impl_(std::make_unique<Impl>()) {
  const std::string root = registryRoot();
  const std::string className = interfaceClassName(cls);
  // The trust rule is checked on the folders as opened, and the listing is read from the
  // very folder that was checked.
  const int dirFd = wire::openRegistryFolder(className);
  if (dirFd < 0) return;
  DIR* d = fdopendir(dirFd);
  if (d == nullptr) {
    ::close(dirFd);
    return;
  }
  std::vector<std::string> names;
  while (const dirent* e = readdir(d)) {
    const char* name = e->d_name;
    if (std::strchr(name, '\\') != nullptr) continue;  // a pipe, not a device
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    struct stat st;
    if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISSOCK(st.st_mode)) continue;
    names.emplace_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());  // char_traits<char> compares bytes as unsigned
  const std::string dir = root + "/" + className;
  impl_->paths.reserve(names.size());
  for (const auto& name : names) impl_->paths.push_back(dir + "/" + name);
}

DeviceInfoSet::~DeviceInfoSet() = default;

size_t DeviceInfoSet::count() const {
  return impl_->paths.size();
}

bool DeviceInfoSet::enumInterface(uint32_t index, uint32_t* error) const {
  if (index < impl_->paths.size()) {
    if (error != nullptr) *error = 0;
    return true;
  }
  if (error != nullptr) *error = kErrorNoMoreItems;
  return false;
}

bool DeviceInfoSet::interfaceDetail(uint32_t index, char* buffer, size_t size,
                                    size_t* required) const {
  if (index >= impl_->paths.size()) {
    if (required != nullptr) *required = 0;
    return false;
  }
  const std::string& path = impl_->paths[index];
  const size_t need = path.size() + 1;
  if (required != nullptr) *required = need;
  if (buffer == nullptr || size < need) return false;
  std::memcpy(buffer, path.c_str(), need);
  return true;
}

}  // namespace tavro::platform
