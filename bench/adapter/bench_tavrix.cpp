// Timing settle cost in its worst cases (fast search against the plain
// loops), and CAN-FD frames per second through CANFD_Transmit and
// CANFD_Receive against the simulated adapter.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "bit_timing.h"
#include "simadapter/sim_adapter.h"
#include "slot_table.h"
#include "tavrix/tavrix.h"
#include "timing_reference.h"

namespace {

struct SettleCase {
  const char* name;
  uint32_t clock;
  tavrix::TimingLimits limits;
  timing_ref::Limits ref;
  uint32_t rate;
};

// Worst cases: the tolerance widens all the way to 1.2 (the requested rate is
// out of reach) or nearly so, over the largest limit set.
const SettleCase kCases[] = {
    {"nominal_8MHz_1999999", 8000000, tavrix::kNominalLimits, timing_ref::kNominal, 1999999},
    {"nominal_120MHz_1999999", 120000000, tavrix::kNominalLimits, timing_ref::kNominal, 1999999},
    {"nominal_8MHz_1900000", 8000000, tavrix::kNominalLimits, timing_ref::kNominal, 1900000},
    {"data_8MHz_1999999", 8000000, tavrix::kDataLimits, timing_ref::kData, 1999999},
    {"classic_36MHz_1000", 36000000, tavrix::kClassicLimits, timing_ref::kClassic, 1000},
    {"nominal_60MHz_kit", 60000000, tavrix::kNominalLimits, timing_ref::kNominal, 1000000},
};

void BM_Settle(benchmark::State& state) {
  const SettleCase& c = kCases[state.range(0)];
  state.SetLabel(c.name);
  for (auto _ : state) {
    auto t = tavrix::settle_timing(c.clock, c.limits, tavrix::BitTiming{c.rate, 0, 0, 0, 0});
    benchmark::DoNotOptimize(t);
  }
}
BENCHMARK(BM_Settle)->DenseRange(0, 5)->Unit(benchmark::kMicrosecond);

void BM_SettlePlainLoops(benchmark::State& state) {
  const SettleCase& c = kCases[state.range(0)];
  state.SetLabel(c.name);
  for (auto _ : state) {
    auto t = timing_ref::settle(c.clock, c.ref, timing_ref::Timing{c.rate, 0, 0, 0, 0});
    benchmark::DoNotOptimize(t);
  }
}
BENCHMARK(BM_SettlePlainLoops)->DenseRange(0, 5)->Iterations(1)->Unit(benchmark::kMillisecond);

// Slowest fast settle over a grid of clocks and rates, all three limit sets.
void BM_SettleGridMax(benchmark::State& state) {
  double worst_us = 0;
  for (auto _ : state) {
    for (uint32_t mhz = 8; mhz <= 120; mhz += 8) {
      for (uint32_t rate = 100; rate < 12000000; rate = rate * 3 / 2 + 7) {
        for (const auto* l : {&tavrix::kClassicLimits, &tavrix::kNominalLimits, &tavrix::kDataLimits}) {
          auto start = std::chrono::steady_clock::now();
          auto t = tavrix::settle_timing(mhz * 1000000, *l, tavrix::BitTiming{rate, 0, 0, 0, 0});
          benchmark::DoNotOptimize(t);
          double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
          if (us > worst_us) worst_us = us;
        }
      }
    }
  }
  state.counters["worst_settle_us"] = worst_us;
}
BENCHMARK(BM_SettleGridMax)->Iterations(1)->Unit(benchmark::kMillisecond);

std::shared_ptr<simadapter::SimAdapter> open_sim(bool fd_records) {
  simadapter::SimUsbBackend::instance().unplug_all();
  tavrix::reset_library_for_tests();
  auto a = simadapter::SimAdapter::create(simadapter::SimAdapterConfig{}, nullptr);
  simadapter::SimUsbBackend::instance().plug(a);
  CAN_ScanDevice();
  CAN_OpenDevice(0);
  CANFD_InitConfig c = {1000000, 5000000, 2, 31, 8, 5, 1, 11, 4, 2, 7, 0, static_cast<uint8_t>(fd_records ? 1 : 0)};
  CANFD_Init(0, &c);
  return a;
}

CANFD_Frame frame64() {
  CANFD_Frame f;
  std::memset(&f, 0, sizeof(f));
  f.id = 0x501;
  f.dlc = 15;
  f.flags = TAVRIX_FLAG_FD | TAVRIX_FLAG_BRS;
  return f;
}

// One 64-byte frame per call, as the kit's callers send.
void BM_CanfdTransmitOnePerCall(benchmark::State& state) {
  auto a = open_sim(true);
  CANFD_Frame f = frame64();
  int64_t frames = 0;
  for (auto _ : state) frames += CANFD_Transmit(0, &f, 1, 100);
  state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CanfdTransmitOnePerCall);

// 1000 frames per call (batches of 25 in FD-record mode).
void BM_CanfdTransmitBatched(benchmark::State& state) {
  auto a = open_sim(true);
  std::vector<CANFD_Frame> frames(1000, frame64());
  int64_t sent = 0;
  for (auto _ : state) sent += CANFD_Transmit(0, frames.data(), 1000, 100);
  state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(sent), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CanfdTransmitBatched);

// Frames from the bus in 0xA1 batches, fetched 500 per receive call.
void BM_CanfdReceive(benchmark::State& state) {
  auto a = open_sim(true);
  simcan::CanFrame in;
  in.id = 0x481;
  in.fd = true;
  in.brs = true;
  in.dlc = 15;
  std::vector<CANFD_Frame> out(500);
  int64_t received = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < 500; ++i) a->receive_from_bus(in);
    state.ResumeTiming();
    int got = 0;
    while (got < 500) {
      int n = CANFD_Receive(0, out.data(), 500, 100);
      if (n <= 0) break;
      got += n;
    }
    received += got;
  }
  state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(received), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CanfdReceive);

}  // namespace
