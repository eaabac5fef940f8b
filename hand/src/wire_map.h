// Where each frame of the hand travels: the CAN-FD identifiers (the hand's
// CAN-FD node id plus an offset) and the RS485 function codes. The one place
// these numbers are spelled out.
#ifndef MORVANE_WIRE_MAP_H
#define MORVANE_WIRE_MAP_H

#include <cstdint>

namespace morvx {

// ---- CAN-FD identifiers, offsets added to the node id ----------------------------
// Host to hand.
constexpr unsigned kCanfdCommandIdOffset = 0x500;  // report selection, mode command, motion, gesture
constexpr unsigned kCanfdParamIdOffset = 0x600;    // drive-parameter requests
constexpr unsigned kCanfdOtaIdOffset = 0x9000;     // OTA data, the only extended (29-bit) identifiers
// Hand to host.
constexpr unsigned kCanfdStatusIdOffset = 0x480;      // status reports
constexpr unsigned kCanfdParamReplyIdOffset = 0x580;  // drive-parameter replies
constexpr unsigned kCanfdOtaReplyIdOffset = 0x7000;   // OTA replies
// Data bytes a CAN-FD frame carries at most.
constexpr unsigned kCanfdMaxDataBytes = 64;

// ---- RS485 function codes (host to hand; the function byte is derived from
// them, rs485_framing.h) -----------------------------------------------------------
constexpr uint16_t kRs485CommandFunction = 0x500;  // commands and status polls
constexpr uint16_t kRs485ParamFunction = 0x600;    // drive-parameter requests
constexpr uint16_t kRs485OtaFunction = 0x9000;     // OTA data

}  // namespace morvx

#endif  // MORVANE_WIRE_MAP_H
