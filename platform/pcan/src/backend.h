// What a kitpcan backend offers the channel table: a name for a handle, and
// a port that sends frames and delivers received ones to a sink.
#ifndef KITPCAN_SRC_BACKEND_H
#define KITPCAN_SRC_BACKEND_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kitpcan {

struct Frame {
  uint32_t id = 0;
  bool extended = false;
  uint8_t len = 0;
  uint8_t data[8] = {};
};

// Called on the backend's own thread (or the writer's, for a simulated
// device that answers at once) with each received frame.
using FrameSink = std::function<void(const Frame&)>;

class Port {
 public:
  virtual ~Port() = default;
  virtual bool write(const Frame& frame) = 0;
  // Stops delivery: once it returns, the sink is never called again.
  virtual void close() = 0;
};

class Backend {
 public:
  virtual ~Backend() = default;
  // True with the channel's name when hardware stands behind the handle.
  virtual bool channel_name(uint16_t handle, std::string* name) = 0;
  virtual std::unique_ptr<Port> open(uint16_t handle, uint16_t bitrate, FrameSink sink) = 0;
};

// The backend this library was linked with.
Backend& backend();

}  // namespace kitpcan

#endif  // KITPCAN_SRC_BACKEND_H
