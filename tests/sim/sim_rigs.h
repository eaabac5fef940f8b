// Test rigs: one hand object of the library wired to a simulated hand
// through a faulty link, per bus. A rig owns every thread involved and stops
// them in a safe order: the simulated hand's own thread, then the link's
// delivery threads (which call into the library), then the hand object.
#ifndef TESTS_SIM_SIM_RIGS_H
#define TESTS_SIM_SIM_RIGS_H

#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "morvane/morvane.h"
#include "simhand/can_servo_hand.h"
#include "simhand/canfd_hand.h"
#include "simhand/device_model.h"
#include "simhand/ethercat_hand.h"
#include "simhand/rs485_line.h"
#include "simhand/sim_link.h"

namespace simtest {

using namespace std::chrono_literals;

// Polls pred every 2 ms until it holds or the time-out passes.
inline bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 3000ms) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(2ms);
  }
  return pred();
}

// Enables and homes every joint; returns once the controller reports them
// homed and the library has seen them standing at position 0 (the joints
// stand elsewhere at power-up, so position 0 means homing has ended).
// The device's own view: every joint homed (status bit 4) and holding (run status 1).
inline bool device_homed_and_holding(const simhand::DeviceModel& model, int joints) {
  const simhand::ModelSnapshot s = model.snapshot();
  for (int j = 0; j < joints; ++j)
    if (!(s.joints[j].status & 0x10) || (s.joints[j].status >> 5) != 1) return false;
  return true;
}

// Threads of this process (the rigs' and the library's), from /proc.
inline int thread_count() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

inline void enable_and_home(morvx::Morvane& hand, const simhand::DeviceModel& model, int joints) {
  ASSERT_EQ(0, hand.set_enable(0, 1));
  ASSERT_TRUE(wait_until([&] {
    for (int j = 1; j <= joints; ++j) {
      int on = 0;
      if (hand.get_enable(j, &on) != 0 || on != 1) return false;
    }
    return true;
  }));
  ASSERT_EQ(0, hand.home_motors(0));
  ASSERT_TRUE(wait_until([&] { return device_homed_and_holding(model, joints); }));
  ASSERT_TRUE(wait_until([&] {
    for (int j = 1; j <= joints; ++j) {
      int status = -1, reached = 0, pos = -1;
      hand.get_now_status(j, &status);
      hand.get_position_reached(j, &reached);
      hand.get_now_position(j, &pos);
      if (status != 1 || reached != 1 || pos != 0) return false;
    }
    return true;
  }));
}

class CanfdRig {
 public:
  explicit CanfdRig(const simhand::SimHandConfig& config, uint64_t seed = 7,
                    std::chrono::microseconds period = 5ms, bool with_hand = true)
      : link(seed), model(std::make_shared<simhand::DeviceModel>(config)) {
    sim.reset(new simhand::SimCanfdHand(model, [this](uint32_t id, const uint8_t* d, size_t n, bool ext) {
      link.to_host.push(id, d, n, ext);
    }));
    link.to_device.set_sink([this](const simhand::Packet& p) {
      sim->on_host_frame(p.id, p.data.data(), p.data.size(), p.extended);
    });
    link.to_host.set_sink([this](const simhand::Packet& p) {
      if (sink_override) {
        sink_override(p);
        return;
      }
      if (hand) hand->set_canfd_data_decode(p.id, p.data.data(), static_cast<int>(p.data.size()));
    });
    send_ = [this](unsigned id, const uint8_t* d, unsigned n, int ext) {
      return link.to_device.push(id, d, n, ext != 0);
    };
    if (with_hand) {
      hand.reset(new morvx::Morvane());
      hand->set_send_canfd_callback_ex(&send_);
    }
    link.start();
    sim->start(period);
  }
  ~CanfdRig() { shutdown(); }
  void shutdown() {
    sim->stop();
    link.stop();
    hand.reset();
  }
  void* send_callable() { return &send_; }

  simhand::SimLink link;
  std::shared_ptr<simhand::DeviceModel> model;
  std::unique_ptr<simhand::SimCanfdHand> sim;
  std::unique_ptr<morvx::Morvane> hand;
  // Set before traffic flows: replaces the decode sink (C-interface rigs).
  std::function<void(const simhand::Packet&)> sink_override;

 private:
  morvx::send_canfd_callback send_;
};


// Hands on RS485: one hand with its private bus context, or several on a
// shared bus object. Each simulated hand answers on one simulated line.
class Rs485Rig {
 public:
  Rs485Rig(const std::vector<simhand::SimHandConfig>& configs, bool shared, uint64_t seed = 11)
      : link(seed) {
    send_times.reserve(kSendTimesKept);
    line.reset(new simhand::SimRs485Line([this](const uint8_t* d, size_t n) { link.to_host.push(0, d, n); }));
    for (const auto& c : configs) {
      models.push_back(std::make_shared<simhand::DeviceModel>(c));
      line->add_hand(models.back());
    }
    link.to_device.set_sink([this](const simhand::Packet& p) { line->on_host_bytes(p.data.data(), p.data.size()); });
    link.to_host.set_sink([this](const simhand::Packet& p) {
      if (bus) bus->set_receive_data(p.data.data(), static_cast<int>(p.data.size()));
      else if (!hands.empty()) hands[0]->set_rs485_data_decode(p.data.data(), static_cast<int>(p.data.size()));
    });
    send_ = [this](const uint8_t* d, unsigned n) {
      {
        std::lock_guard<std::mutex> lock(send_times_mutex);
        if (send_times.size() < kSendTimesKept) send_times.push_back(std::chrono::steady_clock::now());
      }
      return link.to_device.push(0, d, n);
    };
    if (shared) {
      bus.reset(new morvx::RS485SharedBus());
      bus->set_send_callback_ex(&send_);
    }
    for (size_t i = 0; i < configs.size(); ++i) {
      hands.emplace_back(new morvx::Morvane());
      if (shared) hands.back()->set_rs485_shared_bus(bus.get());
      else hands.back()->set_send_rs485_callback_ex(&send_);
    }
    link.start();
  }
  ~Rs485Rig() { shutdown(); }
  void shutdown() {
    link.stop();
    hands.clear();
    bus.reset();
  }
  morvx::Morvane& hand(size_t i = 0) { return *hands[i]; }
  simhand::DeviceModel& model(size_t i = 0) { return *models[i]; }

  simhand::SimLink link;
  std::vector<std::shared_ptr<simhand::DeviceModel>> models;
  std::unique_ptr<simhand::SimRs485Line> line;
  std::unique_ptr<morvx::RS485SharedBus> bus;
  std::vector<std::unique_ptr<morvx::Morvane>> hands;
  // When the library's send function ran: the first kSendTimesKept times
  // since the last clear(), in storage reserved once, so a long run does not
  // grow (the library sends about 35 frames a second on a polled bus).
  static constexpr size_t kSendTimesKept = 1024;
  std::mutex send_times_mutex;
  std::vector<std::chrono::steady_clock::time_point> send_times;

 private:
  morvx::send_data_callback send_;
};

// One hand on EtherCAT: a cycle thread stands for the master, exchanging the
// last RxPDO image the library sent for a TxPDO image every period. The
// RxPDO image crosses the link to the device, the TxPDO image back.
// initial() applies the hand type's tables while no image is decoded: the
// library does not guard those tables against its decoders (see
// test_sim_library_findings), so TxPDO images reach it only afterwards.
class EthercatRig {
 public:
  explicit EthercatRig(const simhand::SimHandConfig& config, uint64_t seed = 13,
                       std::chrono::microseconds period = 2ms)
      : link(seed), model(std::make_shared<simhand::DeviceModel>(config)), sim(model), rx_(64, 0) {
    link.to_device.set_sink([this](const simhand::Packet& p) {
      sim.exchange(p.data.data(), p.data.size(), simhand::SimClock::now(), tx_);
      link.to_host.push(0, tx_, sizeof tx_);
    });
    link.to_host.set_sink([this](const simhand::Packet& p) {
      if (hand && decoding.load()) hand->set_tpdo_data_decode(p.data.data(), static_cast<int>(p.data.size()));
    });
    send_ = [this](const uint8_t* d, unsigned n) {
      std::lock_guard<std::mutex> lock(rx_mutex_);
      rx_.assign(d, d + n);
      return true;
    };
    hand.reset(new morvx::Morvane());
    hand->set_send_rpdo_callback_ex(&send_);
    link.start();
    cycle_ = std::thread([this, period] {
      std::unique_lock<std::mutex> lock(stop_mutex_);
      std::vector<uint8_t> image;  // keeps its storage from cycle to cycle
      while (!stop_) {
        {
          std::lock_guard<std::mutex> rx(rx_mutex_);
          image.assign(rx_.begin(), rx_.end());
        }
        link.to_device.push(0, image.data(), image.size());
        stop_cv_.wait_for(lock, period, [this] { return stop_; });
      }
    });
  }
  ~EthercatRig() { shutdown(); }
  int initial() {
    decoding = false;
    const int r = hand->initial(0);
    decoding = true;
    return r;
  }
  void shutdown() {
    {
      std::lock_guard<std::mutex> lock(stop_mutex_);
      stop_ = true;
    }
    stop_cv_.notify_all();
    if (cycle_.joinable()) cycle_.join();
    link.stop();
    hand.reset();
  }

  simhand::SimLink link;
  std::shared_ptr<simhand::DeviceModel> model;
  simhand::SimEthercatHand sim;
  std::unique_ptr<morvx::Morvane> hand;
  std::atomic<bool> decoding{true};

 private:
  morvx::send_data_callback send_;
  std::mutex rx_mutex_;
  std::vector<uint8_t> rx_;
  uint8_t tx_[simhand::kTxpdoImageSize] = {};  // the link's delivery thread's
  std::mutex stop_mutex_;
  std::condition_variable stop_cv_;
  bool stop_ = false;
  std::thread cycle_;
};

// The 16-joint servo hand on classic CAN; the library's monitor polls it.
class CanRig {
 public:
  explicit CanRig(uint64_t seed = 17)
      : link(seed), model(std::make_shared<simhand::DeviceModel>(simhand::SimHandConfig::servo_hand())),
        sim(model, [this](uint32_t id, const uint8_t* d, size_t n) { link.to_host.push(id, d, n); }) {
    link.to_device.set_sink([this](const simhand::Packet& p) { sim.on_host_frame(p.id, p.data.data(), p.data.size()); });
    link.to_host.set_sink([this](const simhand::Packet& p) {
      if (hand) hand->set_can_data_decode(p.id, p.data.data(), static_cast<int>(p.data.size()));
    });
    send_ = [this](unsigned id, const uint8_t* d, unsigned n) { return link.to_device.push(id, d, n); };
    hand.reset(new morvx::Morvane());
    hand->set_send_can_callback_ex(&send_);
    link.start();
  }
  ~CanRig() { shutdown(); }
  void shutdown() {
    if (hand) hand->close();  // the monitor thread sends; stop it first
    link.stop();
    hand.reset();
  }

  simhand::SimLink link;
  std::shared_ptr<simhand::DeviceModel> model;
  simhand::SimCanServoHand sim;
  std::unique_ptr<morvx::Morvane> hand;

 private:
  morvx::send_can_callback send_;
};

}  // namespace simtest

#endif  // TESTS_SIM_SIM_RIGS_H
