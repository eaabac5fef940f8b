// Request bodies shared by the bus encoders: the common EtherCAT / CAN-FD
// body of each request type, the 7-byte classic CAN servo frame and the
// 8-byte drive-parameter request. Pure functions of the hand's state, so
// tests and benchmarks can call them without a bus.
#ifndef MORVANE_FRAME_BODIES_H
#define MORVANE_FRAME_BODIES_H

#include <array>
#include <cstdint>
#include <vector>

#include "hand_core.h"
#include "value_rules.h"

namespace morvx {

// Motion request code that the library sends: position, velocity and current
// of every joint. The code doubles as the field mask of the body.
constexpr uint8_t kMotionAllFields = 0x0B;

// RS485 poll cursor cycles through these reply codes (first two without
// tactile sensors, all five with).
constexpr std::array<uint8_t, 5> rs485_poll_codes{{0x50, 0x5A, 0x72, 0x73, 0x74}};

// Body of an EtherCAT / CAN-FD request; empty for an unknown type.
// `ethercat` selects the EtherCAT report selection (TxPDO layout codes).
std::vector<uint8_t> build_request_body(const HandCore& h, int request_type, bool ethercat);

// Motion body with the fields that `code` selects (2..11, see the field-mask
// table); an unknown code gives [code, N] with no joint fields.
std::vector<uint8_t> build_motion_body(const HandCore& h, uint8_t code);

// Classic CAN servo frame [0xAA, position, speed, current], little-endian.
std::array<uint8_t, 7> build_servo_frame(int position, int speed, int current);

// Drive-parameter request: kind 0 read, 1 write, 2 save, 3 save preparation.
// Unknown kinds give all zeros.
std::array<uint8_t, 8> build_param_request(int kind, uint16_t index, uint8_t sub_index, uint16_t value);

}  // namespace morvx

#endif  // MORVANE_FRAME_BODIES_H
