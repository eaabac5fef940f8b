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

// After a successful initial(): when the hand sent none of its identity
// (initial() does not fail for a hand that never answers), prints
// "Warning: node N did not answer." on the error stream, so that a wrong
// node id or a dead line does not pass for success.
void warn_if_no_answer(morvx::Morvane& hand, unsigned node_id);

// Both tests keep the console in silent single-key mode from their first
// line to their return (and the console layer restores it at exit and on
// Ctrl-C), so keys typed during the enable and homing waits are not echoed.

// Enable, home, then the seven target rows in turn (one per second) until Esc.
// Returns 0, or the first non-zero result of move_motors.
int motion_test(morvx::Morvane& hand, int active_joints);

// Redraws one line per sensor channel 1, 3, 5, 7, 9, 11 every 50 ms until Esc;
// hand type 1 shows pressures only.
int sensor_test(morvx::Morvane& hand, int hand_type);

}  // namespace demos

#endif  // DEMOS_COMMON_HAND_TESTS_H
