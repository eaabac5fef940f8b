/* Uses all three libraries through their C interfaces. */
#include <morvane/morvane_c.h>
#include <morvane_lv/morvane_lv.h>
#include <stdio.h>
#include <tavrix/tavrix.h>

int main(void) {
  morvane_handle hand = morvane_create();
  int total = 0, active = 0;
  if (!hand || morvane_get_dof(hand, &total, &active) != 0) return 1;
  morvane_destroy(hand);
  int adapters = CAN_ScanDevice();
  if (adapters != 0) return 2; /* no adapter on a build machine */
  if (lv_is_connected() != 0) return 3;
  printf("c: dof %d/%d, adapters %d\n", total, active, adapters);
  return 0;
}
