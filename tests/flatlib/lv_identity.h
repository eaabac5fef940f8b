// Waiting for the hand's identity through the flat interface. lv_init asks
// for the model code, firmware version and hand direction without waiting for
// the replies (the hand library applies them whenever they arrive), and its
// wait for the serial number gives up after 200 ms per part: on a loaded
// machine lv_init can return before the identity has come in.
#ifndef TESTS_FLATLIB_LV_IDENTITY_H
#define TESTS_FLATLIB_LV_IDENTITY_H

#include <chrono>
#include <cmath>

#include "morvane_lv/morvane_lv.h"
#include "wait_for.h"

namespace flatlib_test {

constexpr std::chrono::milliseconds kIdentityDeadline{5000};

// True once lv_get_hand_type reports `expected`; *seen holds the last value read.
inline bool wait_for_hand_type(int expected, int* seen) {
  return wait_for([&] { return lv_get_hand_type(seen) == 0 && *seen == expected; }, kIdentityDeadline);
}

// True once lv_get_firmware_version reports `expected` (to 1e-4).
inline bool wait_for_firmware(float expected, float* seen) {
  return wait_for([&] { return lv_get_firmware_version(seen) == 0 && std::fabs(*seen - expected) <= 1e-4f; },
                  kIdentityDeadline);
}

// True once lv_get_hand_direction reports `expected`.
inline bool wait_for_hand_direction(int expected, int* seen) {
  return wait_for([&] { return lv_get_hand_direction(seen) == 0 && *seen == expected; }, kIdentityDeadline);
}

}  // namespace flatlib_test

#endif  // TESTS_FLATLIB_LV_IDENTITY_H
