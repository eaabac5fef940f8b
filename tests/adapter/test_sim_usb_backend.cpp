// The simulated backend of the USB layer keeps the layer's contract as the
// real backends do: the tests of everything above it rely on that.
#include "sim_bus_rig.h"
#include "usb_layer_contract.h"

namespace tavrix_test {

INSTANTIATE_TYPED_TEST_SUITE_P(Simulated, UsbLayerContract, SimBusRig<SimulatedBackend>);

}  // namespace tavrix_test
