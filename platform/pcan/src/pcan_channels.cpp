// The channel table: open ports, their receive queues, receive events and
// time stamps. Backend-independent.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "backend.h"
#include "kitpcan/pcan.h"

namespace kitpcan {
namespace {

// Messages kept per channel before the newest are dropped (a reader that
// stopped reading must not make memory grow without end).
constexpr size_t kQueueLimit = 32768;

const uint16_t kHandles[] = {0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x509, 0x50A};

bool known_handle(uint16_t h) { return std::find(std::begin(kHandles), std::end(kHandles), h) != std::end(kHandles); }

bool bitrate_known(uint16_t code) {
  return code == KITPCAN_BITRATE_1M || code == KITPCAN_BITRATE_500K || code == KITPCAN_BITRATE_250K ||
         code == KITPCAN_BITRATE_125K;
}

struct Received {
  Frame frame;
  std::chrono::steady_clock::time_point at;
};

// Shared between the table and the port's sink, so a late delivery after
// uninitialize finds a live (if forgotten) queue.
struct ChannelState {
  std::mutex mutex;
  std::deque<Received> queue;
  kitpcan_event* event = nullptr;
  std::chrono::steady_clock::time_point opened_at;
  uint64_t dropped = 0;
  // Signalling happens under the mutex, so that once set_value or
  // uninitialize has replaced the event, the old one is never touched again
  // and its owner may close it.
  void push(const Frame& f) {
    std::lock_guard<std::mutex> lock(mutex);
    if (queue.size() >= kQueueLimit) {
      ++dropped;
      return;
    }
    queue.push_back(Received{f, std::chrono::steady_clock::now()});
    if (event != nullptr) kitpcan_event_signal(event);
  }
};

struct Channel {
  std::shared_ptr<ChannelState> state;
  std::shared_ptr<Port> port;
};

std::mutex table_mutex;
std::map<uint16_t, Channel> table;

// The open channel, or null.
bool find_channel(uint16_t handle, Channel* out) {
  std::lock_guard<std::mutex> lock(table_mutex);
  auto it = table.find(handle);
  if (it == table.end()) return false;
  *out = it->second;
  return true;
}

}  // namespace
}  // namespace kitpcan

using namespace kitpcan;

extern "C" {

kitpcan_status kitpcan_initialize(kitpcan_handle channel, uint16_t bitrate, uint32_t, uint32_t, uint16_t) {
  if (!known_handle(channel)) return KITPCAN_ERR_BAD_CHANNEL;
  if (!bitrate_known(bitrate)) return KITPCAN_ERR_BAD_BITRATE;
  std::lock_guard<std::mutex> lock(table_mutex);
  if (table.count(channel) != 0) return KITPCAN_ERR_IN_USE;
  auto state = std::make_shared<ChannelState>();
  state->opened_at = std::chrono::steady_clock::now();
  std::weak_ptr<ChannelState> weak = state;
  std::unique_ptr<Port> port;
  try {
    port = backend().open(channel, bitrate, [weak](const Frame& f) {
      if (auto s = weak.lock()) s->push(f);
    });
  } catch (...) {
    return KITPCAN_ERR_SYSTEM;
  }
  if (!port) return KITPCAN_ERR_BAD_CHANNEL;
  table[channel] = Channel{state, std::shared_ptr<Port>(std::move(port))};
  return KITPCAN_OK;
}

kitpcan_status kitpcan_uninitialize(kitpcan_handle channel) {
  Channel c;
  {
    std::lock_guard<std::mutex> lock(table_mutex);
    auto it = table.find(channel);
    if (it == table.end()) return KITPCAN_ERR_NOT_OPEN;
    c = it->second;
    table.erase(it);
  }
  c.port->close();  // no delivery after this
  std::lock_guard<std::mutex> lock(c.state->mutex);
  c.state->event = nullptr;
  c.state->queue.clear();
  return KITPCAN_OK;
}

kitpcan_status kitpcan_reset(kitpcan_handle channel) {
  Channel c;
  if (!find_channel(channel, &c)) return KITPCAN_ERR_NOT_OPEN;
  std::lock_guard<std::mutex> lock(c.state->mutex);
  c.state->queue.clear();
  return KITPCAN_OK;
}

kitpcan_status kitpcan_read(kitpcan_handle channel, kitpcan_message* message, kitpcan_timestamp* timestamp) {
  if (message == nullptr) return KITPCAN_ERR_BAD_PARAM;
  Channel c;
  if (!find_channel(channel, &c)) return KITPCAN_ERR_NOT_OPEN;
  Received r;
  std::chrono::steady_clock::time_point opened;
  {
    std::lock_guard<std::mutex> lock(c.state->mutex);
    if (c.state->queue.empty()) return KITPCAN_QUEUE_EMPTY;
    r = c.state->queue.front();
    c.state->queue.pop_front();
    opened = c.state->opened_at;
  }
  std::memset(message, 0, sizeof *message);
  message->id = r.frame.id;
  message->type = r.frame.extended ? KITPCAN_MESSAGE_EXTENDED : KITPCAN_MESSAGE_STANDARD;
  message->len = std::min<uint8_t>(r.frame.len, 8);
  std::memcpy(message->data, r.frame.data, message->len);
  if (timestamp != nullptr) {
    const uint64_t us = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(r.at - opened).count());
    const uint64_t ms = us / 1000;
    timestamp->millis = static_cast<uint32_t>(ms & 0xFFFFFFFFu);
    timestamp->millis_overflow = static_cast<uint16_t>((ms >> 32) & 0xFFFFu);
    timestamp->micros = static_cast<uint16_t>(us % 1000);
  }
  return KITPCAN_OK;
}

kitpcan_status kitpcan_write(kitpcan_handle channel, const kitpcan_message* message) {
  if (message == nullptr || message->len > 8 ||
      (message->type != KITPCAN_MESSAGE_STANDARD && message->type != KITPCAN_MESSAGE_EXTENDED))
    return KITPCAN_ERR_BAD_PARAM;
  const bool extended = message->type == KITPCAN_MESSAGE_EXTENDED;
  if (message->id > (extended ? 0x1FFFFFFFu : 0x7FFu)) return KITPCAN_ERR_BAD_PARAM;
  Channel c;
  if (!find_channel(channel, &c)) return KITPCAN_ERR_NOT_OPEN;
  Frame f;
  f.id = message->id;
  f.extended = extended;
  f.len = message->len;
  std::memcpy(f.data, message->data, f.len);
  return c.port->write(f) ? KITPCAN_OK : KITPCAN_ERR_TRANSMIT;
}

kitpcan_status kitpcan_get_value(kitpcan_handle channel, uint8_t parameter, void* buffer, uint32_t size) {
  if (buffer == nullptr || size == 0) return KITPCAN_ERR_BAD_PARAM;
  if (parameter != KITPCAN_PARAM_HARDWARE_NAME) return KITPCAN_ERR_BAD_PARAM;
  if (!known_handle(channel)) return KITPCAN_ERR_BAD_CHANNEL;
  std::string name;
  if (!backend().channel_name(channel, &name)) return KITPCAN_ERR_BAD_CHANNEL;
  const size_t n = std::min<size_t>(name.size(), size - 1);
  std::memcpy(buffer, name.data(), n);
  static_cast<char*>(buffer)[n] = '\0';
  return KITPCAN_OK;
}

kitpcan_status kitpcan_set_value(kitpcan_handle channel, uint8_t parameter, void* buffer, uint32_t size) {
  if (parameter != KITPCAN_PARAM_RECEIVE_EVENT || buffer == nullptr || size != sizeof(kitpcan_event*))
    return KITPCAN_ERR_BAD_PARAM;
  Channel c;
  if (!find_channel(channel, &c)) return KITPCAN_ERR_NOT_OPEN;
  kitpcan_event* event = nullptr;
  std::memcpy(&event, buffer, sizeof event);
  std::lock_guard<std::mutex> lock(c.state->mutex);
  c.state->event = event;
  if (event != nullptr && !c.state->queue.empty()) kitpcan_event_signal(event);
  return KITPCAN_OK;
}

}  // extern "C"
