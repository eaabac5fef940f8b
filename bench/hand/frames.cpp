// Decoding one status reply / TxPDO image and building one motion request per
// bus (dry run: built and kept, not sent).
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "hand_core.h"
#include "hand_ops.h"

using namespace morvx;

namespace {

std::unique_ptr<HandCore> make_hand(int bus_kind) {
    auto h = std::make_unique<HandCore>(nullptr);
    set_hand_type(*h, 0);
    h->bus_kind = bus_kind;
    h->dry_run = true;
    return h;
}

void BM_DecodeCanfdStatus50(benchmark::State& state) {
    auto h = make_hand(1);
    std::vector<uint8_t> reply(56, 0x11);
    reply[0] = 0x50;
    reply[1] = 6;
    for (auto _ : state) benchmark::DoNotOptimize(decode_canfd(*h, 0x481, ByteView(reply.data(), reply.size())));
}
BENCHMARK(BM_DecodeCanfdStatus50);

void BM_DecodeTpdo192(benchmark::State& state) {
    auto h = make_hand(0);
    std::vector<uint8_t> image(192, 0x22);
    image[0] = static_cast<uint8_t>(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(decode_tpdo(*h, ByteView(image.data(), image.size())));
}
BENCHMARK(BM_DecodeTpdo192)->Arg(0x00)->Arg(0x06)->Arg(0x40);

void BM_BuildMotion(benchmark::State& state) {
    const int bus = static_cast<int>(state.range(0));
    auto h = make_hand(bus);
    for (auto _ : state) {
        switch (bus) {
            case 0: build_rpdo_request(*h, kMotion); break;
            case 1: build_canfd_request(*h, kMotion); break;
            case 2: build_rs485_request(*h, kMotion); break;
            default: build_can_request(*h, kMotion); break;
        }
    }
}
BENCHMARK(BM_BuildMotion)->ArgName("bus")->DenseRange(0, 3);

}  // namespace
