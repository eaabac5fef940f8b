// The USB layer contract's rig (usb_layer_contract.h) for backends over the
// simulated USB bus: a fresh adapter plugs into the bus and is opened through
// Backend::get(), the simulated backend itself or the one linked into the
// program (on Windows the libusbK backend, through the stand-in libusbK.dll).
#ifndef TESTS_ADAPTER_SIM_BUS_RIG_H
#define TESTS_ADAPTER_SIM_BUS_RIG_H

#include <memory>

#include "kitusb/usb_layer.h"
#include "simadapter/sim_adapter.h"
#include "usb_layer_contract.h"

namespace tavrix_test {

struct SimulatedBackend {
  static kitusb::UsbBackend& get() { return simadapter::SimUsbBackend::instance(); }
};

struct LinkedBackend {
  static kitusb::UsbBackend& get() { return kitusb::backend(); }
};

template <typename Backend>
class SimBusRig {
 public:
  bool open() {
    simadapter::SimUsbBackend& bus = simadapter::SimUsbBackend::instance();
    bus.unplug_all();
    adapter_ = simadapter::SimAdapter::create(simadapter::SimAdapterConfig{});
    bus.plug(adapter_);
    device_ = usb_contract::open_the_adapter(Backend::get());
    return device_ != nullptr;
  }
  kitusb::UsbDevice& device() { return *device_; }
  simadapter::SimAdapter& adapter() { return *adapter_; }
  void unplug() { simadapter::SimUsbBackend::instance().unplug(adapter_); }
  void close() {
    device_.reset();
    simadapter::SimUsbBackend::instance().unplug_all();
  }

 private:
  std::shared_ptr<simadapter::SimAdapter> adapter_;
  std::unique_ptr<kitusb::UsbDevice> device_;
};

}  // namespace tavrix_test

#endif  // TESTS_ADAPTER_SIM_BUS_RIG_H
