// Waiting on conditions in tests: generous deadlines, never fixed sleeps.
#ifndef TAVRO_TESTS_SUPPORT_CONDITIONS_H
#define TAVRO_TESTS_SUPPORT_CONDITIONS_H

#include <chrono>
#include <functional>
#include <thread>

namespace tavro::test {

inline constexpr std::chrono::seconds kGenerous{20};

// Looks at `done` until it holds or `timeout` has passed; true when it held.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds timeout = kGenerous) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace tavro::test

#endif  // TAVRO_TESTS_SUPPORT_CONDITIONS_H
