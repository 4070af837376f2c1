// Library-wide objects that are never destroyed.
//
// A program may end (exit(), a return from main) while a library object is alive and its
// worker threads, or the application's own threads, are inside the library. Whatever they
// use must then still be intact while the process exits, so it is made once and kept until
// the process is gone. The pointer stays in static storage: the object stays reachable and
// is not taken for a leak.
#ifndef TAVRO_PLATFORM_LASTING_H
#define TAVRO_PLATFORM_LASTING_H

namespace tavro {

template <typename T>
T& lasting() {
  static T* const object = new T();
  return *object;
}

}  // namespace tavro

#endif  // TAVRO_PLATFORM_LASTING_H
