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

// A read offset walks the buffer and the consumed head is moved down once at
// the end, so a long run of garbage costs linear time instead of one move per
// byte.
std::size_t RS485FrameCutter::cut(const uint8_t* data, std::size_t len, RS485CutFrames& out) {
    out.count = 0;
    out.used = 0;
    uint8_t* const buf = buffer_;
    const std::size_t take = std::min(len, kRs485CutBufferBytes - fill_);
    std::copy_n(data, take, buf + fill_);
    const std::size_t size = fill_ + take;
    std::size_t pos = 0;
    while (size - pos >= kMinScanBytes) {
        const uint8_t* start = std::find_if(buf + pos, buf + size, is_frame_start);
        if (start == buf + size) {
            pos = size;
            break;
        }
        pos = static_cast<std::size_t>(start - buf);
        const std::size_t avail = size - pos;
        if (avail < kMinScanBytes) break;

        std::size_t frame_len;
        if (buf[pos] == kRs485StartParam) {
            frame_len = kParamFrameLength;  // fixed, whatever byte 3 holds
        } else {
            // The length byte is capped before it sizes anything.
            const std::size_t body = buf[pos + 3];
            if (body > kMaxLengthByte) {
                ++pos;  // not a real start: resynchronise on the next start byte
                continue;
            }
            frame_len = body + kLengthOverhead;
        }
        if (avail < frame_len) break;

        const uint8_t* f = buf + pos;
        if (crc_matches(f, frame_len)) {
            out.start[out.count] = out.used;
            out.length[out.count] = frame_len;
            ++out.count;
            std::copy_n(f, frame_len, out.bytes + out.used);
            out.used += frame_len;
            pos += frame_len;
        } else {
            ++pos;
        }
    }
    std::copy(buf + pos, buf + size, buf);
    fill_ = size - pos;
    return take;
}

}  // namespace morvx
