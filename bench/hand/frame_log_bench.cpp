// Cost of the frame log on the logging path: a frame whose code is filtered
// out, a logged 64-byte frame, and several threads logging at once.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "frame_log.h"

namespace {

morvx::FrameLog& shared_log() {
    static morvx::FrameLog log;
    static bool ready = [] {
        int code = 0x01;
        log.set_filter(true, &code, 1);
        log.log_on(true, 10000);
        return true;
    }();
    (void)ready;
    return log;
}

void BM_FilteredOut(benchmark::State& state) {
    morvx::FrameLog& log = shared_log();
    uint8_t frame[64] = {0x02};
    for (auto _ : state) log.log_frame(frame, sizeof frame, true);
}
BENCHMARK(BM_FilteredOut);

void BM_Logged64Bytes(benchmark::State& state) {
    morvx::FrameLog& log = shared_log();
    uint8_t frame[64] = {0x01};
    for (auto _ : state) log.log_frame(frame, sizeof frame, true);
}
BENCHMARK(BM_Logged64Bytes)->Threads(1)->Threads(4);

}  // namespace
