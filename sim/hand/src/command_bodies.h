// Command bodies that CAN-FD, EtherCAT and RS485 share once the bus framing
// is taken off: mode command (0x01), motion (field-mask codes 2..11) and
// gesture (0x20).
#ifndef SIMHAND_COMMAND_BODIES_H
#define SIMHAND_COMMAND_BODIES_H

#include <cstddef>
#include <cstdint>

#include "simhand/device_model.h"

namespace simhand {

// body[0] is the request code (bit 7 already cleared), body[1] is ignored;
// `joints` items follow. Returns false when the code is not a command or the
// body is too short for its items (nothing applied then).
bool apply_command_body(DeviceModel& model, const uint8_t* body, size_t len, size_t joints);

}  // namespace simhand

#endif  // SIMHAND_COMMAND_BODIES_H
