// The CAN-FD transport of the open instance: the adapter's open sequence, a
// send function that only queues, and the one I/O thread that transmits the
// queue and polls the adapter. All traffic of the instance's adapter happens
// on that thread, so the adapter library's per-device locks see one caller.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "canfd_frames.h"
#include "lv_instance.h"
#include "tavrix/tavrix.h"

namespace lv {
namespace {

const int kTransmitTimeoutMs = 100;
const int kReceiveTimeoutMs = 5;
const uint32_t kReceiveBatch = 100;

}  // namespace

std::mutex& canfd_adapter_mutex() {
  static std::mutex m;
  return m;
}

int canfd_open_adapter(int device_index) {
  std::lock_guard<std::mutex> adapter(canfd_adapter_mutex());
  if (CAN_OpenDevice(device_index) != 0) return kLvBadDevice;
  CANFD_InitConfig config = kit_canfd_init_config();
  if (CANFD_Init(device_index, &config) != 0) {
    CAN_CloseDevice(device_index);
    return kLvNotBroughtUp;
  }
  return kLvOk;
}

void canfd_close_adapter(int device_index) {
  std::lock_guard<std::mutex> adapter(canfd_adapter_mutex());
  CAN_CloseDevice(device_index);
}

bool lv_send_canfd(unsigned id, const uint8_t* data, unsigned len, int /*flag: OTA frames travel alike*/) {
  LvInstance* inst = current_instance();
  if (!inst || !inst->running.load()) return false;
  if (!data && len) return false;
  CanfdTxEntry entry;
  entry.id = id;
  const unsigned n = std::min(len, 64u);
  if (n) std::memcpy(entry.data, data, n);
  entry.length = static_cast<int32_t>(n);
  std::lock_guard<std::recursive_mutex> lock(inst->tx_lock);
  inst->tx_queue.push_back(entry);
  return true;
}

void lv_canfd_io_thread() {
  std::vector<CANFD_Frame> received(kReceiveBatch);
  LvInstance* inst = current_instance();
  while (inst && inst->running.load()) {
    if (!inst->connected.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      inst = current_instance();
      continue;
    }
    std::unique_lock<std::mutex> adapter(canfd_adapter_mutex());
    {
      // Senders wait at most for the frames queued before theirs.
      std::lock_guard<std::recursive_mutex> lock(inst->tx_lock);
      while (!inst->tx_queue.empty()) {
        CANFD_Frame record;
        build_tx_record(inst->tx_queue.front(), &record);
        if (CANFD_Transmit(inst->device_index, &record, 1, kTransmitTimeoutMs) != 1) {
          inst->lost_frames.fetch_add(1);  // not retried
        }
        inst->tx_queue.pop_front();
      }
    }
    const int n = CANFD_Receive(inst->device_index, received.data(), kReceiveBatch, kReceiveTimeoutMs);
    adapter.unlock();
    if (n > 0 && inst->hand) {
      const int count = std::min(n, static_cast<int>(kReceiveBatch));
      for (int i = 0; i < count; ++i) {
        const CANFD_Frame& f = received[static_cast<size_t>(i)];
        const int length = canfd_length_for_dlc(f.dlc);
        if (length < 0) {
          // A length code the adapter never sends: the length is unknown,
          // so the frame is counted as lost rather than guessed at.
          inst->lost_frames.fetch_add(1);
          continue;
        }
        if (f.error_code != 0) inst->lost_frames.fetch_add(1);  // and still decoded
        morvane_set_canfd_data_decode(inst->hand, f.id, f.data, length);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    inst = current_instance();
  }
}

}  // namespace lv
