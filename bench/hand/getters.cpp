// Cost of a published-value getter against the floor it is built on: one
// atomic pointer load and one indexed load.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "hand_core.h"
#include "morvane/morvane.h"

namespace {

void BM_GetNowPosition(benchmark::State& state) {
    morvx::Morvane hand;
    int joint = 1;
    int value = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(hand.get_now_position(joint, &value));
        benchmark::DoNotOptimize(value);
        joint = joint == 6 ? 1 : joint + 1;
    }
}
BENCHMARK(BM_GetNowPosition);

// The floor: what DoubleBuffer::read costs without the class layer's checks.
void BM_AtomicLoadIndexedRead(benchmark::State& state) {
    static int32_t slots[2][morvx::kJointSlots] = {};
    std::atomic<int32_t*> current{slots[0]};
    int joint = 1;
    for (auto _ : state) {
        int32_t* half = current.load(std::memory_order_seq_cst);
        // Into a register, so the slot is really loaded: DoNotOptimize may
        // take it as a memory operand, which loads nothing.
        const int32_t value = half[joint - 1];
        asm volatile("" : : "r"(value));
        joint = joint == 6 ? 1 : joint + 1;
    }
}
BENCHMARK(BM_AtomicLoadIndexedRead);

// What a call into the library costs before it reads anything: an
// out-of-line function that loads one slot and stores it. The getters are
// such calls, so their cost over the floor above is mostly this.
__attribute__((noinline)) int out_of_line_slot_read(const int32_t* slots, int joint, int* out) {
    *out = __atomic_load_n(&slots[joint - 1], __ATOMIC_RELAXED);
    return 0;
}
void BM_OutOfLineSlotRead(benchmark::State& state) {
    static int32_t slots[morvx::kJointSlots] = {};
    int joint = 1;
    int value = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(out_of_line_slot_read(slots, joint, &value));
        benchmark::DoNotOptimize(value);
        joint = joint == 6 ? 1 : joint + 1;
    }
}
BENCHMARK(BM_OutOfLineSlotRead);

// The getter while another thread keeps publishing the same buffer (the
// receive thread's case): shows the cost of the shared cache line.
void BM_GetNowPositionWhilePublishing(benchmark::State& state) {
    morvx::Morvane hand;
    morvx::HandCore& h = *hand.core();
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        int32_t v = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            for (int s = 0; s < 6; ++s) h.now_position.write(s, ++v);
            h.now_position.publish();
        }
    });
    int joint = 1;
    int value = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(hand.get_now_position(joint, &value));
        benchmark::DoNotOptimize(value);
        joint = joint == 6 ? 1 : joint + 1;
    }
    stop = true;
    writer.join();
}
BENCHMARK(BM_GetNowPositionWhilePublishing);

}  // namespace
