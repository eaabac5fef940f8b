// Feeds the RS485 reply cutter a byte stream cut into chunks that the input
// itself chooses: the first byte gives the number of chunk-size bytes that
// follow (up to 16), each a chunk length 0..255 used in turn, the rest is the
// stream; a length of 0 is a silence of the line followed by a one-byte
// chunk. Every chunk is an exact-size heap copy, so ASan sees any over-read.
// Every frame delivered must be complete with its CRC holding, and after
// every chunk and every silence the frames so far must be exactly those of a
// byte-at-a-time model of the framing rules.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "rs485_framing.h"

namespace {

using Frames = std::vector<std::vector<uint8_t>>;

bool crc_holds(const uint8_t* frame, std::size_t len) {
    return morvx::read_le16(frame + len - 2) == morvx::crc16_modbus(frame, len - 2);
}

bool is_start(uint8_t b) { return b == 'H' || b == 'X' || b == 'p'; }

void check_and_keep(const uint8_t* frame, std::size_t len, Frames& out) {
    if (len < 6 || len > 70) std::abort();
    const uint8_t start = frame[0];
    if (!is_start(start)) std::abort();
    if (start == 'X' && len != 12) std::abort();
    if (start != 'X' && len != static_cast<std::size_t>(frame[3]) + 6) std::abort();
    if (!crc_holds(frame, len)) std::abort();
    out.emplace_back(frame, frame + len);
}

// The rules stated byte by byte: the held bytes start at the first start
// byte; once its frame is complete it is delivered when its CRC holds (and
// the bytes after it are held next) or gives up that start byte alone; a
// silence ends every frame still short of bytes the same way.
struct Model {
    void push(uint8_t b) {
        held.push_back(b);
        settle(false);
    }
    void silence() {
        settle(true);
        held.clear();
    }
    void settle(bool at_silence) {
        for (;;) {
            std::size_t skip = 0;
            while (skip < held.size() && !is_start(held[skip])) ++skip;
            held.erase(held.begin(), held.begin() + static_cast<long>(skip));
            if (held.size() < 4) return;
            std::size_t len = 12;
            if (held[0] != 'X') len = held[3] <= 64 ? held[3] + 6u : 0;
            if (len != 0 && len > held.size() && !at_silence) return;
            if (len != 0 && len <= held.size() && crc_holds(held.data(), len)) {
                frames.emplace_back(held.begin(), held.begin() + static_cast<long>(len));
                held.erase(held.begin(), held.begin() + static_cast<long>(len));
            } else {
                held.erase(held.begin());
            }
        }
    }
    std::vector<uint8_t> held;
    Frames frames;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::size_t n_sizes = data[0] % 17;
    if (n_sizes + 1 > size) n_sizes = size - 1;
    const uint8_t* sizes = data + 1;
    const uint8_t* stream = data + 1 + n_sizes;
    std::size_t left = size - 1 - n_sizes;

    static morvx::RS485FrameCutter cutter;  // large: kept for the process, empty between inputs
    static morvx::RS485CutFrames cut;
    Frames delivered;
    Model model;
    const auto collect = [&] {
        for (std::size_t i = 0; i < cut.count; ++i) check_and_keep(cut.bytes + cut.start[i], cut.length[i], delivered);
    };
    std::size_t k = 0;
    while (left > 0) {
        std::size_t chunk = n_sizes ? sizes[k++ % n_sizes] : left;
        if (chunk == 0) {
            cutter.line_silent(cut);
            collect();
            model.silence();
            if (delivered != model.frames || cutter.holds_bytes()) std::abort();
            chunk = 1;  // then move on by one byte
        }
        if (chunk > left) chunk = left;
        std::unique_ptr<uint8_t[]> copy(new uint8_t[chunk]);
        for (std::size_t i = 0; i < chunk; ++i) copy[i] = stream[i];
        for (std::size_t done = 0; done < chunk;) {
            done += cutter.cut(copy.get() + done, chunk - done, cut);
            collect();
        }
        for (std::size_t i = 0; i < chunk; ++i) model.push(stream[i]);
        // Each frame comes out with the chunk that brings its last byte.
        if (delivered != model.frames) std::abort();
        stream += chunk;
        left -= chunk;
    }
    cutter.line_silent(cut);
    collect();
    model.silence();
    if (delivered != model.frames) std::abort();
    return 0;
}
