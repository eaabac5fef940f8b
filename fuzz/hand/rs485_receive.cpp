// Feeds the RS485 receive parser a byte stream cut into chunks that the input
// itself chooses: the first byte gives the number of chunk-size bytes that
// follow (up to 16), each a chunk length 0..255 used in turn, the rest is the
// stream. Every chunk is an exact-size heap copy, so ASan sees any over-read.
// Replies are routed to two fake hands that check each frame they are given;
// after every chunk the frames delivered so far must be exactly those of a
// byte-at-a-time model of the framing rules.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "rs485_bus_context.h"

namespace {

using Frames = std::vector<std::vector<uint8_t>>;

bool crc_holds(const uint8_t* frame, std::size_t len) {
    return morvx::read_le16(frame + len - 2) == morvx::crc16_modbus(frame, len - 2);
}

bool routed(uint8_t node) { return node == 1 || node == 'H'; }

// The owner pointer of both endpoints is the list the frames are recorded in.
int check_frame(morvx::HandCore* owner, morvx::ByteView frame) {
    // Every delivered frame is complete and its CRC holds.
    if (frame.size() < 6 || frame.size() > 70) std::abort();
    const uint8_t start = frame[0];
    if (start != 'H' && start != 'X' && start != 'p') std::abort();
    if (start == 'X' && frame.size() != 12) std::abort();
    if (start != 'X' && frame.size() != static_cast<std::size_t>(frame[3]) + 6) std::abort();
    if (!crc_holds(frame.data(), frame.size())) std::abort();
    reinterpret_cast<Frames*>(owner)->emplace_back(frame.begin(), frame.end());
    return frame[2] == 0xEE ? 8 : 0;
}

bool no_poll(morvx::HandCore*, uint16_t&, std::vector<uint8_t>&) { return false; }

// The rules stated byte by byte: when a byte arrives, the candidates that it
// ends are decided in stream order, and the first intact one is delivered
// and consumes the stream up to its end.
struct Model {
    void push(uint8_t b) {
        stream.push_back(b);
        const std::size_t end = stream.size();
        for (std::size_t at = end > 70 ? end - 70 : 0; at + 6 <= end; ++at) {
            if (at < consumed) continue;
            const uint8_t start = stream[at];
            std::size_t len = 0;
            if (start == 'X') len = 12;
            else if ((start == 'H' || start == 'p') && stream[at + 3] <= 64) len = stream[at + 3] + 6u;
            if (at + len != end || !crc_holds(stream.data() + at, len)) continue;
            if (routed(stream[at + 1])) frames.emplace_back(stream.begin() + static_cast<long>(at), stream.end());
            consumed = end;
            break;
        }
    }
    std::vector<uint8_t> stream;
    std::size_t consumed = 0;
    Frames frames;
};

// One context for the process (starting its worker per input would cost
// far more than the input); every input ends with kRs485MaxReplyBytes zero
// bytes, which decide every candidate still waiting, so the next input finds
// the cutter empty.
struct Harness {
    Harness() : ctx(morvx::RS485HandHooks{&no_poll, &check_frame}) {
        for (uint8_t node : {uint8_t{1}, uint8_t{'H'}}) {
            auto ep = std::make_shared<morvx::RS485NodeEndpoint>(reinterpret_cast<morvx::HandCore*>(&delivered), node);
            ctx.register_endpoint(ep);
            endpoints.push_back(ep);
        }
    }
    Frames delivered;
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

    static Harness h;
    h.delivered.clear();
    Model model;
    static const uint8_t kFlush[morvx::kRs485MaxReplyBytes] = {};
    std::size_t k = 0;
    bool flushed = false;
    while (left > 0 || !flushed) {
        if (left == 0) {
            stream = kFlush;
            left = sizeof kFlush;
            flushed = true;
        }
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
        for (std::size_t i = 0; i < chunk; ++i) model.push(stream[i]);
        // Each frame comes out with the chunk that brings its last byte.
        if (h.delivered != model.frames) std::abort();
        stream += chunk;
        left -= chunk;
    }
    return 0;
}
