// Tactile read and write paths: each getter against copying the same values
// out of plain arrays in the same run (counter "ratio"; a getter should take
// less than 1.5 times as long), a getter beside a decoder writing another
// channel, and one full-block decode under the sequence counter.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "hand_core.h"
#include "hand_ops.h"

namespace {

constexpr int kPalm = 11;  // 26 taxels on hand type 0

// The same readings in plain arrays, read with the getters' argument checks
// and count contract but nothing against a concurrent writer: the yardstick
// of each getter. noipa keeps the compiler from cloning them for the
// benchmark's constant channel, which would drop the checks the getters make.
struct PlainHand {
    struct Channel {
        std::pair<float, float> positions[morvx::kMaxTaxels] = {};
        float pressure[morvx::kMaxTaxels] = {};
        int taxels = 26;
        float normal_force[2] = {1.5f, 2.5f};
    };
    Channel channels[morvx::kSensorChannels];
};

__attribute__((noipa)) int copy_plain(const float* list, int size, float* values, int* count) {
    if (values == nullptr) {
        *count = size;
        return 0;
    }
    if (*count < 0) return 1;
    const int n = std::min(*count, size);
    std::copy_n(list, n, values);
    *count = n;
    return 0;
}

__attribute__((noipa)) int plain_pressure(const PlainHand& h, int channel, float* values, int* count) {
    if (channel < 1 || channel > 11 || count == nullptr) return 1;
    const PlainHand::Channel& c = h.channels[channel];
    return copy_plain(c.pressure, c.taxels, values, count);
}

__attribute__((noipa)) int plain_sensor_pos(const PlainHand& h, int channel, float* x, float* y, int* count) {
    if (channel < 1 || channel > 11 || count == nullptr) return 1;
    const PlainHand::Channel& c = h.channels[channel];
    if (x == nullptr || y == nullptr) {
        *count = c.taxels;
        return 0;
    }
    if (*count < 0) return 1;
    const int n = std::min(*count, c.taxels);
    for (int i = 0; i < n; ++i) {
        x[i] = c.positions[i].first;
        y[i] = c.positions[i].second;
    }
    *count = n;
    return 0;
}

__attribute__((noipa)) int plain_normal_force_ex(const PlainHand& h, int channel, float* values, int* count) {
    if (channel < 1 || channel > 11 || count == nullptr) return 1;
    return copy_plain(h.channels[channel].normal_force, 2, values, count);
}

__attribute__((noipa)) int plain_normal_force(const PlainHand& h, int channel, float* value) {
    if (channel < 1 || channel > 11 || value == nullptr) return 1;
    const float* pair = h.channels[channel].normal_force;
    *value = std::max(pair[0], pair[1]);
    return 0;
}

// Times batches of getter calls and of yardstick calls in turn, so both meet
// the same machine load, and reports each one's best batch per call and
// their ratio (getter / yardstick). The iteration time is one batch of each.
template <typename Getter, typename Yardstick>
void compare(benchmark::State& state, Getter getter, Yardstick yardstick) {
    using Clock = std::chrono::steady_clock;
    constexpr int kBatch = 256;
    double best_getter = 1e30, best_yardstick = 1e30;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        for (int i = 0; i < kBatch; ++i) getter();
        const auto t1 = Clock::now();
        for (int i = 0; i < kBatch; ++i) yardstick();
        const auto t2 = Clock::now();
        const double g = std::chrono::duration<double, std::nano>(t1 - t0).count() / kBatch;
        const double y = std::chrono::duration<double, std::nano>(t2 - t1).count() / kBatch;
        best_getter = std::min(best_getter, g);
        best_yardstick = std::min(best_yardstick, y);
        state.SetIterationTime(std::chrono::duration<double>(t2 - t0).count());
    }
    state.counters["getter_ns"] = best_getter;
    state.counters["plain_ns"] = best_yardstick;
    state.counters["ratio"] = best_getter / best_yardstick;
}

void BM_GetFingerPressurePalm(benchmark::State& state) {
    auto core = std::make_unique<morvx::HandCore>(nullptr);
    PlainHand plain;
    benchmark::DoNotOptimize(&plain);
    float values[26];
    compare(
        state,
        [&] {
            int count = 26;
            benchmark::DoNotOptimize(morvx::get_finger_pressure(*core, kPalm, values, &count));
            benchmark::DoNotOptimize(values);
        },
        [&] {
            int count = 26;
            benchmark::DoNotOptimize(plain_pressure(plain, kPalm, values, &count));
            benchmark::DoNotOptimize(values);
        });
}
BENCHMARK(BM_GetFingerPressurePalm)->UseManualTime();

void BM_GetFingerSensorPosPalm(benchmark::State& state) {
    auto core = std::make_unique<morvx::HandCore>(nullptr);
    PlainHand plain;
    benchmark::DoNotOptimize(&plain);
    float x[26], y[26];
    compare(
        state,
        [&] {
            int count = 26;
            benchmark::DoNotOptimize(morvx::get_finger_sensor_pos(*core, kPalm, x, y, &count));
            benchmark::DoNotOptimize(x);
            benchmark::DoNotOptimize(y);
        },
        [&] {
            int count = 26;
            benchmark::DoNotOptimize(plain_sensor_pos(plain, kPalm, x, y, &count));
            benchmark::DoNotOptimize(x);
            benchmark::DoNotOptimize(y);
        });
}
BENCHMARK(BM_GetFingerSensorPosPalm)->UseManualTime();

void BM_GetFingerNormalForceEx(benchmark::State& state) {
    auto core = std::make_unique<morvx::HandCore>(nullptr);
    PlainHand plain;
    benchmark::DoNotOptimize(&plain);
    float values[2];
    compare(
        state,
        [&] {
            int count = 2;
            benchmark::DoNotOptimize(morvx::get_finger_normal_force_ex(*core, 3, values, &count));
            benchmark::DoNotOptimize(values);
        },
        [&] {
            int count = 2;
            benchmark::DoNotOptimize(plain_normal_force_ex(plain, 3, values, &count));
            benchmark::DoNotOptimize(values);
        });
}
BENCHMARK(BM_GetFingerNormalForceEx)->UseManualTime();

void BM_GetFingerNormalForce(benchmark::State& state) {
    auto core = std::make_unique<morvx::HandCore>(nullptr);
    PlainHand plain;
    benchmark::DoNotOptimize(&plain);
    float value = 0;
    compare(
        state,
        [&] {
            benchmark::DoNotOptimize(morvx::get_finger_normal_force(*core, 3, &value));
            benchmark::DoNotOptimize(value);
        },
        [&] {
            benchmark::DoNotOptimize(plain_normal_force(plain, 3, &value));
            benchmark::DoNotOptimize(value);
        });
}
BENCHMARK(BM_GetFingerNormalForce)->UseManualTime();

// A scalar getter on channel 3 while the receive thread keeps decoding
// blocks into another channel: item 2 is channel 5, item 5 channel 11.
// Channels that share a cache line (their sequence words, or their values)
// slow the reader down more than channels that do not.
void BM_GetFingerNormalForceWhileAnotherChannelDecodes(benchmark::State& state) {
    auto core = std::make_unique<morvx::HandCore>(nullptr);
    const int item = static_cast<int>(state.range(0));
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        std::vector<uint8_t> block(26, 100);
        while (!stop.load(std::memory_order_relaxed))
            morvx::decode_tactile_block(*core, 0, item, block.data(), block.size());
    });
    float value = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(morvx::get_finger_normal_force(*core, 3, &value));
        benchmark::DoNotOptimize(value);
    }
    stop = true;
    writer.join();
}
BENCHMARK(BM_GetFingerNormalForceWhileAnotherChannelDecodes)->Arg(2)->Arg(5);

void BM_DecodeFullBlock(benchmark::State& state) {
    auto core = std::make_unique<morvx::HandCore>(nullptr);
    std::vector<uint8_t> block(24);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 11);
    for (auto _ : state) {
        morvx::decode_tactile_block(*core, 0, 1, block.data(), block.size());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_DecodeFullBlock);

}  // namespace
