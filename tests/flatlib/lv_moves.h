// Moves through the flat interface that the end-to-end tests share.
#ifndef TESTS_FLATLIB_LV_MOVES_H
#define TESTS_FLATLIB_LV_MOVES_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "morvane_lv/morvane_lv.h"
#include "wait_for.h"

namespace flatlib_test {

// Enable, home, move joint 1 to `target`; true once the hand reports it there.
inline void enable_home_and_move(int target) {
  ASSERT_EQ(lv_set_enable(0, 1), 0);
  ASSERT_EQ(lv_home_motors(0), 0);
  // A move is refused (11) until every joint reports homed, and a refused
  // move sets the target back to 0: set the target again before each try.
  int pos = -1;
  const bool arrived = wait_for([&] {
    if (lv_set_target_position(1, target) != 0 || lv_set_position_velocity(1, 5000) != 0 ||
        lv_set_max_current(1, 1000) != 0 || lv_move_motors(1) != 0) {
      return false;
    }
    return wait_for([&] { return lv_get_now_position(1, &pos) == 0 && std::abs(pos - target) <= 50; },
                    std::chrono::milliseconds(2000));
  }, std::chrono::milliseconds(15000));
  EXPECT_TRUE(arrived) << "last position " << pos;
}

}  // namespace flatlib_test

#endif  // TESTS_FLATLIB_LV_MOVES_H
