// Which library context a thread works on.
//
// context() (library/context.h) is the calling thread's bound context, or else the
// process's. An object made for one device (CKusb_IO(const char*)) owns a context of its
// own: each of its members binds it for the call (ObjectScope), and each of its worker
// threads binds it when it starts (ContextScope), so that every path below works on that
// context without being told. The default object binds none and works on the process's.
#ifndef TAVRO_DEVICE_BINDING_H
#define TAVRO_DEVICE_BINDING_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/platform.h"

class CKusb_IO;

namespace tavro {

struct LibraryContext;  // library/context.h

// The calling thread's bound context; nullptr when it works on the process's.
LibraryContext* boundContext();

// Binds `context` (nullptr: the process's) to the calling thread while it lives.
class ContextScope {
 public:
  explicit ContextScope(LibraryContext* context);
  ~ContextScope();
  ContextScope(const ContextScope&) = delete;
  ContextScope& operator=(const ContextScope&) = delete;

 private:
  LibraryContext* previous_;
};

namespace detail {
// How many objects with a context of their own live: while none does, a member call binds
// nothing (the one atomic load is all it costs).
extern std::atomic<uint32_t> boundObjects;
LibraryContext* bindObject(const CKusb_IO* io);
void unbind(LibraryContext* previous);
}  // namespace detail

// Binds the context of `io` (its own, or the process's) for a member call.
class ObjectScope {
 public:
  explicit ObjectScope(const CKusb_IO* io) {
    if (detail::boundObjects.load(std::memory_order_relaxed) != 0) {
      active_ = true;
      previous_ = detail::bindObject(io);
    }
  }
  ~ObjectScope() {
    if (active_) detail::unbind(previous_);
  }
  ObjectScope(const ObjectScope&) = delete;
  ObjectScope& operator=(const ObjectScope&) = delete;

 private:
  bool active_ = false;
  LibraryContext* previous_ = nullptr;
};

// The first statement of every public member of CKusb_IO.
#define TAVRO_BIND_OBJECT() const ::tavro::ObjectScope tavroObjectScope(this)

// What a notice raised now is about: the context in use and the device it is bound to.
platform::NoticeSource noticeSource();

// Runs `f` once for each context that has run the library in this process (the process's
// and every object's own), with that context bound: the exit handler.
void forEachContext(const std::function<void()>& f);

}  // namespace tavro

#endif  // TAVRO_DEVICE_BINDING_H
