// Sleeps on Windows. Sleep() wakes on the system timer, which ticks every
// 15.6 ms unless a process asks for more; each sleep of a millisecond or more
// raises the resolution to 1 ms for its own duration (timeBeginPeriod /
// timeEndPeriod), so the 5 ms between cycles stays 5 ms (plus at most one
// tick) while the cycle runs, and the machine returns to its default once it
// stops. Shorter waits (register polls) spin on the performance counter and
// give up the processor between looks.
//
// winmm.dll is loaded at run time, so the libraries that link the master
// import only KERNEL32 and msvcrt.
#include <windows.h>

#include "ethercat/master.h"
#include "kitdll/dll_binding.h"
#include "raw_socket.h"

namespace ecat {
namespace {

using TimerPeriodCall = UINT(WINAPI*)(UINT period_ms);

struct TimerResolution {
  TimerPeriodCall begin = nullptr;
  TimerPeriodCall end = nullptr;
};

const TimerResolution& timer_resolution() {
  static const TimerResolution calls = [] {
    TimerResolution t;
    HMODULE winmm = LoadLibraryA("winmm.dll");
    if (winmm == nullptr) return t;
    if (!kitdll::Binder(winmm).bind("timeBeginPeriod", &t.begin).bind("timeEndPeriod", &t.end).complete())
      t = TimerResolution{};
    return t;
  }();
  return calls;
}

constexpr UINT kNoError = 0;  // TIMERR_NOERROR

}  // namespace

int sleep_us(int us) {
  if (us < 0) return -1;
  if (us >= 1000) {
    const TimerResolution& timer = timer_resolution();
    const bool raised = timer.begin != nullptr && timer.begin(1) == kNoError;
    Sleep(static_cast<DWORD>(us / 1000));
    if (raised) timer.end(1);
    us %= 1000;
    if (us == 0) return 0;
  }
  const int64_t end_ns = monotonic_ns() + static_cast<int64_t>(us) * 1000;
  while (monotonic_ns() < end_ns) SwitchToThread();
  return 0;
}

}  // namespace ecat
