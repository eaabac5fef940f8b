// One simulated EtherCAT Slave Controller: register and RAM space, SII
// EEPROM, AL state machine, SyncManagers and FMMUs for logical access, and
// the hand application behind them (outputs applied in OP, inputs published).
// Not thread-safe; SimBus serialises access.
#ifndef ETHERCAT_SIM_ESC_MODEL_H
#define ETHERCAT_SIM_ESC_MODEL_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ethercat_sim/coe_mailbox.h"
#include "ethercat_sim/slave_config.h"

namespace ecat_sim {

class EscModel {
 public:
  // `last` tells whether the slave ends the line (its DL status shows one open port).
  EscModel(const SlaveConfig& config, bool last);

  // Processes one datagram as it passes this slave: reads or writes memory,
  // advances an auto-increment address and adds to the working counter.
  // `address` holds ADP in the low 16 bits and ADO in the high, or the
  // logical address.
  void process(uint8_t cmd, uint32_t* address, uint8_t* data, uint16_t len, uint16_t* wkc);

  // Called after each whole frame: the application takes new outputs (in OP).
  void end_frame();
  // Runs the SyncManager watchdog; called after frames and between them.
  void tick();

  // Application side.
  const std::vector<uint8_t>& applied_outputs() const { return applied_outputs_; }
  uint64_t output_updates() const { return output_updates_; }
  // The last kOutputChangesKept images the application took that differed
  // from the one before, oldest first: every command that reached the hand,
  // however briefly it stood.
  const std::vector<std::vector<uint8_t>>& output_changes() const { return output_changes_; }
  static const size_t kOutputChangesKept = 64;
  void set_inputs(const uint8_t* data, size_t len);
  // Puts the slave into SAFE-OP with the error bit and `code`, as an SM
  // watchdog or a local fault does.
  void drop_to_safe_op(uint16_t code);

  uint16_t al_status() const { return read16(0x0130); }
  uint16_t al_status_code() const { return read16(0x0134); }
  uint16_t read16(uint16_t address) const;
  const std::vector<uint16_t>& sii() const { return sii_; }
  // The CoE mailbox (used only with SlaveConfig::coe), for faults on command.
  CoeMailbox& mailbox() { return mailbox_; }
  const CoeMailbox& mailbox() const { return mailbox_; }

  static const size_t kMemoryBytes = 0x3000;  // 4 KiB registers + 8 KiB RAM

 private:
  bool physical_in_range(uint32_t ado, uint16_t len) const { return ado + len <= kMemoryBytes; }
  void read_physical(uint16_t ado, uint8_t* data, uint16_t len, bool or_into);
  void write_physical(uint16_t ado, const uint8_t* data, uint16_t len);
  bool logical(uint8_t cmd, uint32_t address, uint8_t* data, uint16_t len, bool* read_hit, bool* write_hit);
  void al_control(uint16_t value);
  void set_al(uint16_t state, uint16_t code);
  uint16_t check_safe_op() const;
  bool mailbox_configured() const;
  void eeprom_command();
  void dc_latch();
  // Mailbox SyncManagers as the master programmed them: 0 receives, 1 sends.
  bool mailbox_sm(int n, uint16_t* start, uint16_t* len) const;
  void mailbox_written(uint16_t ado, uint16_t len);
  // False when a read touches an empty send mailbox (the ESC refuses it).
  bool mailbox_readable(uint16_t ado, uint16_t len) const;
  void mailbox_read(uint16_t ado, uint16_t len);
  void fill_send_mailbox();
  uint64_t local_time_ns() const;

  SlaveConfig config_;
  std::vector<uint8_t> mem_;
  std::vector<uint16_t> sii_;
  CoeMailbox mailbox_;
  std::vector<uint8_t> applied_outputs_;
  uint64_t output_updates_ = 0;
  std::vector<std::vector<uint8_t>> output_changes_;
  bool outputs_written_ = false;
  uint64_t time_base_ns_ = 0;
  uint64_t last_output_write_ns_ = 0;
};

// Builds the SII image for `config` (words, little-endian in the EEPROM).
std::vector<uint16_t> build_sii(const SlaveConfig& config);

// Processes one received frame in place as it passes `slaves` in order.
// Returns false (do not answer) for anything that is not a well-formed
// EtherCAT command frame. Sets `logical` when the frame carried process data.
bool process_frame(std::vector<EscModel>& slaves, uint8_t* frame, size_t len, bool* logical);

}  // namespace ecat_sim

#endif
