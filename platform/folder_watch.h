// Tells when the entries of a folder change, without waking up otherwise.
#ifndef TAVRO_PLATFORM_FOLDER_WATCH_H
#define TAVRO_PLATFORM_FOLDER_WATCH_H

#include <functional>
#include <memory>
#include <string>

namespace tavro::platform {

// Calls `changed` on its own thread when an entry appears in `folder` or leaves it, and
// when the folder itself comes or goes (a missing folder is waited for through its
// nearest existing parent): `appeared` is true for an entry or folder that came, false
// for one that left (a batch of both calls it twice). The thread sleeps in the kernel
// while nothing changes.
class FolderWatch {
 public:
  FolderWatch(std::string folder, std::function<void(bool appeared)> changed);
  ~FolderWatch();  // stops and joins the thread
  FolderWatch(const FolderWatch&) = delete;
  FolderWatch& operator=(const FolderWatch&) = delete;

  bool active() const;  // false when the system offers no watch

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tavro::platform

#endif  // TAVRO_PLATFORM_FOLDER_WATCH_H
