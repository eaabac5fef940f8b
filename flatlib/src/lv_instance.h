// The flat library's one global hand instance and what its transports share.
#ifndef MORVANE_LV_SRC_LV_INSTANCE_H
#define MORVANE_LV_SRC_LV_INSTANCE_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "morvane/morvane_c.h"

namespace lv {

class ComPort;
class EtherCATLink;

// Transport codes of lv_init; the same numbers as the hand library's
// communication type.
const int kTransportEtherCAT = 0;
const int kTransportCanfd = 1;
const int kTransportRs485 = 2;

// Results of lv_init and the discovery functions.
const int kLvOk = 0;
const int kLvBadDevice = -1;
const int kLvNotBroughtUp = -2;
const int kLvNoHand = -3;
const int kLvInitialFailed = -4;
const int kLvUnknownTransport = -10;
// What a forwarding function returns while no hand is open.
const int kLvNoInstance = 2;

// One CAN-FD frame waiting for the I/O thread.
struct CanfdTxEntry {
  uint32_t id = 0;
  uint8_t data[64] = {};
  int32_t length = 0;  // 0 to 64
};

struct LvInstance {
  int32_t transport = -1;
  morvane_handle hand = nullptr;
  int32_t value = 0;
  // The transport's threads and its send and receive functions work only
  // while this is set.
  std::atomic<bool> running{false};
  std::atomic<bool> connected{false};
  std::atomic<uint64_t> lost_frames{0};
  int32_t device_index = -1;
  std::thread io_thread;
  std::recursive_mutex tx_lock;
  std::deque<CanfdTxEntry> tx_queue;  // guarded by tx_lock
  std::unique_ptr<EtherCATLink> link;
  int32_t slave = 1;
  std::thread input_thread;
  std::unique_ptr<ComPort> port;

  LvInstance();
  ~LvInstance();
};

// Serialises lv_init, the bookkeeping of lv_close, the status queries and
// every forwarding call.
std::recursive_mutex& instance_lock();

// The open instance, or null. Transport threads and the functions handed to
// the hand library read it without instance_lock; it changes only under that
// lock, and an instance is deleted only after everything that could still
// read it has been stopped.
LvInstance* current_instance();

// ---- per-transport pieces used by lv_init and lv_close ----

// CAN-FD (canfd_transport.cpp).
// The adapter library lets no two calls run on one adapter at once except a
// transmit beside a receive; discovery may run beside the open instance, so
// every adapter call of this library is made under this mutex.
std::mutex& canfd_adapter_mutex();
int canfd_open_adapter(int device_index);  // 0, kLvBadDevice or kLvNotBroughtUp
void canfd_close_adapter(int device_index);
bool lv_send_canfd(unsigned id, const uint8_t* data, unsigned len, int flag);
void lv_canfd_io_thread();

// EtherCAT (ethercat_glue.cpp).
bool lv_send_rpdo(const uint8_t* data, unsigned len);
void lv_tpdo_poll_thread();

// RS485 (rs485_glue.cpp).
bool lv_send_rs485(const uint8_t* data, unsigned len);
void lv_rs485_on_receive(const uint8_t* data, size_t len);

// Copies text into dst (dst_len > 0): at most dst_len - 1 characters and a NUL.
void copy_truncated(const char* text, size_t length, char* dst, int dst_len);

}  // namespace lv

#endif  // MORVANE_LV_SRC_LV_INSTANCE_H
