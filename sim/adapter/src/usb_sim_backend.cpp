// The simulated USB bus as the USB layer's backend (simulator builds and the
// in-process tests).
#include "simadapter/sim_adapter.h"

namespace kitusb {
UsbBackend& backend() { return simadapter::SimUsbBackend::instance(); }
}  // namespace kitusb
