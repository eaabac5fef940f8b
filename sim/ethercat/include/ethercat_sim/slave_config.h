// What one simulated EtherCAT slave looks like to a master.
#ifndef ETHERCAT_SIM_SLAVE_CONFIG_H
#define ETHERCAT_SIM_SLAVE_CONFIG_H

#include <cstdint>
#include <string>

namespace ecat_sim {

struct SlaveConfig {
  std::string name = "Sim hand";
  uint32_t vendor_id = 0x00000A5A;
  uint32_t product_code = 0x00010001;
  uint32_t revision = 0x00000001;
  uint32_t serial = 0x00000001;
  // The hand's images: 64-byte RxPDO (outputs), 192-byte TxPDO (inputs).
  uint16_t output_bytes = 64;
  uint16_t input_bytes = 192;
  uint16_t output_sm_start = 0x1100;
  uint16_t input_sm_start = 0x1200;
  bool eeprom_8_bytes = true;   // SII reads return 8 bytes (else 4)
  bool pdo_categories = true;   // SII lists PDOs (else only SyncManager lengths)
  bool sii_sm_lengths = true;   // SII SyncManager category gives the process-data lengths (else 0)
  bool sii_stale = false;       // SII PDOs and lengths give half of each image (CoE tells the truth)
  // A CoE mailbox (SyncManager 0 master to slave, 1 slave to master) whose
  // object dictionary assigns the PDOs of the images above (0x1C12, 0x1C13,
  // 0x1600.., 0x1A00..) and holds 0x1000, 0x1008 (the name) and 0x1018.
  bool coe = false;
  uint16_t mailbox_out_start = 0x1000;
  uint16_t mailbox_in_start = 0x1080;
  uint16_t mailbox_bytes = 128;
  bool dc = false;              // the ESC has a distributed-clock unit
  // SyncManager watchdog: in OP, no output write for this long drops the
  // slave to SAFE-OP with error 0x001B. 0 = off.
  int watchdog_ms = 0;
};

}  // namespace ecat_sim

#endif
