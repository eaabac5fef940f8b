// The global instance: lv_init, lv_close and the status queries.
#include "lv_instance.h"

#include <algorithm>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "com_port.h"
#include "ethercat_link.h"
#include "morvane_lv/morvane_lv.h"

namespace lv {
namespace {

std::atomic<LvInstance*> g_instance{nullptr};

// Held for the whole of lv_init and lv_close, so that two host threads never
// tear down the same instance twice, and a new instance never opens a device
// that the previous one is still closing. Taken before instance_lock.
std::mutex& lifecycle_lock() {
  static std::mutex m;
  return m;
}

// Ends the current instance, if any. The caller holds lifecycle_lock.
void close_instance_locked() {
  LvInstance* inst = nullptr;
  {
    std::lock_guard<std::recursive_mutex> lock(instance_lock());
    // Taken out at once: from here no forwarding call reaches this hand, and
    // the transport threads and send functions see no instance and stop.
    inst = g_instance.exchange(nullptr);
  }
  if (!inst) return;
  inst->running.store(false);
  // Stop every thread of ours that can call into the hand.
  if (inst->io_thread.joinable()) inst->io_thread.join();
  if (inst->input_thread.joinable()) inst->input_thread.join();
  if (inst->port) inst->port->close();
  // The hand's own threads (RS485 bus worker, monitor) end here.
  if (inst->hand) {
    morvane_close(inst->hand);
    morvane_destroy(inst->hand);
    inst->hand = nullptr;
  }
  if (inst->transport == kTransportCanfd && inst->connected.load()) {
    canfd_close_adapter(inst->device_index);
    inst->connected.store(false);
  }
  if (inst->link) {
    inst->link->stop();
    inst->link.reset();
  }
  inst->port.reset();
  delete inst;
}

int open_canfd(LvInstance* inst, int device_index) {
  inst->device_index = device_index;
  const int opened = canfd_open_adapter(device_index);
  if (opened != kLvOk) return opened;  // the adapter is closed again
  inst->connected.store(true);
  morvane_set_send_canfd_callback(inst->hand, &lv_send_canfd);
  inst->running.store(true);
  inst->io_thread = std::thread(&lv_canfd_io_thread);
  if (morvane_initial_ex(inst->hand, kTransportCanfd, static_cast<unsigned>(inst->value)) != 0) {
    return kLvInitialFailed;
  }
  return kLvOk;
}

int open_ethercat(LvInstance* inst, int device_index) {
  inst->link.reset(new EtherCATLink());
  inst->slave = inst->value;
  inst->link->list_adapters();
  if (!inst->link->open(device_index)) return kLvBadDevice;
  if (!inst->link->go_operational()) return kLvNotBroughtUp;
  inst->link->start_cycle();
  inst->connected.store(true);
  morvane_set_send_rpdo_callback(inst->hand, &lv_send_rpdo);
  inst->running.store(true);
  inst->input_thread = std::thread(&lv_tpdo_poll_thread);
  if (morvane_initial(inst->hand, kTransportEtherCAT) != 0) return kLvInitialFailed;
  return kLvOk;
}

int open_rs485(LvInstance* inst, int device_index) {
  inst->port.reset(new ComPort());
  const std::vector<std::string> ports = ComPort::scan_ports();
  if (device_index < 0 || static_cast<size_t>(device_index) >= ports.size()) return kLvBadDevice;
  if (!inst->port->open(ports[static_cast<size_t>(device_index)])) return kLvNotBroughtUp;
  inst->connected.store(true);
  morvane_set_send_rs485_callback(inst->hand, &lv_send_rs485);
  inst->running.store(true);
  // Bytes the reader got before this point are dropped.
  inst->port->set_on_receive(&lv_rs485_on_receive);
  if (morvane_initial_ex(inst->hand, kTransportRs485, static_cast<unsigned>(inst->value)) != 0) {
    return kLvInitialFailed;
  }
  return kLvOk;
}

// Opens a new instance; the caller holds lifecycle_lock and instance_lock.
// Any result but kLvOk leaves no instance.
int open_instance_locked(int transport, int device_index, int value) {
  LvInstance* inst = new LvInstance();
  inst->transport = transport;
  inst->value = value;
  g_instance.store(inst);

  inst->hand = morvane_create();
  if (!inst->hand) {
    close_instance_locked();
    return kLvNoHand;
  }
  int result = kLvUnknownTransport;
  switch (transport) {
    case kTransportCanfd:
      result = open_canfd(inst, device_index);
      break;
    case kTransportEtherCAT:
      result = open_ethercat(inst, device_index);
      break;
    case kTransportRs485:
      result = open_rs485(inst, device_index);
      break;
    default:
      break;
  }
  // A failure undoes everything in the order lv_close uses: threads first,
  // then the hand, then the device.
  if (result != kLvOk) close_instance_locked();
  return result;
}

}  // namespace

LvInstance::LvInstance() = default;
LvInstance::~LvInstance() = default;

std::recursive_mutex& instance_lock() {
  static std::recursive_mutex m;
  return m;
}

LvInstance* current_instance() { return g_instance.load(); }

void copy_truncated(const char* text, size_t length, char* dst, int dst_len) {
  if (!dst || dst_len <= 0) return;
  const size_t n = std::min(length, static_cast<size_t>(dst_len - 1));
  for (size_t i = 0; i < n; ++i) dst[i] = text[i];
  dst[n] = '\0';
}

}  // namespace lv

using namespace lv;

extern "C" LV_API int lv_init(int transport, int device_index, int value) {
  std::lock_guard<std::mutex> life(lifecycle_lock());
  try {
    close_instance_locked();
    std::lock_guard<std::recursive_mutex> lock(instance_lock());
    try {
      return open_instance_locked(transport, device_index, value);
    } catch (const std::bad_alloc&) {
      close_instance_locked();
      return kLvNoHand;
    } catch (...) {
      // A thread that could not be started: the device is open but not
      // brought into service.
      close_instance_locked();
      return kLvNotBroughtUp;
    }
  } catch (...) {
    return kLvNoHand;
  }
}

extern "C" LV_API void lv_close(void) {
  std::lock_guard<std::mutex> life(lifecycle_lock());
  close_instance_locked();
}

extern "C" LV_API int lv_is_connected(void) {
  std::lock_guard<std::recursive_mutex> lock(instance_lock());
  LvInstance* inst = current_instance();
  return (inst && inst->connected.load()) ? 1 : 0;
}

extern "C" LV_API int lv_get_lost_frames(void) {
  std::lock_guard<std::recursive_mutex> lock(instance_lock());
  LvInstance* inst = current_instance();
  if (!inst) return 0;
  const uint64_t lost =
      (inst->transport == kTransportEtherCAT && inst->link) ? inst->link->lost_count() : inst->lost_frames.load();
  return static_cast<int>(static_cast<uint32_t>(lost));
}
