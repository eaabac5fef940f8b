#include "rs485_framing.h"

#include <algorithm>

namespace morvx {

namespace {

constexpr std::size_t kMinFrameBytes = 4;     // start (or function), node id, CRC
constexpr std::size_t kMinScanBytes = 4;      // up to and including the length byte
constexpr std::size_t kMaxLengthByte = 64;
constexpr std::size_t kLengthOverhead = kRs485MinReplyBytes;  // start, node, body byte, length byte, CRC
constexpr std::size_t kParamFrameLength = 12;
constexpr std::size_t kCrcBytes = 2;

bool is_frame_start(uint8_t b) {
    return b == kRs485StartStatus || b == kRs485StartParam || b == kRs485StartOta;
}

bool crc_matches(const uint8_t* frame, std::size_t len) {
    return read_le16(frame + len - kCrcBytes) == crc16_modbus(frame, len - kCrcBytes);
}

// Length of the frame that the start byte at p opens (4 bytes readable); 0
// when its length byte is none. The length byte is capped before it sizes
// anything.
std::size_t frame_length_at(const uint8_t* p) {
    if (p[0] == kRs485StartParam) return kParamFrameLength;  // fixed, whatever byte 3 holds
    const std::size_t body = p[3];
    return body > kMaxLengthByte ? 0 : body + kLengthOverhead;
}

}  // namespace

std::vector<uint8_t> build_frame(uint16_t function_code, uint8_t node_id, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> frame;
    build_frame(function_code, node_id, payload, frame);
    return frame;
}

void build_frame(uint16_t function_code, uint8_t node_id, const std::vector<uint8_t>& payload,
                 std::vector<uint8_t>& frame) {
    frame.clear();
    frame.reserve(payload.size() + 4);
    // Codes above 0x0FFF (OTA, 0x9000) carry their function in the high byte;
    // the others (0x500, 0x600) in bits 4..11.
    const unsigned shifted = function_code > 0x0FFF ? function_code >> 8 : function_code >> 4;
    frame.push_back(static_cast<uint8_t>(shifted & 0xFF));
    frame.push_back(node_id);
    frame.insert(frame.end(), payload.begin(), payload.end());
    const uint16_t crc = crc16_modbus(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
}

bool rs485_frame_intact(ByteView frame) {
    return frame.size() >= kMinFrameBytes && crc_matches(frame.data(), frame.size());
}

RS485Reply split_rs485_frame(ByteView frame) {
    return RS485Reply{frame[0], frame[1], ByteView(frame.data() + 2, frame.size() - 2 - kCrcBytes)};
}

// One pass per delivered reply: the waiting candidates, then the new start
// bytes from scanned_ on, looking for the intact candidate that ends first.
// A pass that finds one consumes the bytes up to its end, so every byte is
// searched once and every candidate's CRC is computed at most once; the
// consumed head is moved down once at the end.
std::size_t RS485FrameCutter::cut(const uint8_t* data, std::size_t len, RS485CutFrames& out) {
    static_assert(kRs485CutBufferBytes <= 0xFFFF, "waiting offsets are 16 bits");
    out.count = 0;
    out.used = 0;
    uint8_t* const buf = buffer_;
    const std::size_t take = std::min(len, kRs485CutBufferBytes - fill_);
    std::copy_n(data, take, buf + fill_);
    const std::size_t size = fill_ + take;

    for (;;) {
        std::size_t best = 0;
        std::size_t best_end = 0;  // 0: no intact candidate complete yet
        std::size_t still_waiting = 0;
        // A candidate short of bytes keeps waiting. A complete one needs its
        // CRC checked only if it ends before the best so far; on a tie the
        // earlier one, met first, stays best.
        const auto decide = [&](std::size_t at, std::size_t end) {
            if (end > size) {
                waiting_[still_waiting++] = static_cast<uint16_t>(at);
            } else if ((best_end == 0 || end < best_end) && crc_matches(buf + at, end - at)) {
                best = at;
                best_end = end;
            }
        };
        for (std::size_t i = 0; i < waiting_count_; ++i) {
            const std::size_t at = waiting_[i];
            decide(at, at + frame_length_at(buf + at));
        }
        std::size_t pos = scanned_;
        for (;;) {
            pos = static_cast<std::size_t>(std::find_if(buf + pos, buf + size, is_frame_start) - buf);
            if (size - pos < kMinScanBytes) break;
            if (best_end != 0 && pos >= best_end) break;  // it would end after the best
            const std::size_t frame_len = frame_length_at(buf + pos);
            if (frame_len != 0) decide(pos, pos + frame_len);
            ++pos;
        }
        if (best_end == 0) {
            waiting_count_ = still_waiting;
            scanned_ = pos;
            break;
        }
        const std::size_t frame_len = best_end - best;
        out.start[out.count] = out.used;
        out.length[out.count] = frame_len;
        ++out.count;
        std::copy_n(buf + best, frame_len, out.bytes + out.used);
        out.used += frame_len;
        waiting_count_ = 0;
        scanned_ = best_end;
    }

    const std::size_t keep_from = waiting_count_ != 0 ? waiting_[0] : scanned_;
    std::copy(buf + keep_from, buf + size, buf);
    for (std::size_t i = 0; i < waiting_count_; ++i) waiting_[i] = static_cast<uint16_t>(waiting_[i] - keep_from);
    scanned_ -= keep_from;
    fill_ = size - keep_from;
    return take;
}

}  // namespace morvx
