// Figures measured against the simulated hand:
// - CAN-FD, in process: time from a status report leaving the simulated hand
//   to its position being visible through get_now_position (the report
//   crosses the link's delivery thread, which runs the library's decoder);
// - RS485: the bus worker's transmission spacing minus the 30 ms it must
//   keep, median and 99th percentile, with one and with two hands polled.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "morvane/morvane.h"
#include "simhand/canfd_hand.h"
#include "simhand/rs485_line.h"
#include "simhand/sim_link.h"

namespace {

using Clock = std::chrono::steady_clock;

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1));
  return v[i];
}

void BM_CanfdReportToGetter(benchmark::State& state) {
  simhand::SimLink link(3);
  auto model = std::make_shared<simhand::DeviceModel>(simhand::SimHandConfig::for_model_code(3));
  std::unique_ptr<morvx::Morvane> hand(new morvx::Morvane());
  simhand::SimCanfdHand sim(model, [&](uint32_t id, const uint8_t* d, size_t n, bool ext) { link.to_host.push(id, d, n, ext); });
  link.to_device.set_sink([&](const simhand::Packet& p) { sim.on_host_frame(p.id, p.data.data(), p.data.size(), p.extended); });
  link.to_host.set_sink([&](const simhand::Packet& p) {
    hand->set_canfd_data_decode(p.id, p.data.data(), static_cast<int>(p.data.size()));
  });
  morvx::send_canfd_callback send = [&](unsigned id, const uint8_t* d, unsigned n, int ext) {
    return link.to_device.push(id, d, n, ext != 0);
  };
  hand->set_send_canfd_callback_ex(&send);
  link.start();
  hand->initial(1, 1);
  link.wait_idle(std::chrono::milliseconds(500));
  // Only the joint report: one frame per tick.
  const uint8_t selection[] = {0x00, 0x02, 0x50, 0x01};
  sim.on_host_frame(0x501, selection, sizeof selection, false);

  std::vector<double> samples;
  int32_t value = 1000;
  for (auto _ : state) {
    value = value == 9000 ? 1000 : value + 1;
    model->set_joint_position(0, value);
    const auto t0 = Clock::now();
    sim.tick(t0);
    int seen = -1;
    while (hand->get_now_position(1, &seen) != 0 || seen != value) {
    }
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    state.SetIterationTime(s);
    samples.push_back(s * 1e6);
  }
  state.counters["p50_us"] = percentile(samples, 0.5);
  state.counters["p99_us"] = percentile(samples, 0.99);
  link.stop();
  hand.reset();
}
BENCHMARK(BM_CanfdReportToGetter)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_Rs485Spacing(benchmark::State& state) {
  const int hands = static_cast<int>(state.range(0));
  for (auto _ : state) {
    simhand::SimLink link(5);
    std::mutex mutex;
    std::vector<Clock::time_point> sends;
    simhand::SimRs485Line line([&](const uint8_t* d, size_t n) { link.to_host.push(0, d, n); });
    std::vector<std::shared_ptr<simhand::DeviceModel>> models;
    for (int i = 0; i < hands; ++i) {
      models.push_back(std::make_shared<simhand::DeviceModel>(
          simhand::SimHandConfig::for_model_code(5, static_cast<uint8_t>(i + 1))));
      line.add_hand(models.back());
    }
    std::unique_ptr<morvx::RS485SharedBus> bus(new morvx::RS485SharedBus());
    link.to_device.set_sink([&](const simhand::Packet& p) { line.on_host_bytes(p.data.data(), p.data.size()); });
    link.to_host.set_sink([&](const simhand::Packet& p) { bus->set_receive_data(p.data.data(), static_cast<int>(p.data.size())); });
    morvx::send_data_callback send = [&](const uint8_t* d, unsigned n) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        sends.push_back(Clock::now());
      }
      return link.to_device.push(0, d, n);
    };
    bus->set_send_callback_ex(&send);
    link.start();
    std::vector<std::unique_ptr<morvx::Morvane>> hs;
    for (int i = 0; i < hands; ++i) {
      hs.emplace_back(new morvx::Morvane());
      hs.back()->set_rs485_shared_bus(bus.get());
      hs.back()->initial(2, static_cast<unsigned>(i + 1));
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      sends.clear();
    }
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
    std::vector<double> excess;
    {
      std::lock_guard<std::mutex> lock(mutex);
      for (size_t i = 1; i < sends.size(); ++i)
        excess.push_back(std::chrono::duration<double, std::micro>(sends[i] - sends[i - 1]).count() - 30000.0);
    }
    state.counters["frames"] = static_cast<double>(excess.size() + 1);
    state.counters["excess_p50_us"] = percentile(excess, 0.5);
    state.counters["excess_p99_us"] = percentile(excess, 0.99);
    state.counters["excess_min_us"] = excess.empty() ? 0 : *std::min_element(excess.begin(), excess.end());
    link.stop();
    hs.clear();
    bus.reset();
  }
}
BENCHMARK(BM_Rs485Spacing)->Arg(1)->Arg(2)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
