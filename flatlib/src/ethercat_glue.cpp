// Between the open instance's EtherCAT link and the hand library: the RxPDO
// send function and the thread that passes the hand's TxPDO image to the
// decoder every 10 ms.
#include <chrono>
#include <vector>

#include "ethercat_link.h"
#include "lv_instance.h"

namespace lv {
namespace {

const int kFirstPollDelayMs = 1000;
const int kPollPeriodMs = 10;

// Sleeps in short slices so that lv_close need not wait out a long delay.
void sleep_while_running(LvInstance* inst, int total_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(total_ms);
  while (inst->running.load() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(kPollPeriodMs, total_ms)));
  }
}

}  // namespace

bool lv_send_rpdo(const uint8_t* data, unsigned len) {
  LvInstance* inst = current_instance();
  if (!inst || !inst->running.load() || !inst->link) return false;
  return inst->link->write_outputs(inst->slave, data, len);
}

void lv_tpdo_poll_thread() {
  LvInstance* inst = current_instance();
  if (!inst) return;
  // Give the cycle time to bring the first inputs in.
  sleep_while_running(inst, kFirstPollDelayMs);
  std::vector<uint8_t> image;
  inst = current_instance();
  while (inst && inst->running.load()) {
    if (inst->link && inst->hand) {
      const int n = inst->link->input_size(inst->slave);
      if (n > 0) {
        image.assign(static_cast<size_t>(n), 0);
        if (inst->link->read_inputs(inst->slave, image.data(), static_cast<unsigned>(n))) {
          morvane_set_tpdo_data_decode(inst->hand, image.data(), n);
        }
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollPeriodMs));
    inst = current_instance();
  }
}

}  // namespace lv
