// One line of tactile readings for one sensor channel of a hand.
#ifndef DEMOS_COMMON_SENSOR_LINE_H
#define DEMOS_COMMON_SENSOR_LINE_H

#include <ostream>

#include "morvane/morvane.h"

namespace demos {

// Erases the current terminal line (ESC "[2K") and prints
// "  [Sensor nn] pressure[p,p,...]" and, unless pressure_only, " NF[...]",
// " TF[...]" and " DIR[...]", then a line end. Pressure and direction with
// 1 decimal, forces with 2; a channel without data prints empty brackets.
// Reads the hand's published tactile values only, so it may run while the
// receive thread decodes.
void print_sensor_line(std::ostream& out, morvx::Morvane& hand, int sensor, bool pressure_only);
void print_sensor_line(morvx::Morvane& hand, int sensor, bool pressure_only);

}  // namespace demos

#endif  // DEMOS_COMMON_SENSOR_LINE_H
