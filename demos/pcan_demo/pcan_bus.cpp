#include "pcan_bus.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "kitpcan/pcan.h"

namespace demos {

struct PCANBus::State {
  uint16_t channel = 0;
  std::atomic<bool> connected{false};
  std::mutex callback_mutex;
  std::shared_ptr<const ReceiveCallback> callback;
  kitpcan_event* event = nullptr;  // set before the thread starts, closed after it ended
  std::thread rx_thread;

  std::shared_ptr<const ReceiveCallback> current_callback() {
    std::lock_guard<std::mutex> lock(callback_mutex);
    return callback;
  }
};

const std::vector<uint16_t>& PCANBus::scan_handles() {
  static const std::vector<uint16_t> kHandles = {0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x509, 0x50A};
  return kHandles;
}

PCANBus::PCANBus() : state_(new State()) {}

PCANBus::~PCANBus() {
  if (connected()) disconnect();
  if (state_->rx_thread.joinable()) state_->rx_thread.join();
  delete state_;
}

bool PCANBus::connected() const { return state_->connected.load(std::memory_order_acquire); }

int PCANBus::scan(std::vector<uint16_t>* channels, std::vector<std::string>* names) {
  channels->clear();
  names->clear();
  for (uint16_t handle : scan_handles()) {
    char name[256];
    std::memset(name, 0, sizeof name);
    if (kitpcan_get_value(handle, KITPCAN_PARAM_HARDWARE_NAME, name, sizeof name) == KITPCAN_OK && name[0] != '\0') {
      name[sizeof name - 1] = '\0';
      channels->push_back(handle);
      names->push_back(name);
    }
  }
  return static_cast<int>(channels->size());
}

bool PCANBus::connect(uint16_t channel, int bitrate_code) {
  if (connected()) disconnect();
  if (kitpcan_initialize(channel, static_cast<uint16_t>(bitrate_code), 0, 0, 0) != KITPCAN_OK) return false;
  kitpcan_reset(channel);
  state_->channel = channel;
  state_->event = kitpcan_event_create();
  if (state_->event != nullptr &&
      kitpcan_set_value(channel, KITPCAN_PARAM_RECEIVE_EVENT, &state_->event, sizeof state_->event) != KITPCAN_OK) {
    kitpcan_event_close(state_->event);
    state_->event = nullptr;
  }
  state_->connected.store(true, std::memory_order_release);
  return true;
}

void PCANBus::disconnect() {
  if (!connected()) return;
  state_->connected.store(false, std::memory_order_release);
  // Wake the receive thread and wait for it, so that it never reads the
  // channel or waits on the event after they are gone.
  if (state_->event != nullptr) kitpcan_event_signal(state_->event);
  if (state_->rx_thread.joinable()) state_->rx_thread.join();
  // The library forgets the event with the channel; only then is it closed.
  kitpcan_uninitialize(state_->channel);
  if (state_->event != nullptr) {
    kitpcan_event_close(state_->event);
    state_->event = nullptr;
  }
}

bool PCANBus::send(unsigned id, const std::vector<uint8_t>& data, bool extended) {
  if (!connected()) return false;
  kitpcan_message m;
  std::memset(&m, 0, sizeof m);
  m.id = id;
  m.type = extended ? KITPCAN_MESSAGE_EXTENDED : KITPCAN_MESSAGE_STANDARD;
  m.len = static_cast<uint8_t>(std::min<size_t>(data.size(), sizeof m.data));
  if (m.len > 0) std::memcpy(m.data, data.data(), m.len);
  return kitpcan_write(state_->channel, &m) == KITPCAN_OK;
}

void PCANBus::set_receive_callback(ReceiveCallback callback) {
  const bool start = static_cast<bool>(callback);
  {
    std::lock_guard<std::mutex> lock(state_->callback_mutex);
    state_->callback = start ? std::make_shared<const ReceiveCallback>(std::move(callback)) : nullptr;
  }
  // One receive thread per connection; a thread that has ended (after a
  // disconnect) is joined before a new one starts.
  if (!start || !connected()) return;
  if (state_->rx_thread.joinable()) return;
  state_->rx_thread = std::thread(&PCANBus::rx_loop, state_);
}

void PCANBus::rx_loop(State* s) {
  while (s->connected.load(std::memory_order_acquire)) {
    kitpcan_message m;
    kitpcan_timestamp t;
    kitpcan_status r = kitpcan_read(s->channel, &m, &t);
    if (r == KITPCAN_QUEUE_EMPTY) {
      if (s->event == nullptr || kitpcan_event_wait(s->event, 10) == 0) continue;
      r = kitpcan_read(s->channel, &m, &t);
    }
    if (r != KITPCAN_OK) continue;
    CANMessage msg;
    msg.id = m.id;
    // The length comes from the library's record: never more than the 8
    // data bytes that the message holds.
    msg.len = m.len > sizeof msg.data ? static_cast<uint8_t>(sizeof msg.data) : m.len;
    std::memcpy(msg.data, m.data, sizeof msg.data);
    msg.extended = m.type == KITPCAN_MESSAGE_EXTENDED;
    CANTimestamp ts;
    ts.milliseconds = t.millis;
    ts.millisecond_overflow = t.millis_overflow;
    ts.microseconds = t.micros;
    if (auto cb = s->current_callback()) (*cb)(msg, ts);
  }
}

}  // namespace demos
