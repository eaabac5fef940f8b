// Faults of the hand library that the simulated hand brought to light, kept
// as regression tests (they fail under ThreadSanitizer if the fault returns).
#include <gtest/gtest.h>

#include "sim_rigs.h"

using namespace simtest;
using simhand::SimHandConfig;

namespace {

// An EtherCAT master exchanges process data from the start, so TxPDO images
// are decoded while initial() runs. initial() applies the hand type's joint
// tables (set_hand_type: limit arrays, node maps, tactile channels) while the
// decoder's refresh_measured reads the same arrays on the receive thread;
// with plain stores that was a data race on every start-up. The same holds on
// CAN-FD and RS485 whenever reports flow during a re-initialisation, and
// identification there requires decoding while initial() runs.
TEST(LibraryFindings, InitialWhileProcessDataFlowsIsRaceFree) {
  EthercatRig rig(SimHandConfig::for_model_code(1), 5, 1ms);
  rig.decoding = true;  // as a real master does
  ASSERT_EQ(0, rig.hand->initial(0));
  ASSERT_EQ(0, rig.hand->set_sensor_enable(1));
  ASSERT_EQ(0, rig.hand->initial(0));
  int p = -1;
  EXPECT_TRUE(wait_until([&] { return rig.hand->get_now_position(1, &p) == 0 && p == 200; }));
}

}  // namespace
