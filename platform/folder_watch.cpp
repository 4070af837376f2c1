#include "platform/folder_watch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

namespace tavro::platform {

struct FolderWatch::Impl {
  std::filesystem::path folder;
  std::function<void(bool appeared)> changed;
  int inotify = -1;
  int stop = -1;
  int watch = -1;
  bool watchingFolder = false;  // else an ancestor, for the folder's next missing part
  std::string awaited;          // that part's name
  std::thread thread;

  // Watches the folder if it exists, else its nearest existing ancestor.
  void arm() {
    for (;;) {
      if (watch >= 0) inotify_rm_watch(inotify, watch);
      watch = -1;
      std::filesystem::path at = folder;
      std::string child;
      for (;;) {
        const uint32_t mask =
            at == folder ? IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                               IN_MOVE_SELF | IN_ONLYDIR
                         : IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
        watch = inotify_add_watch(inotify, at.c_str(), mask);
        if (watch >= 0 || !at.has_parent_path() || at.parent_path() == at) break;
        child = at.filename().string();
        at = at.parent_path();
      }
      watchingFolder = at == folder;
      awaited = child;
      // The awaited part may have appeared after its own watch failed and before the
      // ancestor's watch began: no event will tell of it, so look once more.
      std::error_code error;
      if (watchingFolder || watch < 0 || !std::filesystem::is_directory(at / child, error)) return;
    }
  }

  void run() {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      pollfd fds[2] = {{inotify, POLLIN, 0}, {stop, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      const ssize_t n = ::read(inotify, buffer, sizeof buffer);
      if (n <= 0) continue;
      bool appeared = false;
      bool left = false;
      bool rearm = false;
      for (ssize_t at = 0; at < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        if (e->wd != watch) continue;  // a watch given up, as by arm()
        if (e->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
          left = left || watchingFolder;
          rearm = true;
        } else if (watchingFolder) {
          if (e->mask & (IN_CREATE | IN_MOVED_TO))
            appeared = true;
          else
            left = true;
        } else if (e->len > 0 && awaited == e->name) {
          rearm = true;  // a missing part of the path appeared
        }
      }
      if (rearm) {
        arm();
        appeared = appeared || watchingFolder;  // the folder came, maybe with entries
      }
      if (left) changed(false);
      if (appeared) changed(true);
    }
  }
};

FolderWatch::FolderWatch(std::string folder, std::function<void(bool appeared)> changed)
    : impl_(std::make_unique<Impl>()) {
  impl_->folder = std::filesystem::path(folder).lexically_normal();
  impl_->changed = std::move(changed);
  impl_->inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  impl_->stop = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (impl_->inotify < 0 || impl_->stop < 0) return;
  impl_->arm();
  impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
}

FolderWatch::~FolderWatch() {
  if (impl_->thread.joinable()) {
    const uint64_t one = 1;
    while (::write(impl_->stop, &one, sizeof one) < 0 && errno == EINTR) {
    }
    impl_->thread.join();
  }
  if (impl_->inotify >= 0) ::close(impl_->inotify);
  if (impl_->stop >= 0) ::close(impl_->stop);
}

bool FolderWatch::active() const {
  return impl_->thread.joinable();
}

}  // namespace tavro::platform
