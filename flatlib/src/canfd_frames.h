// CAN-FD length codes and the adapter record the I/O thread transmits.
#ifndef MORVANE_LV_SRC_CANFD_FRAMES_H
#define MORVANE_LV_SRC_CANFD_FRAMES_H

#include <cstdint>

#include "lv_instance.h"
#include "tavrix/tavrix.h"

namespace lv {

// The smallest CAN FD length code whose length holds `length` (0 to 64;
// more is taken as 64).
uint8_t canfd_dlc_for_length(unsigned length);
// Data length of a length code 0 to 15; -1 for any other code.
int canfd_length_for_dlc(uint8_t dlc);
// The transmit record of a queued frame: CAN-FD, no bit-rate switch,
// standard id, data padded with zeros.
void build_tx_record(const CanfdTxEntry& entry, CANFD_Frame* out);
// The init record for 1 Mbit/s nominal and 5 Mbit/s data.
CANFD_InitConfig kit_canfd_init_config();

}  // namespace lv

#endif  // MORVANE_LV_SRC_CANFD_FRAMES_H
