// Simulated hands on one RS485 line. The line reads the host's byte stream
// (function byte, node id, payload, CRC-16/MODBUS low byte first), cuts it
// into frames however it was chunked, drops frames whose CRC fails, and lets
// the hand with that node id answer: 'H' status replies to polls, 'X'
// parameter replies, 'p' OTA replies. Commands get no reply.
//
// Frame lengths on the host side: 0x50 frames are 6 bytes (poll: reply code
// and joint count) or 68 bytes (command: the second payload byte is 0xD0);
// 0x60 frames are 12 bytes; 0x90 frames carry 1..64 payload bytes and end
// where the CRC first matches.
//
// Threads: on_host_bytes() from one thread at a time (the link's delivery
// thread); the output function is called on that thread.
#ifndef SIMHAND_RS485_LINE_H
#define SIMHAND_RS485_LINE_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "simhand/device_model.h"

namespace simhand {

class SimRs485Line {
 public:
  using OutputFn = std::function<void(const uint8_t* data, size_t len)>;

  explicit SimRs485Line(OutputFn output);

  // Adds a hand that answers to its config's node id.
  void add_hand(std::shared_ptr<DeviceModel> model);
  // A silent hand hears its frames but never answers.
  void set_silent(uint8_t node_id, bool silent);
  // Puts these bytes on the line just before the next reply, once: what a
  // host sees when it opens its port in the middle of a frame, or on line
  // noise.
  void put_before_next_reply(std::vector<uint8_t> bytes);
  // The same before every reply from now on (empty: no more), as noise at
  // each turn of the line would.
  void put_before_every_reply(std::vector<uint8_t> bytes);
  // A hand that does not answer polls still answers parameter and OTA
  // requests, so the line stays silent after each of those replies.
  void set_answers_polls(uint8_t node_id, bool answers);

  void on_host_bytes(const uint8_t* data, size_t len);

  uint64_t frames_ok() const { return frames_ok_.load(); }
  uint64_t crc_errors() const { return crc_errors_.load(); }
  // Frames addressed to each node id (polls, commands, parameters, OTA).
  uint64_t frames_for(uint8_t node_id) const;
  uint64_t polls_for(uint8_t node_id) const;

 private:
  struct Station {
    std::shared_ptr<DeviceModel> model;
    bool silent = false;
    bool answers_polls = true;
    uint64_t frames = 0;
    uint64_t polls = 0;
  };
  void handle_frame(const uint8_t* frame, size_t len);
  void reply(uint8_t start, uint8_t node, const uint8_t* body, size_t len, bool length_byte);

  OutputFn output_;
  mutable std::mutex mutex_;
  std::vector<Station> stations_;
  std::vector<uint8_t> buffer_;
  std::vector<uint8_t> stray_;        // guarded by mutex_
  std::vector<uint8_t> stray_every_;  // guarded by mutex_
  std::atomic<uint64_t> frames_ok_{0}, crc_errors_{0};
};

}  // namespace simhand

#endif  // SIMHAND_RS485_LINE_H
