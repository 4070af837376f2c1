// Library time run faster for the life of an object, to reach time-out paths quickly.
#ifndef TAVRO_TESTS_SUPPORT_SCALED_TIME_H
#define TAVRO_TESTS_SUPPORT_SCALED_TIME_H

#include "platform/platform.h"

namespace tavro::test {

// Library time runs `scale` times faster for the life of the object.
class ScaledTime {
 public:
  explicit ScaledTime(double scale) { platform::setTimeScale(scale); }
  ~ScaledTime() { platform::setTimeScale(1); }
  ScaledTime(const ScaledTime&) = delete;
  ScaledTime& operator=(const ScaledTime&) = delete;
};

}  // namespace tavro::test

#endif  // TAVRO_TESTS_SUPPORT_SCALED_TIME_H
