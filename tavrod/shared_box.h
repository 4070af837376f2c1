// One box that tavrod holds, published on the virtual wire as a shared box: every program's
// claim is granted, and what each program sees is what a program that holds a box alone
// sees (docs/sharing.md).
#ifndef TAVRO_TAVROD_SHARED_BOX_H
#define TAVRO_TAVROD_SHARED_BOX_H

#include <functional>
#include <memory>
#include <string>

#include "platform/backend.h"
#include "platform/wire.h"

namespace tavro::daemon {

// The box as tavrod holds it, through its backend.
struct HeldBox {
  std::string backend;      // "wire", "usb"
  std::string path;         // its device path on that backend
  std::string description;  // the backend's words for it
  std::shared_ptr<platform::BackendDevice> device;
  std::unique_ptr<platform::BackendPipe> pipes[kPipeCount];
  uint8_t probe = 0;  // its answer to the device probe
};

// Where shared boxes are published and who may reach them.
struct Publishing {
  std::string root;     // the publish root (wire::publishRoot() for a user's service)
  bool system = false;  // the root folder belongs to root; the sockets are open to `group`
  int group = -1;       // the group of the sockets, -1: the process's own
};

using Log = std::function<void(const std::string&)>;

class SharedBox {
 public:
  // Publishes the shared box `name` and starts serving it; throws std::runtime_error when it
  // cannot be published. `lost` is called (from the box's thread) when the box went away.
  SharedBox(std::string name, HeldBox box, const Publishing& where, Log log,
            std::function<void()> lost);
  // Removes the shared box: every program's connections close, the box is let go.
  ~SharedBox();
  // A new shared box of the same name has replaced its sockets: its end leaves them.
  void handOver();
  SharedBox(const SharedBox&) = delete;
  SharedBox& operator=(const SharedBox&) = delete;

  const std::string& name() const;
  const std::string& path() const;     // the held box's device path
  const std::string& backend() const;  // the held box's backend
  bool lost() const;                   // the box went away

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace tavro::daemon

#endif  // TAVRO_TAVROD_SHARED_BOX_H
