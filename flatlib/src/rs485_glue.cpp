// Between the open instance's serial port and the hand library.
#include "com_port.h"
#include "lv_instance.h"

namespace lv {

bool lv_send_rs485(const uint8_t* data, unsigned len) {
  LvInstance* inst = current_instance();
  if (!inst || !inst->running.load() || !inst->port) return false;
  return inst->port->write(data, len);
}

void lv_rs485_on_receive(const uint8_t* data, size_t len) {
  LvInstance* inst = current_instance();
  if (!inst || !inst->running.load() || !inst->hand) return;
  // The hand library takes an int length; a chunk is at most 1024 bytes.
  if (len > static_cast<size_t>(ComPort::kChunkBytes)) len = ComPort::kChunkBytes;
  morvane_set_rs485_data_decode(inst->hand, data, static_cast<int>(len));
}

}  // namespace lv
