// Sleeps on Windows. Sleep() wakes on the system timer, which ticks every
// 15.6 ms unless a process asks for more; each sleep of a millisecond or more
// raises the resolution to 1 ms for its own duration, so the 5 ms between
// cycles stays 5 ms (plus at most one tick) while the cycle runs, and the
// machine returns to its default once it stops. Shorter waits (register
// polls) spin on the performance counter and give up the processor between
// looks.
#include <windows.h>
#include <mmsystem.h>

#include "ethercat/master.h"
#include "raw_socket.h"

namespace ecat {

int sleep_us(int us) {
  if (us < 0) return -1;
  if (us >= 1000) {
    const bool raised = timeBeginPeriod(1) == TIMERR_NOERROR;
    Sleep(static_cast<DWORD>(us / 1000));
    if (raised) timeEndPeriod(1);
    const int rest_us = us % 1000;
    if (rest_us == 0) return 0;
    us = rest_us;
  }
  const int64_t end_ns = monotonic_ns() + static_cast<int64_t>(us) * 1000;
  while (monotonic_ns() < end_ns) SwitchToThread();
  return 0;
}

}  // namespace ecat
