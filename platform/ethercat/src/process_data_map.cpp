// Process-data mapping of group 0: SyncManager lengths from the CoE PDO
// assignment or the SII PDO categories, one byte-wise FMMU per process-data
// SyncManager, outputs first.
#include <cstring>

#include "byte_order.h"
#include "esc_registers.h"
#include "master_impl.h"

namespace ecat {

namespace {

const uint8_t kSmTypeOutputs = 3;
const uint8_t kSmTypeInputs = 4;
const uint8_t kFmmuRead = 1;
const uint8_t kFmmuWrite = 2;

// Fills SyncManager lengths and the slave's bit counts from its PDOs. A slave
// without PDO categories keeps the SII SyncManager lengths of its process-data
// SyncManagers, so fixed-size devices that list no PDOs still map.
void size_process_data(SlaveRecord& s, const SiiInfo& info) {
  for (int k = 0; k < kMaxSyncManagers; ++k) {
    SyncManagerConfig& sm = s.sm[k];
    if (info.has_rx_pdo && info.rx_bits_per_sm[k] > 0) {
      sm.type = kSmTypeOutputs;
      sm.length = static_cast<uint16_t>((info.rx_bits_per_sm[k] + 7) / 8);
    } else if (info.has_tx_pdo && info.tx_bits_per_sm[k] > 0) {
      sm.type = kSmTypeInputs;
      sm.length = static_cast<uint16_t>((info.tx_bits_per_sm[k] + 7) / 8);
    } else if ((sm.type == kSmTypeOutputs && info.has_rx_pdo) || (sm.type == kSmTypeInputs && info.has_tx_pdo)) {
      sm.length = 0;  // listed PDOs assign nothing to this SyncManager
    }
  }
  uint32_t out_sm_bytes = 0, in_sm_bytes = 0;
  for (int k = 0; k < kMaxSyncManagers; ++k) {
    const SyncManagerConfig& sm = s.sm[k];
    if (sm.start == 0) continue;
    if (sm.type == kSmTypeOutputs) out_sm_bytes += sm.length;
    if (sm.type == kSmTypeInputs) in_sm_bytes += sm.length;
  }
  s.output_bits = 8 * out_sm_bytes;
  s.input_bits = 8 * in_sm_bytes;
  if (info.has_rx_pdo) {
    uint32_t bits = 0;
    for (int k = 0; k < 8; ++k) bits += info.rx_bits_per_sm[k];
    s.output_bits = bits;
  }
  if (info.has_tx_pdo) {
    uint32_t bits = 0;
    for (int k = 0; k < 8; ++k) bits += info.tx_bits_per_sm[k];
    s.input_bits = bits;
  }
  // Bit-wise mapping of slaves with fewer than 8 bits is not supported: they
  // get no process data.
  // The byte counts are what the FMMUs map: the process-data SyncManagers.
  s.output_bytes = s.output_bits >= 8 ? out_sm_bytes : 0;
  s.input_bytes = s.input_bits >= 8 ? in_sm_bytes : 0;
}

// Sizes from the CoE PDO assignment: SyncManager 2 carries the outputs,
// SyncManager 3 the inputs.
void size_from_coe(SlaveRecord& s, uint32_t output_bits, uint32_t input_bits) {
  s.sm[2].type = kSmTypeOutputs;
  s.sm[2].length = static_cast<uint16_t>((output_bits + 7) / 8);
  s.sm[3].type = kSmTypeInputs;
  s.sm[3].length = static_cast<uint16_t>((input_bits + 7) / 8);
  s.output_bits = output_bits;
  s.input_bits = input_bits;
  s.output_bytes = output_bits >= 8 ? s.sm[2].length : 0;
  s.input_bytes = input_bits >= 8 ? s.sm[3].length : 0;
}

void program_sync_managers(Master::Impl& m, const SlaveRecord& s) {
  const bool has_mailbox = s.mailbox_out_length > 0;
  for (int k = 0; k < kMaxSyncManagers; ++k) {
    const SyncManagerConfig& sm = s.sm[k];
    if (sm.start == 0 || (k < 2 && has_mailbox)) continue;
    uint8_t regs[8];
    put_le16(regs, sm.start);
    put_le16(regs + 2, sm.length);
    regs[4] = sm.control;
    regs[5] = 0;
    regs[6] = sm.length > 0 ? static_cast<uint8_t>(sm.enable | 0x01) : static_cast<uint8_t>(sm.enable & ~0x01);
    regs[7] = 0;
    transact(m, kFpwr, s.config_address, static_cast<uint16_t>(reg::kSm0 + 8 * k), regs, sizeof regs,
             kTimeoutConfigUs);
  }
}

// Maps every SyncManager of `type` of slave `s` at the logical cursor.
// Returns the bytes mapped.
uint32_t map_direction(Master::Impl& m, SlaveRecord& s, uint8_t type, uint32_t logical) {
  uint32_t mapped = 0;
  for (int k = 0; k < kMaxSyncManagers; ++k) {
    const SyncManagerConfig& sm = s.sm[k];
    if (sm.type != type || sm.start == 0 || sm.length == 0) continue;
    if (s.fmmus_used >= kMaxFmmus) break;
    uint8_t f[16] = {};
    put_le32(f, logical + mapped);
    put_le16(f + 4, sm.length);
    f[6] = 0;  // logical start bit
    f[7] = 7;  // logical stop bit
    put_le16(f + 8, sm.start);
    f[10] = 0;
    f[11] = type == kSmTypeOutputs ? kFmmuWrite : kFmmuRead;
    f[12] = 1;  // active
    transact(m, kFpwr, s.config_address, static_cast<uint16_t>(reg::kFmmu0 + 16 * s.fmmus_used), f, sizeof f,
             kTimeoutConfigUs);
    ++s.fmmus_used;
    mapped += sm.length;
  }
  return mapped;
}

// Cuts the image into LRW datagrams of at most one frame each, the first one
// short enough to share its frame with the reference-clock datagram.
void split_segments(Master::Impl& m, uint32_t total) {
  m.segments.clear();
  uint32_t offset = 0;
  while (offset < total) {
    const uint32_t room = static_cast<uint32_t>(
        m.segments.empty() ? kMaxDatagramDataBytes - kDcDatagramBytes : kMaxDatagramDataBytes);
    Master::Impl::Segment seg;
    seg.offset = offset;
    seg.length = static_cast<uint16_t>(total - offset < room ? total - offset : room);
    m.segments.push_back(seg);
    offset += seg.length;
  }
}

// Datagrams of the cycle that touch [start, start + bytes) of the image: a
// slave answers each of them, so each adds to the expected working counter.
uint16_t segments_touched(const Master::Impl& m, uint32_t start, uint32_t bytes) {
  uint16_t n = 0;
  for (const Master::Impl::Segment& seg : m.segments) {
    if (start < seg.offset + seg.length && seg.offset < start + bytes) ++n;
  }
  return n;
}

}  // namespace

int Master::config_map_group(uint8_t* image, size_t image_bytes) {
  Impl& m = *impl_;
  // Distributed clocks may have been set up before the mapping.
  const bool has_dc = m.group.has_dc;
  const uint16_t dc_reference = m.group.dc_reference;
  m.group = GroupRecord();
  m.group.has_dc = has_dc;
  m.group.dc_reference = dc_reference;
  m.image = nullptr;
  m.image_used = 0;
  m.segments.clear();
  m.abandon_process_data();
  if (image == nullptr || m.slave_count <= 0) return 0;

  // Sizes first, so that nothing is programmed for a bus that does not fit.
  uint32_t total = 0;
  for (int i = 1; i <= m.slave_count; ++i) {
    SlaveRecord& s = m.slaves[static_cast<size_t>(i)];
    state_check(i, kStatePreOp, kTimeoutStateUs);
    // CoE first; the SII when CoE gives nothing, does not answer or aborts.
    uint32_t coe_out = 0, coe_in = 0;
    s.pdo_from_coe = (s.mailbox_protocols & sii::kMailboxCoe) != 0 &&
                     read_coe_pdo_bits(*this, i, &coe_out, &coe_in) && (coe_out > 0 || coe_in > 0) &&
                     (coe_out + 7) / 8 <= 0xFFFF && (coe_in + 7) / 8 <= 0xFFFF;
    if (s.pdo_from_coe) {
      size_from_coe(s, coe_out, coe_in);
    } else {
      size_process_data(s, m.sii[static_cast<size_t>(i)]);
    }
    s.outputs = nullptr;
    s.inputs = nullptr;
    s.fmmus_used = 0;
    total += s.output_bytes + s.input_bytes;
  }
  if (total == 0 || total > image_bytes || total > kMaxGroupImageBytes) return 0;

  std::memset(image, 0, total);
  uint32_t cursor = 0;
  for (int i = 1; i <= m.slave_count; ++i) {
    SlaveRecord& s = m.slaves[static_cast<size_t>(i)];
    program_sync_managers(m, s);
    if (s.output_bytes == 0) continue;
    const uint32_t n = map_direction(m, s, kSmTypeOutputs, cursor);
    if (n == 0) continue;
    s.outputs = image + cursor;
    cursor += n;
  }
  const uint32_t output_bytes = cursor;
  for (int i = 1; i <= m.slave_count; ++i) {
    SlaveRecord& s = m.slaves[static_cast<size_t>(i)];
    if (s.input_bytes == 0) continue;
    const uint32_t n = map_direction(m, s, kSmTypeInputs, cursor);
    if (n == 0) continue;
    s.inputs = image + cursor;
    cursor += n;
  }

  // One LRW per segment; a slave whose data spans a boundary answers in both.
  split_segments(m, cursor);
  for (int i = 1; i <= m.slave_count; ++i) {
    const SlaveRecord& s = m.slaves[static_cast<size_t>(i)];
    if (s.outputs != nullptr) {
      m.group.outputs_wkc = static_cast<uint16_t>(
          m.group.outputs_wkc + segments_touched(m, static_cast<uint32_t>(s.outputs - image), s.output_bytes));
    }
    if (s.inputs != nullptr) {
      m.group.inputs_wkc = static_cast<uint16_t>(
          m.group.inputs_wkc + segments_touched(m, static_cast<uint32_t>(s.inputs - image), s.input_bytes));
    }
  }
  m.group.frames = static_cast<uint16_t>(m.segments.size());

  m.group.logical_start = 0;
  m.group.output_bytes = output_bytes;
  m.group.outputs = output_bytes > 0 ? image : nullptr;
  m.group.input_bytes = cursor - output_bytes;
  m.group.inputs = cursor > output_bytes ? image + output_bytes : nullptr;
  m.image = image;
  m.image_used = cursor;

  SlaveRecord& all = m.slaves[0];
  all.outputs = m.group.outputs;
  all.output_bytes = m.group.output_bytes;
  all.output_bits = 8 * m.group.output_bytes;
  all.inputs = m.group.inputs;
  all.input_bytes = m.group.input_bytes;
  all.input_bits = 8 * m.group.input_bytes;

  for (int i = 1; i <= m.slave_count; ++i) {
    const uint16_t station = m.slaves[static_cast<size_t>(i)].config_address;
    write_u8(m, kFpwr, station, reg::kEepromConfig, 0x01, kTimeoutConfigUs);
    write_u16(m, kFpwr, station, reg::kAlControl, kStateSafeOp, kTimeoutConfigUs);
  }
  return static_cast<int>(cursor);
}

}  // namespace ecat
