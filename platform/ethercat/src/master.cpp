// Master context: port, slave table, and bus start-up (config_init).
#include <algorithm>
#include <cstdio>

#include "byte_order.h"
#include "esc_registers.h"
#include "master_impl.h"

namespace ecat {

void Master::Impl::reset_slaves() {
  slave_count = 0;
  for (SlaveRecord& s : slaves) s = SlaveRecord();
  for (SiiInfo& s : sii) s = SiiInfo();
  group = GroupRecord();
  image = nullptr;
  image_used = 0;
  segments.clear();
  abandon_process_data();
  std::fill(mailbox_out_counter.begin(), mailbox_out_counter.end(), 0);
  std::fill(mailbox_in_counter.begin(), mailbox_in_counter.end(), 0);
  sdo_errors.clear();
}

Master::Master() : impl_(new Impl) {}
Master::~Master() { close(); }

int Master::open(const char* ifname) {
  impl_->abandon_process_data();
  return impl_->socket.open(ifname) ? 1 : 0;
}

void Master::close() {
  impl_->abandon_process_data();
  impl_->socket.close();
}

bool Master::is_open() const { return impl_->socket.is_open(); }
int Master::slave_count() const { return impl_->slave_count; }

SlaveRecord& Master::slave(int i) {
  return (i < 0 || i > impl_->slave_count) ? impl_->slaves[0] : impl_->slaves[static_cast<size_t>(i)];
}
const SlaveRecord& Master::slave(int i) const {
  return (i < 0 || i > impl_->slave_count) ? impl_->slaves[0] : impl_->slaves[static_cast<size_t>(i)];
}
GroupRecord& Master::group() { return impl_->group; }
const GroupRecord& Master::group() const { return impl_->group; }
uint64_t Master::dropped_frames() const { return impl_->dropped; }

namespace {

uint32_t sii_u32(Master::Impl& m, uint16_t station, bool eight, uint16_t word) {
  uint8_t b[8] = {};
  return sii_read(m, station, eight, word, b) > 0 ? get_le32(b) : 0;
}

// Active ports: a port counts when its DL status pair reads "open and
// communication established" (binary 10).
int count_active_ports(uint16_t dl_status) {
  int n = 0;
  for (int port = 0; port < 4; ++port) {
    if (((dl_status >> (8 + 2 * port)) & 0x3) == 0x2) ++n;
  }
  return n;
}

// Broadcast defaults so that a bus left configured by an earlier run starts clean.
void reset_bus_defaults(Master::Impl& m) {
  uint8_t zeros[64] = {};
  write_u8(m, kBwr, 0, reg::kLoopControl, 0, kTimeoutConfigUs);
  write_u16(m, kBwr, 0, reg::kEventMask, 0x0004, kTimeoutConfigUs);
  transact(m, kBwr, 0, reg::kRxErrors, zeros, 8, kTimeoutConfigUs);
  transact(m, kBwr, 0, reg::kFmmu0, zeros, 16 * kMaxFmmus, kTimeoutConfigUs);
  transact(m, kBwr, 0, reg::kSm0, zeros, 8 * kMaxSyncManagers, kTimeoutConfigUs);
  write_u8(m, kBwr, 0, reg::kDcSyncActivation, 0, kTimeoutConfigUs);
  transact(m, kBwr, 0, reg::kDcSystemTime, zeros, 4, kTimeoutConfigUs);
  write_u16(m, kBwr, 0, reg::kDcSpeedStart, 0x1000, kTimeoutConfigUs);
  write_u16(m, kBwr, 0, reg::kDcFilterDepth, 0x0C00, kTimeoutConfigUs);
  write_u8(m, kBwr, 0, reg::kDlAlias, 0, kTimeoutConfigUs);
  write_u16(m, kBwr, 0, reg::kAlControl, kStateInit | kStateAck, kTimeoutConfigUs);
  // Take the EEPROM from the PDI (force), then keep it on the EtherCAT side.
  write_u8(m, kBwr, 0, reg::kEepromConfig, 0x02, kTimeoutConfigUs);
  write_u8(m, kBwr, 0, reg::kEepromConfig, 0x00, kTimeoutConfigUs);
}

void configure_slave(Master& master, Master::Impl& m, int i) {
  SlaveRecord& s = m.slaves[static_cast<size_t>(i)];
  const uint16_t adp = position_address(i);
  read_u16(m, kAprd, adp, reg::kPdiControl, &s.pdi_type, kTimeoutConfigUs);
  const uint16_t station = static_cast<uint16_t>(kNodeOffset + i);
  write_u16(m, kApwr, adp, reg::kStationAddress, station, kTimeoutConfigUs);
  // The first slave drops non-EtherCAT frames; 2 bytes also set loop control to auto.
  write_u16(m, kApwr, adp, reg::kDlControl, i == 1 ? 1 : 0, kTimeoutConfigUs);
  uint16_t readback = 0;
  // Without an answer keep the address we wrote: 0 would address every
  // slave that has no station address yet.
  if (read_u16(m, kAprd, adp, reg::kStationAddress, &readback, kTimeoutConfigUs) <= 0) readback = station;
  s.config_address = readback;
  read_u16(m, kFprd, station, reg::kStationAlias, &s.alias, kTimeoutConfigUs);
  uint16_t eeprom = 0;
  read_u16(m, kFprd, station, reg::kEepromControl, &eeprom, kTimeoutConfigUs);
  s.eeprom_8_bytes = (eeprom & reg::kEepromRead8Bytes) != 0;

  s.vendor_id = sii_u32(m, station, s.eeprom_8_bytes, sii::kVendorId);
  s.product_code = sii_u32(m, station, s.eeprom_8_bytes, sii::kProductCode);
  s.revision = sii_u32(m, station, s.eeprom_8_bytes, sii::kRevision);
  s.serial = sii_u32(m, station, s.eeprom_8_bytes, sii::kSerial);
  const uint32_t mbx_out = sii_u32(m, station, s.eeprom_8_bytes, sii::kMailboxOut);
  s.mailbox_out_offset = static_cast<uint16_t>(mbx_out);
  s.mailbox_out_length = static_cast<uint16_t>(mbx_out >> 16);
  if (s.mailbox_out_length > 0) {
    const uint32_t mbx_in = sii_u32(m, station, s.eeprom_8_bytes, sii::kMailboxIn);
    s.mailbox_in_offset = static_cast<uint16_t>(mbx_in);
    s.mailbox_in_length = static_cast<uint16_t>(mbx_in >> 16);
    if (s.mailbox_in_length == 0) s.mailbox_in_length = s.mailbox_out_length;
    s.mailbox_protocols = static_cast<uint16_t>(sii_u32(m, station, s.eeprom_8_bytes, sii::kMailboxProtocols));
  }

  uint16_t features = 0;
  read_u16(m, kFprd, station, reg::kEscFeatures, &features, kTimeoutConfigUs);
  s.has_dc = (features & reg::kEscFeatureDc) != 0;
  read_u16(m, kFprd, station, reg::kDlStatus, &s.dl_status, kTimeoutConfigUs);
  s.topology = count_active_ports(s.dl_status);
  uint8_t ports = 0;
  transact(m, kFprd, station, reg::kPortDescriptor, &ports, 1, kTimeoutConfigUs);
  s.port_types = ports;

  master.state_check(i, kStateInit, kTimeoutStateUs);

  if (s.mailbox_out_length > 0) {
    // Default mailbox SyncManagers, overridden by the SII's SyncManager category.
    s.sm[0] = SyncManagerConfig{s.mailbox_out_offset, s.mailbox_out_length, 0x26, 0x01, 1};
    s.sm[1] = SyncManagerConfig{s.mailbox_in_offset, s.mailbox_in_length, 0x22, 0x01, 2};
  }
  s.sm[2].type = 3;
  s.sm[3].type = 4;

  // Identical slaves share one SII layout; read it once.
  SiiInfo& info = m.sii[static_cast<size_t>(i)];
  bool copied = false;
  for (int k = 1; k < i; ++k) {
    const SlaveRecord& o = m.slaves[static_cast<size_t>(k)];
    if (o.vendor_id == s.vendor_id && o.product_code == s.product_code && o.revision == s.revision) {
      info = m.sii[static_cast<size_t>(k)];
      copied = true;
      break;
    }
  }
  if (!copied) {
    std::vector<uint8_t> area;
    sii_read_categories(m, station, s.eeprom_8_bytes, &area);
    parse_sii_categories(area.data(), area.size(), &info);
  }
  s.coe_details = info.coe_details;
  s.general_flags = info.flags;
  if (info.has_strings && !info.first_string.empty()) {
    s.name = info.first_string;
  } else {
    char buf[48];
    std::snprintf(buf, sizeof buf, "? M:%08x I:%08x", static_cast<unsigned>(s.vendor_id),
                  static_cast<unsigned>(s.product_code));
    s.name = buf;
  }
  for (int k = 0; k < info.sm_count; ++k) {
    const SiiSyncManager& src = info.sm[k];
    SyncManagerConfig& dst = s.sm[k];
    dst.start = src.start;
    dst.length = src.length;
    dst.control = src.control;
    dst.enable = src.enable;
    if (src.type != 0) dst.type = src.type;
  }

  if (s.mailbox_out_length > 0) {
    uint8_t regs[16];
    for (int k = 0; k < 2; ++k) {
      put_le16(regs + 8 * k, s.sm[k].start);
      put_le16(regs + 8 * k + 2, s.sm[k].length);
      regs[8 * k + 4] = s.sm[k].control;
      regs[8 * k + 5] = 0;
      regs[8 * k + 6] = s.sm[k].length > 0 ? (s.sm[k].enable | 0x01) : 0;
      regs[8 * k + 7] = 0;
    }
    transact(m, kFpwr, station, reg::kSm0, regs, sizeof regs, kTimeoutConfigUs);
  }
  // Some slaves need the EEPROM on the PDI side before they leave INIT.
  write_u8(m, kFpwr, station, reg::kEepromConfig, 0x01, kTimeoutConfigUs);
  write_u16(m, kFpwr, station, reg::kAlControl, kStatePreOp | kStateAck, kTimeoutConfigUs);
}

}  // namespace

int Master::config_init() {
  Impl& m = *impl_;
  m.reset_slaves();
  if (!m.socket.is_open()) return -2;
  write_u8(m, kBwr, 0, reg::kDlAlias, 0, kTimeoutConfigUs);
  // INIT with error acknowledge, twice: some old slaves miss the first.
  write_u16(m, kBwr, 0, reg::kAlControl, kStateInit | kStateAck, kTimeoutConfigUs);
  write_u16(m, kBwr, 0, reg::kAlControl, kStateInit | kStateAck, kTimeoutConfigUs);
  uint16_t type = 0;
  const int wkc = read_u16(m, kBrd, 0, reg::kType, &type, kTimeoutSafeUs);
  if (wkc <= 0) return wkc;
  if (wkc > kMaxSlaves) return -4;
  reset_bus_defaults(m);
  m.slave_count = wkc;
  for (int i = 1; i <= wkc; ++i) configure_slave(*this, m, i);
  return wkc;
}

}  // namespace ecat
