// The mailbox of a slave (SyncManager 0: master to slave, SyncManager 1:
// slave to master) and CoE SDO uploads over it.
//
// A request is written as the whole SyncManager 0 area (the write of its last
// byte hands it to the slave; a mailbox still full refuses the write with
// working counter 0). A write resent because its reply was late may reach the
// slave twice: the repeated mailbox counter tells the slave to ignore it. A
// reply is there when SyncManager 1's status shows "mailbox full"; reading
// the area up to its last byte empties it, so that read is sent once and
// awaited, never resent.
#include <algorithm>
#include <cstring>
#include <vector>

#include "byte_order.h"
#include "coe_codec.h"
#include "esc_registers.h"
#include "master_impl.h"

namespace ecat {

namespace {

const uint16_t kSm1Status = reg::kSm0 + 8 + 5;
const uint8_t kSmStatusMailboxFull = 0x08;
const int kMailboxPollUs = 200;
const size_t kMaxSdoErrors = 64;

int64_t deadline_after(int timeout_us) {
  return monotonic_ns() + static_cast<int64_t>(timeout_us > 0 ? timeout_us : 0) * 1000;
}

bool mailbox_write(Master::Impl& m, const SlaveRecord& s, const uint8_t* msg, size_t len, int64_t deadline) {
  std::vector<uint8_t> area(s.sm[0].length, 0);
  std::memcpy(area.data(), msg, len);
  for (;;) {
    if (transact(m, kFpwr, s.config_address, s.sm[0].start, area.data(), s.sm[0].length, kTimeoutConfigUs) > 0) {
      return true;
    }
    if (monotonic_ns() >= deadline) return false;
    sleep_us(kMailboxPollUs);
  }
}

// Takes the next message from the slave's mailbox into `area` (SyncManager
// 1's length) and views it in `out`. A message that repeats the counter of
// the one taken before is the slave sending it again: skipped.
bool mailbox_read(Master::Impl& m, int slave, std::vector<uint8_t>* area, int64_t deadline, MailboxView* out) {
  const SlaveRecord& s = m.slaves[static_cast<size_t>(slave)];
  uint8_t& last_counter = m.mailbox_in_counter[static_cast<size_t>(slave)];
  area->assign(s.sm[1].length, 0);
  for (;;) {
    uint8_t status = 0;
    if (transact(m, kFprd, s.config_address, kSm1Status, &status, 1, kTimeoutConfigUs) > 0 &&
        (status & kSmStatusMailboxFull) != 0 &&
        transact_once(m, kFprd, s.config_address, s.sm[1].start, area->data(), s.sm[1].length,
                      static_cast<int>(std::max<int64_t>(deadline - monotonic_ns(), 0) / 1000)) > 0 &&
        parse_mailbox(area->data(), area->size(), out)) {
      const bool repeat = out->counter != 0 && out->counter == last_counter;
      last_counter = out->counter;
      if (!repeat) return true;
      continue;
    }
    if (monotonic_ns() >= deadline) return false;
    sleep_us(kMailboxPollUs);
  }
}

// Sends one SDO request and waits for the reply that answers it; replies of
// other kinds, for other objects or with the wrong toggle are skipped.
// Returns 0 with `reply` filled, or a kSdo* result.
int sdo_exchange(Master::Impl& m, int slave, const uint8_t* request, size_t len, uint16_t index,
                 uint8_t subindex, bool segment, bool toggle, int timeout_us, std::vector<uint8_t>* area,
                 SdoReply* reply, uint32_t* abort_code) {
  const SlaveRecord& s = m.slaves[static_cast<size_t>(slave)];
  if (!mailbox_write(m, s, request, len, deadline_after(timeout_us))) return kSdoTimeout;
  const int64_t deadline = deadline_after(timeout_us);
  for (;;) {
    MailboxView mbx;
    if (!mailbox_read(m, slave, area, deadline, &mbx)) return kSdoTimeout;
    const SdoReply r = parse_sdo_reply(mbx);
    const bool ours = r.index == index && r.subindex == subindex;
    if (r.kind == SdoReplyKind::kAbort && ours) {
      *abort_code = r.abort_code;
      return kSdoAborted;
    }
    const bool answer = segment ? (r.kind == SdoReplyKind::kUploadSegment && r.toggle == toggle)
                                : ((r.kind == SdoReplyKind::kUploadExpedited || r.kind == SdoReplyKind::kUploadNormal) && ours);
    if (answer) {
      *reply = r;
      return 0;
    }
  }
}

uint8_t take_counter(Master::Impl& m, int slave) {
  uint8_t& c = m.mailbox_out_counter[static_cast<size_t>(slave)];
  c = next_mailbox_counter(c);
  return c;
}

int upload(Master::Impl& m, int slave, uint16_t index, uint8_t subindex, uint8_t* data, size_t capacity,
           int timeout_us, uint32_t* abort_code) {
  std::vector<uint8_t> area;
  uint8_t request[kMinCoeMailboxBytes];
  size_t len = build_sdo_upload_request(index, subindex, take_counter(m, slave), request);
  SdoReply r;
  int result = sdo_exchange(m, slave, request, len, index, subindex, false, false, timeout_us, &area, &r, abort_code);
  if (result != 0) return result;
  const size_t total = r.complete_size;
  if (total > capacity) return kSdoTooLarge;
  if (r.data_length > 0) std::memcpy(data, r.data, r.data_length);
  size_t got = r.data_length;
  // The rest, when the object is larger than the mailbox, comes in segments.
  bool toggle = false;
  bool last = r.last;
  while (!last) {
    len = build_sdo_segment_request(toggle, take_counter(m, slave), request);
    result = sdo_exchange(m, slave, request, len, index, subindex, true, toggle, timeout_us, &area, &r, abort_code);
    if (result != 0) return result;
    if (r.data_length > total - got) return kSdoBadReply;
    if (r.data_length > 0) std::memcpy(data + got, r.data, r.data_length);
    got += r.data_length;
    last = r.last;
    toggle = !toggle;
  }
  if (got != total) return kSdoBadReply;
  return static_cast<int>(total);
}

}  // namespace

int Master::sdo_upload(int slave, uint16_t index, uint8_t subindex, uint8_t* data, size_t capacity,
                       int timeout_us) {
  Impl& m = *impl_;
  if (slave < 1 || slave > m.slave_count || !m.socket.is_open() || (data == nullptr && capacity > 0)) {
    return kSdoNoMailbox;
  }
  const SlaveRecord& s = m.slaves[static_cast<size_t>(slave)];
  if ((s.mailbox_protocols & sii::kMailboxCoe) == 0 || s.sm[0].start == 0 || s.sm[1].start == 0 ||
      s.sm[0].length < kMinCoeMailboxBytes || s.sm[1].length < kMinCoeMailboxBytes) {
    return kSdoNoMailbox;
  }
  uint32_t abort_code = 0;
  const int result = upload(m, slave, index, subindex, data, capacity, timeout_us, &abort_code);
  if (result < 0) {
    if (m.sdo_errors.size() == kMaxSdoErrors) m.sdo_errors.erase(m.sdo_errors.begin());
    SdoError e;
    e.slave = slave;
    e.index = index;
    e.subindex = subindex;
    e.result = result;
    e.abort_code = abort_code;
    m.sdo_errors.push_back(e);
  }
  return result;
}

std::vector<SdoError> Master::sdo_errors() const { return impl_->sdo_errors; }

}  // namespace ecat
