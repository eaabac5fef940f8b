// Small adapter commands: filter, reset, time stamp, device id.
#include "adapter_protocol.h"
#include "pipe_io.h"
#include "slot_table.h"
#include "word_frame.h"

using namespace tavrix;

extern "C" int TAVRIX_CALL CAN_SetFilter(int index, int8_t first_byte, int8_t second_byte, uint32_t first_value,
                                         uint32_t second_value, int8_t third_byte) {
  if (!slot_usable(index)) return -1;
  flush(index);
  uint32_t words[5] = {make_header(CMD_SET_FILTER, 0, 4), first_value, second_value,
                       static_cast<uint32_t>(static_cast<uint8_t>(first_byte)) << 16 |
                           static_cast<uint32_t>(static_cast<uint8_t>(second_byte)) << 8 |
                           static_cast<uint8_t>(third_byte)};
  return send_whole_request(index, words, 4) ? 0 : -1;
}

extern "C" int TAVRIX_CALL CAN_Reset(int index) {
  if (!index_scanned(index)) return -1;
  Slot& slot = library().slots[index];
  slot.initialised = false;
  if (!slot.open) return -1;
  flush(index);
  uint32_t words[2] = {make_header(CMD_RESET, 0, 1)};
  return send_whole_request(index, words, 1) ? 0 : -1;
}

extern "C" int TAVRIX_CALL CAN_GetTimeStamp(int index, uint32_t* value) {
  if (!slot_usable(index) || value == nullptr) return -1;
  std::lock_guard<std::mutex> lock(library().slots[index].receive_lock);
  uint32_t words[2] = {make_header(CMD_GET_TIMESTAMP, 0, 1)};
  uint32_t reply[kMaxReplyWords];
  if (!send_whole_request(index, words, 1) || await_reply(index, RSP_TIMESTAMP, reply) != 2) return -1;
  *value = reply[1];
  return 0;
}

extern "C" int TAVRIX_CALL CAN_SetTimeStamp(int index, uint32_t value, int8_t mode) {
  if (!slot_usable(index)) return -1;
  uint32_t words[4] = {make_header(CMD_SET_TIMESTAMP, 0, 3), value,
                       static_cast<uint32_t>(static_cast<int32_t>(mode))};  // sign-extended
  return send_whole_request(index, words, 3) ? 0 : -1;
}

extern "C" int TAVRIX_CALL CAN_GetDevID(int index, uint32_t* id) {
  if (!slot_usable(index) || id == nullptr) return -1;
  std::lock_guard<std::mutex> lock(library().slots[index].receive_lock);
  uint32_t words[2] = {make_header(CMD_GET_DEVICE_ID, 0, 1)};
  uint32_t reply[kMaxReplyWords];
  if (!send_whole_request(index, words, 1) || await_reply(index, RSP_DEVICE_ID, reply) != 2) return -1;
  *id = reply[1];
  return 0;
}

extern "C" int TAVRIX_CALL CAN_SetDevID(int index, uint32_t id) {
  if (!slot_usable(index)) return -1;
  std::lock_guard<std::mutex> lock(library().slots[index].receive_lock);
  uint32_t words[3] = {make_header(CMD_SET_DEVICE_ID, 0, 2), id};
  uint32_t reply[kMaxReplyWords];
  if (!send_whole_request(index, words, 2) || await_reply(index, RSP_DEVICE_ID, reply) != 2) return -1;
  return 0;
}
