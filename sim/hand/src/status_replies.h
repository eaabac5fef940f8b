// Status replies of the controller, built from a model snapshot: the joint
// reports (0x50, 0x5A and their RS485 twins 0xD0, 0xDA) and the tactile
// reports (0x70 to 0x74, 0xF0 to 0xF4).
#ifndef SIMHAND_STATUS_REPLIES_H
#define SIMHAND_STATUS_REPLIES_H

#include <cstdint>
#include <vector>

#include "simhand/device_model.h"

namespace simhand {

// [code, count, body...]: count is the joint count for joint reports and the
// item count for tactile reports. Empty for a code the controller does not
// report.
std::vector<uint8_t> build_status_reply(const ModelSnapshot& s, uint8_t code);

// EtherCAT TxPDO image of 192 bytes for layout code 0x00, 0x40 or 0x41
// (other codes: the code byte and zeros).
std::vector<uint8_t> build_txpdo_image(const ModelSnapshot& s, uint8_t code);

}  // namespace simhand

#endif  // SIMHAND_STATUS_REPLIES_H
