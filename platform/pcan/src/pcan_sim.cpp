// Simulated backend: channels exist where a simulated device is attached.
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "backend.h"
#include "kitpcan/pcan_sim.h"

namespace kitpcan {
namespace {

struct SimChannel {
  std::string name;
  std::shared_ptr<SimDevice> device;
  std::shared_ptr<std::mutex> device_mutex = std::make_shared<std::mutex>();
  std::shared_ptr<FrameSink> sink;  // set while the program has the channel open
  uint64_t from_host = 0;
};

class SimBackend : public Backend {
 public:
  bool channel_name(uint16_t handle, std::string* name) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = channels_.find(handle);
    if (it == channels_.end() || !it->second.device) return false;
    *name = it->second.name;
    return true;
  }

  std::unique_ptr<Port> open(uint16_t handle, uint16_t, FrameSink sink) override;

  void attach(uint16_t handle, const std::string& name, SimDevice device) {
    std::shared_ptr<std::mutex> dm;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      dm = channels_[handle].device_mutex;
    }
    std::lock_guard<std::mutex> device_lock(*dm);  // no call of the old device runs
    std::lock_guard<std::mutex> lock(mutex_);
    SimChannel& c = channels_[handle];
    c.name = name;
    c.device = std::make_shared<SimDevice>(std::move(device));
    c.from_host = 0;
  }

  void detach(uint16_t handle) {
    std::shared_ptr<std::mutex> dm;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = channels_.find(handle);
      if (it == channels_.end()) return;
      dm = it->second.device_mutex;
    }
    std::lock_guard<std::mutex> device_lock(*dm);
    std::lock_guard<std::mutex> lock(mutex_);
    channels_[handle].device.reset();
  }

  bool to_host(uint16_t handle, const Frame& f) {
    std::shared_ptr<FrameSink> sink;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = channels_.find(handle);
      if (it == channels_.end() || !it->second.sink) return false;
      sink = it->second.sink;
    }
    (*sink)(f);
    return true;
  }

  bool from_host(uint16_t handle, const Frame& f) {
    std::shared_ptr<SimDevice> device;
    std::shared_ptr<std::mutex> dm;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = channels_.find(handle);
      if (it == channels_.end()) return true;  // nobody listening: the frame is on the wire anyway
      ++it->second.from_host;
      device = it->second.device;
      dm = it->second.device_mutex;
    }
    if (!device) return true;
    SimMessage m;
    m.id = f.id;
    m.extended = f.extended;
    m.len = f.len;
    std::memcpy(m.data, f.data, sizeof m.data);
    std::lock_guard<std::mutex> device_lock(*dm);
    (*device)(m);
    return true;
  }

  void set_sink(uint16_t handle, std::shared_ptr<FrameSink> sink) {
    std::lock_guard<std::mutex> lock(mutex_);
    channels_[handle].sink = std::move(sink);
  }

  uint64_t messages_from_host(uint16_t handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = channels_.find(handle);
    return it == channels_.end() ? 0 : it->second.from_host;
  }

 private:
  std::mutex mutex_;
  std::map<uint16_t, SimChannel> channels_;
};

SimBackend& sim() {
  static SimBackend* b = new SimBackend();  // never destroyed: devices may outlive static destruction
  return *b;
}

class SimPort : public Port {
 public:
  explicit SimPort(uint16_t handle) : handle_(handle) {}
  ~SimPort() override { close(); }
  bool write(const Frame& frame) override { return !closed_ && sim().from_host(handle_, frame); }
  void close() override {
    if (closed_.exchange(true)) return;
    sim().set_sink(handle_, nullptr);
  }

 private:
  uint16_t handle_;
  std::atomic<bool> closed_{false};
};

std::unique_ptr<Port> SimBackend::open(uint16_t handle, uint16_t, FrameSink sink) {
  std::string name;
  if (!channel_name(handle, &name)) return nullptr;
  set_sink(handle, std::make_shared<FrameSink>(std::move(sink)));
  return std::unique_ptr<Port>(new SimPort(handle));
}

}  // namespace

Backend& backend() { return sim(); }

void sim_attach(uint16_t handle, const std::string& name, SimDevice device) {
  sim().attach(handle, name, std::move(device));
}
void sim_detach(uint16_t handle) { sim().detach(handle); }
bool sim_send_to_host(uint16_t handle, const SimMessage& message) {
  Frame f;
  f.id = message.id;
  f.extended = message.extended;
  f.len = message.len > 8 ? 8 : message.len;
  std::memcpy(f.data, message.data, sizeof f.data);
  return sim().to_host(handle, f);
}
uint64_t sim_messages_from_host(uint16_t handle) { return sim().messages_from_host(handle); }

}  // namespace kitpcan
