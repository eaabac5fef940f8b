// Tactile read and write paths: one getter copy of the 26-taxel palm channel,
// and one full-block decode under the sequence counter.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "hand_core.h"
#include "hand_ops.h"

namespace {

void BM_GetFingerPressurePalm(benchmark::State& state) {
    auto core = std::make_unique<morvx::HandCore>(nullptr);
    float values[26];
    for (auto _ : state) {
        int count = 26;
        benchmark::DoNotOptimize(morvx::get_finger_pressure(*core, 11, values, &count));
        benchmark::DoNotOptimize(values);
    }
}
BENCHMARK(BM_GetFingerPressurePalm);

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
