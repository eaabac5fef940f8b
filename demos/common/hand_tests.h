// The two test modes that canfd_demo and rs485_demo both offer, and the
// console helpers they share.
#ifndef DEMOS_COMMON_HAND_TESTS_H
#define DEMOS_COMMON_HAND_TESTS_H

#include "morvane/morvane.h"

namespace demos {

void sleep_ms(int ms);

// True when the user pressed Esc (prints message) or the console input has
// ended, so no Esc can ever come; other keys are consumed.
bool esc_pressed(const char* message);

// Enable, home, then the seven target rows in turn (one per second) until Esc.
// Returns 0, or the first non-zero result of move_motors.
int motion_test(morvx::Morvane& hand, int active_joints);

// Redraws one line per sensor channel 1, 3, 5, 7, 9, 11 every 50 ms until Esc;
// hand type 1 shows pressures only.
int sensor_test(morvx::Morvane& hand, int hand_type);

}  // namespace demos

#endif  // DEMOS_COMMON_HAND_TESTS_H
