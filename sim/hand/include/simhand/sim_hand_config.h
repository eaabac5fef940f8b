// What a simulated hand is: identity, joint count and node id. The model code
// decides the hand type and the bus the hand was built for, as the real
// controller reports it in its drive parameters.
#ifndef SIMHAND_SIM_HAND_CONFIG_H
#define SIMHAND_SIM_HAND_CONFIG_H

#include <cstdint>

namespace simhand {

struct SimHandConfig {
  uint16_t model_code = 3;         // 1..6; 0 for the 16-joint servo hand (no identity objects)
  int hand_type = 1;               // 0 or 1 (6 joints), 2 (16 joints)
  int joint_count = 6;             // 6 or 16
  uint16_t firmware_x100 = 123;    // firmware version times 100
  uint16_t direction_code = 1;     // 1: direction 0, 2: direction 1
  uint16_t serial_parts[6] = {0x1A, 0x0002, 0x0100, 0x0000, 0x0010, 0x0300};
  uint8_t node_id = 1;             // CAN-FD / RS485 node id
  bool enabled_at_power_up = false;  // servo hands start enabled and homed
  int32_t power_up_position = 200;   // where the joints stand before homing

  // A 6-joint hand whose model code fixes hand type and bus:
  // 1 EtherCAT/type 0, 2 CAN-FD/type 0, 3 CAN-FD/type 1, 4 EtherCAT/type 1,
  // 5 RS485/type 1, 6 RS485/type 0.
  static SimHandConfig for_model_code(uint16_t code, uint8_t node_id = 1) {
    SimHandConfig c;
    c.model_code = code;
    c.hand_type = (code == 3 || code == 4 || code == 5) ? 1 : 0;
    c.joint_count = 6;
    c.node_id = node_id;
    return c;
  }
  // The 16-joint hand on classic CAN: servos on nodes 1..16, 12-bit counts.
  static SimHandConfig servo_hand() {
    SimHandConfig c;
    c.model_code = 0;
    c.hand_type = 2;
    c.joint_count = 16;
    c.enabled_at_power_up = true;
    c.power_up_position = 0;
    return c;
  }
};

}  // namespace simhand

#endif  // SIMHAND_SIM_HAND_CONFIG_H
