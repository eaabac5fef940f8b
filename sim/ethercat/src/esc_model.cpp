// Register semantics, working-counter rules and the AL state machine of one
// simulated ESC.
#include <time.h>

#include <algorithm>
#include <cstring>

#include "ethercat_sim/esc_model.h"
#include "le_bytes.h"

namespace ecat_sim {

namespace {

enum : uint8_t {
  kNop = 0, kAprd = 1, kApwr = 2, kAprw = 3, kFprd = 4, kFpwr = 5, kFprw = 6, kBrd = 7, kBwr = 8, kBrw = 9,
  kLrd = 10, kLwr = 11, kLrw = 12, kArmw = 13, kFrmw = 14,
};

const uint16_t kInit = 1, kPreOp = 2, kBoot = 3, kSafeOp = 4, kOp = 8, kErrorBit = 0x10;
const uint8_t kMailboxFull = 0x08;  // SyncManager status bit 3
const uint16_t kCodeInvalidChange = 0x0011, kCodeUnknownState = 0x0012, kCodeNoBoot = 0x0013,
               kCodeBadMailbox = 0x0016,
               kCodeBadOutputs = 0x001D, kCodeBadInputs = 0x001E;

bool overlaps(uint32_t a, uint32_t alen, uint32_t b, uint32_t blen) { return a < b + blen && b < a + alen; }

// Registers the master cannot write: ESC information, DL status, AL status
// and code, the SyncManager status bytes.
bool read_only(uint32_t a) {
  if (a < 0x0010) return true;
  if (a >= 0x0110 && a < 0x0112) return true;
  if (a >= 0x0130 && a < 0x0136) return true;
  if (a >= 0x0800 && a < 0x0880 && (a & 7) == 5) return true;
  return false;
}

}  // namespace

EscModel::EscModel(const SlaveConfig& config, bool last)
    : config_(config), mem_(kMemoryBytes, 0), sii_(build_sii(config)), mailbox_(config),
      applied_outputs_(config.output_bytes, 0) {
  mem_[0x0000] = 0x11;  // type
  mem_[0x0002] = 0x01;  // build
  mem_[0x0004] = 8;     // FMMUs
  mem_[0x0005] = 8;     // SyncManagers
  mem_[0x0006] = 8;     // KiB of process RAM
  mem_[0x0007] = 0x0F;  // ports 0 and 1 MII
  set_le16(&mem_[0x0008], config.dc ? 0x0004 : 0x0000);
  set_le16(&mem_[0x0012], sii_[4]);
  // DL status: PDI operational, watchdog ok, link on port 0; port 0 open with
  // communication, port 1 too unless the slave ends the line.
  set_le16(&mem_[0x0110], last ? 0x5613 : 0x5A33);
  set_le16(&mem_[0x0130], kInit);
  set_le16(&mem_[0x0502], config.eeprom_8_bytes ? 0x0040 : 0x0000);
  time_base_ns_ = 123456789000ULL;
}

uint16_t EscModel::read16(uint16_t address) const {
  return address + 2u <= kMemoryBytes ? le16(&mem_[address]) : 0;
}

uint64_t EscModel::local_time_ns() const {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return time_base_ns_ + static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

void EscModel::read_physical(uint16_t ado, uint8_t* data, uint16_t len, bool or_into) {
  if (config_.dc && overlaps(ado, len, 0x0910, 8)) {
    // System time = local time + offset.
    uint64_t offset = 0;
    for (int i = 7; i >= 0; --i) offset = (offset << 8) | mem_[0x0920 + i];
    set_le64(&mem_[0x0910], local_time_ns() + offset);
  }
  for (uint16_t i = 0; i < len; ++i) data[i] = or_into ? static_cast<uint8_t>(data[i] | mem_[ado + i]) : mem_[ado + i];
}

void EscModel::write_physical(uint16_t ado, const uint8_t* data, uint16_t len) {
  for (uint16_t i = 0; i < len; ++i) {
    if (!read_only(ado + i)) mem_[ado + i] = data[i];
  }
  if (overlaps(ado, len, 0x0120, 1)) al_control(le16(&mem_[0x0120]));
  if (overlaps(ado, len, 0x0502, 2)) eeprom_command();
  if (config_.dc && overlaps(ado, len, 0x0900, 1)) dc_latch();
  if (config_.coe) mailbox_written(ado, len);
}

bool EscModel::mailbox_sm(int n, uint16_t* start, uint16_t* len) const {
  const uint8_t* sm = &mem_[0x0800 + 8 * n];
  *start = le16(sm);
  *len = le16(sm + 2);
  return (sm[6] & 1) != 0 && *len > 0 && static_cast<size_t>(*start) + *len <= kMemoryBytes;
}

void EscModel::mailbox_written(uint16_t ado, uint16_t len) {
  uint16_t in_start = 0, in_len = 0, out_start = 0, out_len = 0;
  const bool out_on = mailbox_sm(1, &in_start, &in_len);
  if (overlaps(ado, len, 0x0800, 16) && !out_on) {
    // Send mailbox switched off: what it held is gone.
    mem_[0x080D] = static_cast<uint8_t>(mem_[0x080D] & ~kMailboxFull);
    mailbox_.reset();
  }
  // The write of the receive mailbox's last byte hands the request over;
  // the slave application answers at once (not in INIT).
  if (!mailbox_sm(0, &out_start, &out_len) || !overlaps(ado, len, out_start + out_len - 1u, 1)) return;
  if ((le16(&mem_[0x0130]) & 0x0F) == kInit || !out_on) return;
  mailbox_.request(&mem_[out_start], out_len, in_len);
  fill_send_mailbox();
}

void EscModel::fill_send_mailbox() {
  uint16_t start = 0, len = 0;
  if ((mem_[0x080D] & kMailboxFull) != 0 || !mailbox_sm(1, &start, &len)) return;
  std::vector<uint8_t> reply;
  if (!mailbox_.next_reply(&reply)) return;
  std::fill(mem_.begin() + start, mem_.begin() + start + len, 0);
  std::copy(reply.begin(), reply.begin() + std::min<size_t>(reply.size(), len), mem_.begin() + start);
  mem_[0x080D] = static_cast<uint8_t>(mem_[0x080D] | kMailboxFull);
}

bool EscModel::mailbox_readable(uint16_t ado, uint16_t len) const {
  uint16_t start = 0, n = 0;
  if (!config_.coe || !mailbox_sm(1, &start, &n) || !overlaps(ado, len, start, n)) return true;
  return (mem_[0x080D] & kMailboxFull) != 0;
}

void EscModel::mailbox_read(uint16_t ado, uint16_t len) {
  uint16_t start = 0, n = 0;
  if (!config_.coe || !mailbox_sm(1, &start, &n) || !overlaps(ado, len, start + n - 1u, 1)) return;
  // Reading the last byte empties the mailbox; the next reply moves in.
  mem_[0x080D] = static_cast<uint8_t>(mem_[0x080D] & ~kMailboxFull);
  fill_send_mailbox();
}

void EscModel::dc_latch() {
  const uint64_t t = local_time_ns();
  set_le32(&mem_[0x0900], static_cast<uint32_t>(t));
  set_le32(&mem_[0x0904], static_cast<uint32_t>(t));  // port 1: the frame did not leave (simplified)
  set_le64(&mem_[0x0918], t);
}

void EscModel::eeprom_command() {
  const uint16_t control = le16(&mem_[0x0502]);
  const uint16_t command = control & 0x0700;
  uint16_t status = static_cast<uint16_t>((control & 0x0001) | (config_.eeprom_8_bytes ? 0x0040 : 0));
  if (command == 0x0100) {
    const uint16_t word = le16(&mem_[0x0504]);
    const int words = config_.eeprom_8_bytes ? 4 : 2;
    for (int i = 0; i < words; ++i) {
      const size_t a = static_cast<size_t>(word) + i;
      // Beyond the image the EEPROM reads as erased.
      set_le16(&mem_[0x0508 + 2 * i], a < sii_.size() ? sii_[a] : 0xFFFF);
    }
  } else if (command != 0) {
    status |= 0x2000;  // write and reload are not offered: invalid command
  }
  set_le16(&mem_[0x0502], status);
}

void EscModel::set_al(uint16_t state, uint16_t code) {
  set_le16(&mem_[0x0130], state);
  set_le16(&mem_[0x0134], code);
}

bool EscModel::mailbox_configured() const {
  uint16_t out_start = 0, out_len = 0, in_start = 0, in_len = 0;
  return mailbox_sm(0, &out_start, &out_len) && out_start == config_.mailbox_out_start &&
         out_len == config_.mailbox_bytes && mailbox_sm(1, &in_start, &in_len) &&
         in_start == config_.mailbox_in_start && in_len == config_.mailbox_bytes;
}

uint16_t EscModel::check_safe_op() const {
  auto sm_ok = [&](int n, uint16_t start, uint16_t len) {
    const uint8_t* sm = &mem_[0x0800 + 8 * n];
    return le16(sm) == start && le16(sm + 2) == len && (sm[6] & 1) != 0;
  };
  auto fmmu_for = [&](uint16_t phys, uint8_t type) {
    for (int f = 0; f < 8; ++f) {
      const uint8_t* r = &mem_[0x0600 + 16 * f];
      if ((r[12] & 1) && le16(r + 8) == phys && (r[11] & type)) return true;
    }
    return false;
  };
  if (config_.output_bytes > 0 &&
      (!sm_ok(2, config_.output_sm_start, config_.output_bytes) || !fmmu_for(config_.output_sm_start, 2)))
    return kCodeBadOutputs;
  if (config_.input_bytes > 0 &&
      (!sm_ok(3, config_.input_sm_start, config_.input_bytes) || !fmmu_for(config_.input_sm_start, 1)))
    return kCodeBadInputs;
  return 0;
}

void EscModel::al_control(uint16_t value) {
  const uint16_t requested = value & 0x0F;
  const bool ack = (value & 0x10) != 0;
  uint16_t status = le16(&mem_[0x0130]);
  uint16_t code = le16(&mem_[0x0134]);
  if (ack || requested == kInit) {
    status &= static_cast<uint16_t>(~kErrorBit);
    code = 0;
  } else if (status & kErrorBit) {
    return;  // an error waits for its acknowledge
  }
  const uint16_t current = status & 0x0F;
  uint16_t next = current;
  uint16_t error = 0;
  switch (requested) {
    case kInit: next = kInit; break;
    case kPreOp:
      if (current == kInit && config_.coe && !mailbox_configured()) {
        error = kCodeBadMailbox;
      } else {
        next = kPreOp;
      }
      break;
    case kBoot: error = kCodeNoBoot; break;
    case kSafeOp:
      if (current == kInit) {
        error = kCodeInvalidChange;
      } else if (current == kPreOp) {
        error = check_safe_op();
        if (error == 0) next = kSafeOp;
      } else {
        next = kSafeOp;
      }
      break;
    case kOp:
      if (current == kSafeOp || current == kOp) {
        if (current == kSafeOp) last_output_write_ns_ = local_time_ns();
        next = kOp;
      } else {
        error = kCodeInvalidChange;
      }
      break;
    default:
      error = kCodeUnknownState;
      if (current == kOp) next = kSafeOp;
      break;
  }
  if (error != 0) {
    set_al(static_cast<uint16_t>(next | kErrorBit), error);
  } else {
    set_al(next, code);
  }
}

void EscModel::drop_to_safe_op(uint16_t code) {
  const uint16_t current = le16(&mem_[0x0130]) & 0x0F;
  set_al(static_cast<uint16_t>((current == kOp ? kSafeOp : current) | kErrorBit), code);
}

void EscModel::set_inputs(const uint8_t* data, size_t len) {
  const size_t n = std::min<size_t>(len, config_.input_bytes);
  if (config_.input_sm_start + n <= kMemoryBytes) std::memcpy(&mem_[config_.input_sm_start], data, n);
}

bool EscModel::logical(uint8_t cmd, uint32_t address, uint8_t* data, uint16_t len, bool* read_hit,
                       bool* write_hit) {
  const bool reads = cmd == kLrd || cmd == kLrw;
  const bool writes = cmd == kLwr || cmd == kLrw;
  // Writes take the bytes as they arrived, even where a read FMMU of this
  // slave overwrites them on the way back.
  std::vector<uint8_t> incoming(data, data + len);
  for (int f = 0; f < 8; ++f) {
    const uint8_t* r = &mem_[0x0600 + 16 * f];
    if ((r[12] & 1) == 0) continue;
    const uint32_t log_start = le32(r);
    const uint32_t log_len = le16(r + 4);
    const uint32_t phys = le16(r + 8);
    const uint8_t type = r[11];
    const uint64_t lo = std::max<uint64_t>(address, log_start);
    const uint64_t hi = std::min<uint64_t>(static_cast<uint64_t>(address) + len, static_cast<uint64_t>(log_start) + log_len);
    if (lo >= hi) continue;
    for (uint64_t x = lo; x < hi; ++x) {
      const uint64_t p = phys + (x - log_start);
      const size_t d = static_cast<size_t>(x - address);
      if (p >= 0x1000 + 0x2000) continue;  // outside process RAM
      if (writes && (type & 2)) {
        mem_[p] = incoming[d];
        *write_hit = true;
        if (p >= config_.output_sm_start && p < config_.output_sm_start + config_.output_bytes) {
          outputs_written_ = true;
          last_output_write_ns_ = local_time_ns();
        }
      }
      if (reads && (type & 1)) {
        data[d] = mem_[p];
        *read_hit = true;
      }
    }
  }
  return *read_hit || *write_hit;
}

void EscModel::process(uint8_t cmd, uint32_t* address, uint8_t* data, uint16_t len, uint16_t* wkc) {
  const uint16_t adp = static_cast<uint16_t>(*address & 0xFFFF);
  const uint16_t ado = static_cast<uint16_t>(*address >> 16);
  const bool position = cmd == kAprd || cmd == kApwr || cmd == kAprw || cmd == kArmw;
  const bool broadcast = cmd == kBrd || cmd == kBwr || cmd == kBrw;
  const bool fixed = cmd == kFprd || cmd == kFpwr || cmd == kFprw || cmd == kFrmw;
  bool addressed = false;
  if (position) {
    addressed = adp == 0;
  } else if (broadcast) {
    addressed = true;
  } else if (fixed) {
    const bool alias_on = (mem_[0x0103] & 1) != 0;
    addressed = adp == le16(&mem_[0x0010]) || (alias_on && adp == le16(&mem_[0x0012]));
  }
  if (position || broadcast) *address = (*address & 0xFFFF0000u) | static_cast<uint16_t>(adp + 1);

  uint16_t add = 0;
  if (cmd == kLrd || cmd == kLwr || cmd == kLrw) {
    bool r = false, w = false;
    if (logical(cmd, *address, data, len, &r, &w)) add = cmd == kLrw ? static_cast<uint16_t>((r ? 1 : 0) + (w ? 2 : 0)) : 1;
  } else if ((cmd == kArmw || cmd == kFrmw) && physical_in_range(ado, len)) {
    // The addressed slave reads; every other slave writes what it read.
    if (addressed) {
      read_physical(ado, data, len, false);
    } else {
      write_physical(ado, data, len);
    }
    add = 1;
  } else if (addressed && physical_in_range(ado, len)) {
    switch (cmd) {
      case kAprd: case kFprd:
        if (!mailbox_readable(ado, len)) break;
        read_physical(ado, data, len, false);
        mailbox_read(ado, len);
        add = 1;
        break;
      case kBrd: read_physical(ado, data, len, true); add = 1; break;
      case kApwr: case kFpwr: case kBwr: write_physical(ado, data, len); add = 1; break;
      case kAprw: case kFprw: case kBrw: {
        std::vector<uint8_t> incoming(data, data + len);
        read_physical(ado, data, len, cmd == kBrw);
        if (cmd == kBrw) {
          for (uint16_t i = 0; i < len; ++i) data[i] = static_cast<uint8_t>(data[i] | incoming[i]);
        }
        write_physical(ado, incoming.data(), len);
        add = 3;
        break;
      }
      default: break;
    }
  }
  *wkc = static_cast<uint16_t>(*wkc + add);
}

void EscModel::tick() {
  if (config_.watchdog_ms <= 0 || (le16(&mem_[0x0130]) & 0x0F) != kOp) return;
  if (local_time_ns() - last_output_write_ns_ > static_cast<uint64_t>(config_.watchdog_ms) * 1000000ULL) {
    drop_to_safe_op(0x001B);
  }
}

void EscModel::end_frame() {
  if (!outputs_written_) return;
  outputs_written_ = false;
  // Outputs reach the hand only in OP; in SAFE-OP they stay in the safe state.
  if ((le16(&mem_[0x0130]) & 0x0F) != kOp) return;
  const uint8_t* image = &mem_[config_.output_sm_start];
  if (!std::equal(applied_outputs_.begin(), applied_outputs_.end(), image)) {
    if (output_changes_.size() >= kOutputChangesKept) output_changes_.erase(output_changes_.begin());
    output_changes_.emplace_back(image, image + config_.output_bytes);
  }
  std::memcpy(applied_outputs_.data(), image, config_.output_bytes);
  ++output_updates_;
}

}  // namespace ecat_sim
