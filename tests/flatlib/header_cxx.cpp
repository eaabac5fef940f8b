// The public header compiles as C++11 on its own, pedantic, warnings as errors.
#include "morvane_lv/morvane_lv.h"

int (*lv_header_cxx_probe)(int, int, int) = lv_init;
