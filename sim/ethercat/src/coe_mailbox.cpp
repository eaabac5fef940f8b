// Object dictionary and SDO upload server of a simulated CoE slave.
#include "ethercat_sim/coe_mailbox.h"

#include <algorithm>

#include "le_bytes.h"
#include "pdo_layout.h"

namespace ecat_sim {

namespace {

const size_t kMbxHeader = 6;
const uint8_t kTypeCoe = 3;
const uint16_t kServiceEmergency = 1;
const uint16_t kServiceSdoRequest = 2;
const uint16_t kServiceSdoResponse = 3;
// SDO abort codes.
const uint32_t kAbortToggle = 0x05030000;
const uint32_t kAbortCommand = 0x05040001;
const uint32_t kAbortUnsupportedAccess = 0x06010000;
const uint32_t kAbortNoObject = 0x06020000;
const uint32_t kAbortNoSubindex = 0x06090011;

uint32_t key(uint16_t index, uint8_t subindex) { return static_cast<uint32_t>(index) << 8 | subindex; }

std::vector<uint8_t> u8(uint8_t v) { return {v}; }
std::vector<uint8_t> u16(uint16_t v) { return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}; }
std::vector<uint8_t> u32(uint32_t v) {
  std::vector<uint8_t> b(4);
  set_le32(b.data(), v);
  return b;
}

// SDO header bytes: command, index, subindex, then 4 data bytes.
std::vector<uint8_t> sdo(uint8_t cmd, uint16_t index, uint8_t subindex, uint32_t data) {
  std::vector<uint8_t> b(8);
  b[0] = cmd;
  set_le16(&b[1], index);
  b[3] = subindex;
  set_le32(&b[4], data);
  return b;
}

}  // namespace

CoeMailbox::CoeMailbox(const SlaveConfig& c) {
  objects_[key(0x1000, 0)] = u32(0x00000192);  // device type
  objects_[key(0x1008, 0)] = std::vector<uint8_t>(c.name.begin(), c.name.end());
  objects_[key(0x1018, 0)] = u8(4);
  objects_[key(0x1018, 1)] = u32(c.vendor_id);
  objects_[key(0x1018, 2)] = u32(c.product_code);
  objects_[key(0x1018, 3)] = u32(c.revision);
  objects_[key(0x1018, 4)] = u32(c.serial);
  // PDO assignment (0x1C12 outputs, 0x1C13 inputs) and the mapping objects
  // it names; each entry: object index << 16 | subindex << 8 | bit length.
  struct Direction {
    uint16_t assign, first_pdo, object, bytes;
  };
  const Direction dirs[] = {{0x1C12, 0x1600, 0x7000, c.output_bytes}, {0x1C13, 0x1A00, 0x6000, c.input_bytes}};
  for (const Direction& d : dirs) {
    const std::vector<uint8_t> bits = pdo_entry_bits(d.bytes);
    uint8_t pdos = 0;
    for (size_t done = 0; done < bits.size(); done += kEntriesPerPdo) {
      const uint16_t pdo = static_cast<uint16_t>(d.first_pdo + pdos);
      const size_t n = std::min(kEntriesPerPdo, bits.size() - done);
      objects_[key(pdo, 0)] = u8(static_cast<uint8_t>(n));
      for (size_t e = 0; e < n; ++e) {
        const uint32_t sub = static_cast<uint32_t>(done + e + 1) & 0xFF;
        objects_[key(pdo, static_cast<uint8_t>(e + 1))] = u32(static_cast<uint32_t>(d.object) << 16 | sub << 8 | bits[done + e]);
      }
      ++pdos;
      objects_[key(d.assign, pdos)] = u16(pdo);
    }
    objects_[key(d.assign, 0)] = u8(pdos);
  }
}

void CoeMailbox::request(const uint8_t* data, size_t len, size_t reply_capacity) {
  ++requests_;
  if (len < kMbxHeader + 10 || reply_capacity < kMbxHeader + 10) return;
  const uint16_t length = le16(data);
  if (length < 10 || length > len - kMbxHeader || (data[5] & 0x0F) != kTypeCoe) return;
  // A request with the counter of the one before is the master's resend.
  const uint8_t counter = static_cast<uint8_t>((data[5] >> 4) & 0x07);
  if (counter != 0 && counter == last_request_counter_) return;
  last_request_counter_ = counter;
  const uint8_t* coe = data + kMbxHeader;
  if ((le16(coe) >> 12) != kServiceSdoRequest) return;
  const uint8_t cmd = coe[2];
  const uint16_t index = le16(coe + 3);
  const uint8_t subindex = coe[5];
  switch (cmd >> 5) {
    case 2:
      if (cmd & 0x10) {
        abort(index, subindex, kAbortUnsupportedAccess);  // complete access
      } else {
        upload_initiate(index, subindex, reply_capacity);
      }
      break;
    case 3: upload_segment((cmd & 0x10) != 0, reply_capacity); break;
    case 4: segmenting_ = false; break;  // the master aborts: no reply
    default: abort(index, subindex, kAbortCommand); break;
  }
}

void CoeMailbox::upload_initiate(uint16_t index, uint8_t subindex, size_t reply_capacity) {
  segmenting_ = false;
  if (abort_count_ > 0) {
    --abort_count_;
    abort(index, subindex, abort_code_);
    return;
  }
  const auto it = objects_.find(key(index, subindex));
  if (it == objects_.end()) {
    const auto any = objects_.lower_bound(key(index, 0));
    const bool index_known = any != objects_.end() && (any->first >> 8) == index;
    abort(index, subindex, index_known ? kAbortNoSubindex : kAbortNoObject);
    return;
  }
  const std::vector<uint8_t>& v = it->second;
  if (v.size() <= 4) {
    // Expedited: size indicated, bits 2-3 the unused bytes of the four.
    std::vector<uint8_t> body = sdo(static_cast<uint8_t>(0x43 | ((4 - v.size()) << 2)), index, subindex, 0);
    std::copy(v.begin(), v.end(), body.begin() + 4);
    queue(kServiceSdoResponse, body);
    return;
  }
  // Normal: the complete size, then as much data as the mailbox holds.
  std::vector<uint8_t> body = sdo(0x41, index, subindex, static_cast<uint32_t>(v.size()));
  const size_t room = reply_capacity - kMbxHeader - 2 - 8;
  const size_t n = std::min(room, v.size());
  body.insert(body.end(), v.begin(), v.begin() + static_cast<long>(n));
  if (n < v.size()) {
    segmenting_ = true;
    seg_index_ = index;
    seg_subindex_ = subindex;
    seg_data_ = v;
    seg_sent_ = n;
    seg_toggle_ = false;
  }
  queue(kServiceSdoResponse, body);
}

void CoeMailbox::upload_segment(bool toggle, size_t reply_capacity) {
  if (!segmenting_) {
    abort(0, 0, kAbortCommand);
    return;
  }
  if (toggle != seg_toggle_) {
    segmenting_ = false;
    abort(seg_index_, seg_subindex_, kAbortToggle);
    return;
  }
  const size_t room = reply_capacity - kMbxHeader - 2 - 1;
  const size_t n = std::min(room, seg_data_.size() - seg_sent_);
  const bool last = seg_sent_ + n == seg_data_.size();
  // At least 7 data bytes go on the wire; bits 1-3 say how many are unused.
  const size_t unused = n < 7 ? 7 - n : 0;
  std::vector<uint8_t> body(1 + n + unused, 0);
  body[0] = static_cast<uint8_t>((toggle ? 0x10 : 0) | (unused << 1) | (last ? 1 : 0));
  std::copy(seg_data_.begin() + static_cast<long>(seg_sent_), seg_data_.begin() + static_cast<long>(seg_sent_ + n),
            body.begin() + 1);
  seg_sent_ += n;
  seg_toggle_ = !seg_toggle_;
  if (last) segmenting_ = false;
  queue(kServiceSdoResponse, body);
}

void CoeMailbox::abort(uint16_t index, uint8_t subindex, uint32_t code) {
  queue(kServiceSdoRequest, sdo(0x80, index, subindex, code));
}

void CoeMailbox::queue(uint16_t service, const std::vector<uint8_t>& body) {
  if (drop_count_ > 0) {
    --drop_count_;
    return;
  }
  auto message = [&](uint16_t svc, const std::vector<uint8_t>& b) {
    std::vector<uint8_t> m(kMbxHeader + 2);
    set_le16(&m[0], static_cast<uint16_t>(2 + b.size()));
    counter_ = static_cast<uint8_t>(counter_ >= 7 ? 1 : counter_ + 1);
    m[5] = static_cast<uint8_t>(kTypeCoe | (counter_ << 4));
    set_le16(&m[6], static_cast<uint16_t>(svc << 12));
    m.insert(m.end(), b.begin(), b.end());
    replies_.push_back(m);
  };
  if (emergency_count_ > 0) {
    --emergency_count_;
    // Error code 0x5000 (device hardware), error register 0x81.
    message(kServiceEmergency, {0x00, 0x50, 0x81, 0, 0, 0, 0, 0});
  }
  message(service, body);
}

bool CoeMailbox::next_reply(std::vector<uint8_t>* out) {
  if (replies_.empty()) return false;
  *out = replies_.front();
  replies_.pop_front();
  return true;
}

void CoeMailbox::reset() {
  replies_.clear();
  last_request_counter_ = 0;
  segmenting_ = false;
}

void CoeMailbox::abort_uploads(int uploads, uint32_t code) {
  abort_count_ = uploads;
  abort_code_ = code;
}
void CoeMailbox::drop_replies(int replies) { drop_count_ = replies; }
void CoeMailbox::emergency_before_replies(int replies) { emergency_count_ = replies; }

}  // namespace ecat_sim
