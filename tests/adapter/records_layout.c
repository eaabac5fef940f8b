/* Record layout check, compiled as C99 for the native target and, where a
 * -m32 compiler exists, for a 32-bit one. Every check is a constant
 * expression: a wrong size or offset fails the build, so nothing has to run
 * on a kernel that may not start 32-bit programs. */
#include <stddef.h>

#include "tavrix/tavrix.h"

/* C99 has no _Static_assert: an array of negative size is the error. */
#define LAYOUT_CHECK(name, cond) typedef char layout_check_##name[(cond) ? 1 : -1]

LAYOUT_CHECK(can_frame, sizeof(CAN_Frame) == 24 && offsetof(CAN_Frame, data) == 16 &&
                            offsetof(CAN_Frame, flags) == 8);
LAYOUT_CHECK(canfd_frame, sizeof(CANFD_Frame) == 80 && offsetof(CANFD_Frame, data) == 16);
LAYOUT_CHECK(can_init, sizeof(CAN_InitConfig) == 12 && offsetof(CAN_InitConfig, prescaler) == 4 &&
                           offsetof(CAN_InitConfig, reserved) == 11);
LAYOUT_CHECK(canfd_init, sizeof(CANFD_InitConfig) == 20 && offsetof(CANFD_InitConfig, prescaler) == 8 &&
                             offsetof(CANFD_InitConfig, data_prescaler) == 13 &&
                             offsetof(CANFD_InitConfig, fd_records) == 19);
LAYOUT_CHECK(dev_info, sizeof(CAN_DevInfo) == 160 && offsetof(CAN_DevInfo, date) == 128);
LAYOUT_CHECK(status, sizeof(CAN_Status) == 8 && offsetof(CAN_Status, time_stamp) == 4);

/* Keeps the translation unit non-empty under -Wpedantic. */
int tavrix_records_layout_checked(void);
int tavrix_records_layout_checked(void) { return 1; }
