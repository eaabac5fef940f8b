// The C header compiles as C++11 too (pedantic, warnings as errors), with the
// functions given C linkage.
#include "morvane/morvane_c.h"

#include <type_traits>

static_assert(std::is_pointer<morvane_handle>::value, "opaque handle");
static_assert(std::is_pointer<morvane_rs485_shared_bus_handle>::value, "opaque handle");
static_assert(std::is_same<decltype(&morvane_get_finger_pressure), int (*)(morvane_handle, int, float**, int*)>::value,
              "array getter signature");
