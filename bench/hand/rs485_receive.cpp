// Throughput of the RS485 receive parser, fed in chunks of 1, 7 and 1024
// bytes as a serial reader thread would: a stream of valid 'H' status frames
// (a 16-joint sized body), and a stream of stray frame starts that keep many
// candidates waiting at once. Frames are routed to one hand whose handler
// only counts.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "rs485_bus_context.h"

namespace {

std::size_t g_frames = 0;

int count_frame(morvx::HandCore*, morvx::ByteView) {
    ++g_frames;
    return 0;
}
bool no_poll(morvx::HandCore*, uint16_t&, std::vector<uint8_t>&) { return false; }

std::vector<uint8_t> make_stream(std::size_t frames) {
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i < frames; ++i) {
        std::vector<uint8_t> f{0x48, 0x01, 0x50, 48};
        for (int b = 0; b < 48; ++b) f.push_back(static_cast<uint8_t>(i + b));
        const uint16_t crc = morvx::crc16_modbus(f.data(), f.size());
        f.push_back(static_cast<uint8_t>(crc & 0xFF));
        f.push_back(static_cast<uint8_t>(crc >> 8));
        out.insert(out.end(), f.begin(), f.end());
    }
    return out;
}

// 'H', node 1, a body byte and the length byte 64, over and over: each start
// waits for 66 more bytes while the next ones arrive, and none is intact.
std::vector<uint8_t> make_stray_starts(std::size_t bytes) {
    std::vector<uint8_t> out;
    while (out.size() < bytes) {
        const uint8_t start[] = {0x48, 0x01, static_cast<uint8_t>(out.size()), 64};
        out.insert(out.end(), start, start + sizeof start);
    }
    return out;
}

void run_receive(benchmark::State& state, const std::vector<uint8_t>& stream) {
    const std::size_t chunk = static_cast<std::size_t>(state.range(0));
    int tag = 0;
    morvx::RS485SharedBusContext ctx(morvx::RS485HandHooks{&no_poll, &count_frame});
    auto ep = std::make_shared<morvx::RS485NodeEndpoint>(reinterpret_cast<morvx::HandCore*>(&tag), 1);
    ctx.register_endpoint(ep);
    g_frames = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < stream.size(); i += chunk)
            ctx.receive_bytes(stream.data() + i, std::min(chunk, stream.size() - i));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
    state.counters["frames"] = benchmark::Counter(static_cast<double>(g_frames), benchmark::Counter::kIsRate);
}

void BM_Rs485Receive(benchmark::State& state) { run_receive(state, make_stream(256)); }
void BM_Rs485ReceiveStrayStarts(benchmark::State& state) { run_receive(state, make_stray_starts(256 * 54)); }

}  // namespace

BENCHMARK(BM_Rs485Receive)->Arg(1)->Arg(7)->Arg(1024);
BENCHMARK(BM_Rs485ReceiveStrayStarts)->Arg(1)->Arg(7)->Arg(1024);
