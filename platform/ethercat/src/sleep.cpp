#include <errno.h>
#include <time.h>

#include "ethercat/master.h"

namespace ecat {

int sleep_us(int us) {
  if (us < 0) return -1;
  timespec req{us / 1000000, static_cast<long>(us % 1000000) * 1000L};
  timespec rem{};
  // Relative sleep on the monotonic clock, resumed with the remainder after a signal.
  while (clock_nanosleep(CLOCK_MONOTONIC, 0, &req, &rem) == EINTR) req = rem;
  return 0;
}

}  // namespace ecat
