// The system's clocks and random numbers, the same on every platform.
#include <chrono>
#include <random>
#include <thread>

#include "storage/platform/platform_file.h"

namespace zelpin::platform {

std::int64_t wallClock() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::int64_t steadyClock() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void sleepFor(std::int64_t nanoseconds) {
  std::this_thread::sleep_for(std::chrono::nanoseconds(nanoseconds));
}

std::uint32_t randomNumber() {
  std::random_device random;
  return random();
}

}  // namespace zelpin::platform
