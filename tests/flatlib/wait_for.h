// Polling with a deadline for the flat library's tests.
#ifndef TESTS_FLATLIB_WAIT_FOR_H
#define TESTS_FLATLIB_WAIT_FOR_H

#include <chrono>
#include <thread>

namespace flatlib_test {

// Polls `pred` until it holds or `timeout` passes.
template <typename Pred>
bool wait_for(Pred pred, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred();
}

}  // namespace flatlib_test

#endif  // TESTS_FLATLIB_WAIT_FOR_H
