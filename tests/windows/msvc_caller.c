/* A host built the way Visual C++ builds one: clang for *-pc-windows-msvc,
 * lld-link at its default flags (/SAFESEH on 32-bit), the kit's headers and
 * import libraries, no C runtime (entry "start", which returns the exit
 * code). Run where no libusbK.dll can be found, so no adapter is present.
 * Exit code: 0 when every call answered as expected, else the sum of the
 * bits below of those that did not. Built and run by check_msvc_host.sh. */
#include "morvane/morvane_c.h"
#include "morvane_lv/morvane_lv.h"
#include "tavrix/tavrix.h"

enum {
  HAND_NOT_CREATED = 1,
  ADAPTER_FOUND = 2,
  ADAPTER_OPENED = 4,
  FLAT_LIBRARY_CONNECTED = 8
};

int start(void) {
  int failed = 0;
  morvane_handle hand = morvane_create();
  if (hand == 0) failed |= HAND_NOT_CREATED;
  morvane_destroy(hand);
  if (CAN_ScanDevice() != 0) failed |= ADAPTER_FOUND;
  /* A __stdcall function with an argument: the callee pops it on 32-bit. */
  if (CAN_OpenDevice(0) != -1) failed |= ADAPTER_OPENED;
  if (lv_is_connected() != 0) failed |= FLAT_LIBRARY_CONNECTED;
  return failed;
}
