/* The public header compiles as C99 on its own, pedantic, warnings as errors. */
#include "morvane_lv/morvane_lv.h"

int (*lv_header_c99_probe)(int, int, int) = lv_init;
