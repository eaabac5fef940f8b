// Status replies of the controller, built from a model snapshot: the joint
// reports (0x50, 0x5A and their RS485 twins 0xD0, 0xDA) and the tactile
// reports (0x70 to 0x74, 0xF0 to 0xF4).
#ifndef SIMHAND_STATUS_REPLIES_H
#define SIMHAND_STATUS_REPLIES_H

#include <cstddef>
#include <cstdint>

#include "simhand/device_model.h"

namespace simhand {

// The longest status reply (a joint report of 8 slots, a tactile report of
// five 12-byte items) fits one CAN-FD frame.
constexpr size_t kMaxStatusReply = 64;

// Writes [code, count, body...] into out and returns its length: count is
// the joint count for joint reports and the item count for tactile reports.
// 0 for a code the controller does not report. The report threads call this
// every period, so it writes into the caller's storage.
size_t build_status_reply(const ModelSnapshot& s, uint8_t code, uint8_t (&out)[kMaxStatusReply]);

// Writes the EtherCAT TxPDO image for layout code 0x00, 0x40 or 0x41 (other
// codes: the code byte and zeros).
void build_txpdo_image(const ModelSnapshot& s, uint8_t code, uint8_t (&img)[kTxpdoImageSize]);

}  // namespace simhand

#endif  // SIMHAND_STATUS_REPLIES_H
