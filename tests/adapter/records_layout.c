/* Record layout check compiled as C99 (also in a -m32 build): the header's
 * own size checks fail to compile on a wrong layout; the offsets are checked
 * at run time so this builds without C11. Exit status 0 = layout right. */
#include <stddef.h>
#include <stdio.h>

#include "tavrix/tavrix.h"

#define CHECK(cond)                                 \
  do {                                              \
    if (!(cond)) {                                  \
      printf("layout check failed: %s\n", #cond); \
      return 1;                                     \
    }                                               \
  } while (0)

int main(void) {
  CHECK(sizeof(CAN_Frame) == 24 && offsetof(CAN_Frame, data) == 16 && offsetof(CAN_Frame, flags) == 8);
  CHECK(sizeof(CANFD_Frame) == 80 && offsetof(CANFD_Frame, data) == 16);
  CHECK(sizeof(CAN_InitConfig) == 12 && offsetof(CAN_InitConfig, prescaler) == 4 &&
        offsetof(CAN_InitConfig, reserved) == 11);
  CHECK(sizeof(CANFD_InitConfig) == 20 && offsetof(CANFD_InitConfig, prescaler) == 8 &&
        offsetof(CANFD_InitConfig, data_prescaler) == 13 && offsetof(CANFD_InitConfig, fd_records) == 19);
  CHECK(sizeof(CAN_DevInfo) == 160 && offsetof(CAN_DevInfo, date) == 128);
  CHECK(sizeof(CAN_Status) == 8 && offsetof(CAN_Status, time_stamp) == 4);
  printf("record layout ok (%u-bit)\n", (unsigned)(sizeof(void*) * 8));
  return 0;
}
