/* The public header compiles as C99 on its own, pedantic, warnings as errors. */
#include "morvane_lv/morvane_lv.h"

int lv_header_c99_probe(void) {
  int (*init)(int, int, int) = lv_init;
  void (*close_fn)(void) = lv_close;
  return init != 0 && close_fn != 0;
}
