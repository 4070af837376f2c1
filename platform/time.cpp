// Library time, which tests may run faster than real time.
#include <atomic>
#include <thread>

#include "platform/platform.h"

namespace tavro::platform {

namespace {
std::atomic<double> gScale{1.0};
}

void setTimeScale(double scale) {
  gScale.store(scale > 0.0 ? scale : 1.0);
}

double timeScale() {
  return gScale.load();
}

Clock::duration realDuration(std::chrono::milliseconds duration) {
  const std::chrono::duration<double, std::milli> scaled(static_cast<double>(duration.count()) /
                                                         gScale.load());
  return std::chrono::duration_cast<Clock::duration>(scaled);
}

void sleepFor(std::chrono::milliseconds duration) {
  if (duration.count() <= 0) return;
  std::this_thread::sleep_for(realDuration(duration));
}

}  // namespace tavro::platform
