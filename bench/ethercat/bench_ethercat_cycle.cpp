// The link's 5 ms cycle (one exchange, then a 5000 us sleep) against the
// simulated hand on a veth pair in a private network namespace, with plain
// 5 ms sleeps on a second thread at the same time as the baseline.
//
// Lateness of a cycle = its period - (5000 us + that cycle's exchange time);
// of a plain sleep = elapsed - 5000 us. Reported in microseconds: median,
// 99th percentile, maximum; and the cycles whose working counter was wrong
// or whose frame did not come back.
//
// Needs root (or CAP_SYS_ADMIN) for the namespace. 20000 cycles take about
// 100 s; ETHERCAT_BENCH_CYCLES=N runs fewer for a quick look:
//   build/benchmarks/bench_ethercat_cycle
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ethercat/master.h"
#include "ethercat_sim/sim_bus.h"
#include "ethercat_sim/veth_namespace.h"

namespace {

using Clock = std::chrono::steady_clock;

int cycles_to_run() {
  const char* env = std::getenv("ETHERCAT_BENCH_CYCLES");
  const int n = env != nullptr ? std::atoi(env) : 0;
  return n > 0 ? n : 20000;
}

struct Summary {
  double median = 0, p99 = 0, max = 0;
};

Summary summarise(std::vector<double> v) {
  Summary s;
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  s.median = v[v.size() / 2];
  s.p99 = v[std::min(v.size() - 1, v.size() * 99 / 100)];
  s.max = v.back();
  return s;
}

double us_between(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::micro>(b - a).count();
}

// One simulated slave on a veth pair in a private namespace, configured and
// mapped by the master. ready() is false (and the benchmark marked skipped)
// when any step fails.
struct VethBus {
  ecat_sim::VethNamespace ns;
  ecat_sim::SimBus sim{{ecat_sim::SlaveConfig()}};
  ecat::Master master;
  uint8_t image[4096] = {};

  bool ready(benchmark::State& state) {
    std::string why;
    if (!ns.create(&why)) {
      state.SkipWithError(("needs a private network namespace: " + why).c_str());
      return false;
    }
    bool ok = false;
    ns.run_inside([&] {
      ok = sim.start(ecat_sim::VethNamespace::slave_if()) && master.open(ecat_sim::VethNamespace::master_if()) > 0;
    });
    if (!ok || master.config_init() != 1 || master.config_map_group(image, sizeof image) <= 0) {
      state.SkipWithError("bus set-up failed");
      return false;
    }
    return true;
  }
};

void BM_EtherCatCycle5ms(benchmark::State& state) {
  auto bus = std::make_unique<VethBus>();
  if (!bus->ready(state)) return;
  ecat::Master& master = bus->master;
  ecat_sim::SimBus& sim = bus->sim;
  uint8_t* image = bus->image;
  master.state_check(0, ecat::kStateSafeOp, 2000000);
  master.send_process_data();
  master.receive_process_data(ecat::kTimeoutReturnUs);
  master.slave(0).state = ecat::kStateOp;
  master.write_state(0);
  for (int i = 0; i < 10 && master.slave(0).state != ecat::kStateOp; ++i) {
    master.send_process_data();
    master.receive_process_data(ecat::kTimeoutReturnUs);
    master.state_check(0, ecat::kStateOp, 200000);
  }
  if (master.slave(0).state != ecat::kStateOp) {
    state.SkipWithError("slave did not reach OP");
    return;
  }
  const int expected = 2 * master.group().outputs_wkc + master.group().inputs_wkc;
  const int n = cycles_to_run();

  for (auto _ : state) {
    std::atomic<bool> stop{false};
    std::vector<double> sleep_late;
    sleep_late.reserve(static_cast<size_t>(n) + 1000);
    std::thread baseline([&] {
      while (!stop.load(std::memory_order_relaxed)) {
        const Clock::time_point t0 = Clock::now();
        ecat::sleep_us(5000);
        sleep_late.push_back(us_between(t0, Clock::now()) - 5000.0);
      }
    });
    std::vector<double> late, exch;
    late.reserve(static_cast<size_t>(n));
    exch.reserve(static_cast<size_t>(n));
    int lost = 0;
    Clock::time_point start = Clock::now();
    double prev_exchange_us = 0;
    for (int c = 0; c <= n; ++c) {
      const Clock::time_point t0 = Clock::now();
      if (c > 0) late.push_back(us_between(start, t0) - 5000.0 - prev_exchange_us);
      start = t0;
      if (c == n) break;
      image[0] = static_cast<uint8_t>(c);
      master.send_process_data();
      const int wkc = master.receive_process_data(ecat::kTimeoutReturnUs);
      if (wkc < expected) ++lost;
      prev_exchange_us = us_between(t0, Clock::now());
      exch.push_back(prev_exchange_us);
      ecat::sleep_us(5000);
    }
    stop.store(true);
    baseline.join();
    const Summary l = summarise(late), e = summarise(exch), b = summarise(sleep_late);
    state.counters["cycles"] = n;
    state.counters["lost_cycles"] = lost;
    state.counters["late_median_us"] = l.median;
    state.counters["late_p99_us"] = l.p99;
    state.counters["late_max_us"] = l.max;
    state.counters["exchange_median_us"] = e.median;
    state.counters["exchange_p99_us"] = e.p99;
    state.counters["exchange_max_us"] = e.max;
    state.counters["sleep_late_median_us"] = b.median;
    state.counters["sleep_late_p99_us"] = b.p99;
    state.counters["sleep_late_max_us"] = b.max;
    state.counters["sleep_samples"] = static_cast<double>(sleep_late.size());
  }
  master.slave(0).state = ecat::kStateInit;
  master.write_state(0);
  master.close();
  sim.stop();
}
BENCHMARK(BM_EtherCatCycle5ms)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// The cost of one exchange alone, back to back.
void BM_EtherCatExchange(benchmark::State& state) {
  auto bus = std::make_unique<VethBus>();
  if (!bus->ready(state)) return;
  ecat::Master& master = bus->master;
  ecat_sim::SimBus& sim = bus->sim;
  int64_t lost = 0;
  for (auto _ : state) {
    master.send_process_data();
    if (master.receive_process_data(ecat::kTimeoutReturnUs) < 0) ++lost;
  }
  state.counters["lost"] = static_cast<double>(lost);
  master.close();
  sim.stop();
}
BENCHMARK(BM_EtherCatExchange)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
