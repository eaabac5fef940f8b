// Feeds the RS485 receive parser a byte stream cut into chunks that the input
// itself chooses: the first byte gives the number of chunk-size bytes that
// follow (up to 16), each a chunk length 0..255 used in turn, the rest is the
// stream. Every chunk is an exact-size heap copy, so ASan sees any over-read.
// Replies are routed to two fake hands that check each frame they are given.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "rs485_bus_context.h"

namespace {

int check_frame(morvx::HandCore*, morvx::ByteView frame) {
    // Every delivered frame is complete and its CRC holds.
    if (frame.size() < 6 || frame.size() > 70) std::abort();
    const uint8_t start = frame[0];
    if (start != 'H' && start != 'X' && start != 'p') std::abort();
    if (start == 'X' && frame.size() != 12) std::abort();
    if (start != 'X' && frame.size() != static_cast<std::size_t>(frame[3]) + 6) std::abort();
    const uint16_t crc = morvx::crc16_modbus(frame.data(), frame.size() - 2);
    if (morvx::read_le16(frame.data() + frame.size() - 2) != crc) std::abort();
    return frame[2] == 0xEE ? 8 : 0;
}

bool no_poll(morvx::HandCore*, uint16_t&, std::vector<uint8_t>&) { return false; }

struct Harness {
    Harness() : ctx(morvx::RS485HandHooks{&no_poll, &check_frame}) {
        for (uint8_t node : {uint8_t{1}, uint8_t{'H'}}) {
            auto ep = std::make_shared<morvx::RS485NodeEndpoint>(reinterpret_cast<morvx::HandCore*>(&owner_tag), node);
            ctx.register_endpoint(ep);
            endpoints.push_back(ep);
        }
    }
    int owner_tag = 0;
    morvx::RS485SharedBusContext ctx;
    std::vector<std::shared_ptr<morvx::RS485NodeEndpoint>> endpoints;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::size_t n_sizes = data[0] % 17;
    if (n_sizes + 1 > size) n_sizes = size - 1;
    const uint8_t* sizes = data + 1;
    const uint8_t* stream = data + 1 + n_sizes;
    std::size_t left = size - 1 - n_sizes;

    // A fresh context per input keeps runs independent of each other.
    Harness h;
    std::size_t k = 0;
    while (left > 0) {
        std::size_t chunk = n_sizes ? sizes[k++ % n_sizes] : left;
        if (chunk == 0) {
            // An empty chunk is legal and changes nothing; then move on by one.
            if (h.ctx.receive_bytes(stream, 0) != 0) std::abort();
            chunk = 1;
        }
        if (chunk > left) chunk = left;
        std::unique_ptr<uint8_t[]> copy(new uint8_t[chunk]);
        for (std::size_t i = 0; i < chunk; ++i) copy[i] = stream[i];
        const int r = h.ctx.receive_bytes(copy.get(), chunk);
        if (r != 0 && r != 8) std::abort();
        stream += chunk;
        left -= chunk;
    }
    return 0;
}
