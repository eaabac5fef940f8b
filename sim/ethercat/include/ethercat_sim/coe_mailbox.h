// The CoE side of a simulated slave's mailbox: a small object dictionary and
// SDO uploads (expedited, normal, segmented) with abort replies, plus faults
// on command. Takes whole request messages, queues whole reply messages; the
// ESC model moves them through SyncManagers 0 and 1. Not thread-safe.
#ifndef ETHERCAT_SIM_COE_MAILBOX_H
#define ETHERCAT_SIM_COE_MAILBOX_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <vector>

#include "ethercat_sim/slave_config.h"

namespace ecat_sim {

class CoeMailbox {
 public:
  explicit CoeMailbox(const SlaveConfig& config);

  // A request message as the master wrote it (`len` bytes of the receive
  // mailbox). Replies are at most `reply_capacity` bytes (the send mailbox).
  void request(const uint8_t* data, size_t len, size_t reply_capacity);
  // Takes the next reply; false when none waits.
  bool next_reply(std::vector<uint8_t>* out);
  // Forgets queued replies and any transfer in progress (mailbox disabled).
  void reset();

  // Faults: the next `uploads` upload requests are aborted with `code`; the
  // next `replies` replies are never sent; an emergency message goes ahead
  // of each of the next `replies` replies.
  void abort_uploads(int uploads, uint32_t code);
  void drop_replies(int replies);
  void emergency_before_replies(int replies);

  uint64_t requests() const { return requests_; }

 private:
  void upload_initiate(uint16_t index, uint8_t subindex, size_t reply_capacity);
  void upload_segment(bool toggle, size_t reply_capacity);
  void abort(uint16_t index, uint8_t subindex, uint32_t code);
  // Queues a CoE message (service, then the SDO bytes) with the next counter.
  void queue(uint16_t service, const std::vector<uint8_t>& body);

  std::map<uint32_t, std::vector<uint8_t>> objects_;  // key: index << 8 | subindex
  std::deque<std::vector<uint8_t>> replies_;
  uint8_t counter_ = 0;               // of our replies
  uint8_t last_request_counter_ = 0;  // of the master's last request
  uint64_t requests_ = 0;
  // The segmented upload in progress.
  bool segmenting_ = false;
  uint16_t seg_index_ = 0;
  uint8_t seg_subindex_ = 0;
  std::vector<uint8_t> seg_data_;
  size_t seg_sent_ = 0;
  bool seg_toggle_ = false;
  // Faults.
  int abort_count_ = 0;
  uint32_t abort_code_ = 0;
  int drop_count_ = 0;
  int emergency_count_ = 0;
};

}  // namespace ecat_sim

#endif
