// Throughput of the RS485 receive parser: a stream of valid 'H' status frames
// (a 16-joint sized body) fed in chunks of 1, 7 and 1024 bytes, as a serial
// reader thread would. Frames are routed to one hand whose handler only counts.
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

void BM_Rs485Receive(benchmark::State& state) {
    const std::size_t chunk = static_cast<std::size_t>(state.range(0));
    const std::vector<uint8_t> stream = make_stream(256);
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

}  // namespace

BENCHMARK(BM_Rs485Receive)->Arg(1)->Arg(7)->Arg(1024);
