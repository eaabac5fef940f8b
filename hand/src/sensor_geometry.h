// Taxel layouts of the tactile sensors, shared read-only by every hand object.
#ifndef MORVANE_SENSOR_GEOMETRY_H
#define MORVANE_SENSOR_GEOMETRY_H

#include "hand_ops.h"

namespace morvx {

// Each layout is built once, on its first use from any thread, and lives for
// the life of the library. The n-th point belongs to the n-th pressure value.
const SensorLayout& layout_5();
const SensorLayout& layout_9();
const SensorLayout& layout_12();
const SensorLayout& layout_26();
const SensorLayout& layout_36();
const SensorLayout& layout_26_mirrored();
const SensorLayout& layout_36_mirrored();

}  // namespace morvx

#endif  // MORVANE_SENSOR_GEOMETRY_H
