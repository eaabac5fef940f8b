#include "rs485_framing.h"

#include <algorithm>

namespace morvx {

namespace {

constexpr std::size_t kMinFrameBytes = 4;     // start (or function), node id, CRC
constexpr std::size_t kMinScanBytes = 4;      // up to and including the length byte
constexpr std::size_t kMaxLengthByte = 64;
constexpr std::size_t kLengthOverhead = 6;    // start, node, body byte, length byte, CRC
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
    return frame;
}

bool rs485_frame_intact(ByteView frame) {
    return frame.size() >= kMinFrameBytes && crc_matches(frame.data(), frame.size());
}

RS485Reply split_rs485_frame(ByteView frame) {
    return RS485Reply{frame[0], frame[1], ByteView(frame.data() + 2, frame.size() - 2 - kCrcBytes)};
}

// A read offset walks the buffer and the consumed head is erased once at the
// end, so a long run of garbage costs linear time instead of one erase per
// byte.
void RS485FrameCutter::cut(const uint8_t* data, std::size_t len, std::vector<uint8_t>& frame_bytes,
                           std::vector<std::pair<std::size_t, std::size_t>>& frames) {
    std::vector<uint8_t>& buf = pending_;
    buf.insert(buf.end(), data, data + len);
    std::size_t pos = 0;
    while (buf.size() - pos >= kMinScanBytes) {
        auto start = std::find_if(buf.begin() + static_cast<std::ptrdiff_t>(pos), buf.end(), is_frame_start);
        if (start == buf.end()) {
            pos = buf.size();
            break;
        }
        pos = static_cast<std::size_t>(start - buf.begin());
        const std::size_t avail = buf.size() - pos;
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

        const uint8_t* f = buf.data() + pos;
        if (crc_matches(f, frame_len)) {
            frames.emplace_back(frame_bytes.size(), frame_len);
            frame_bytes.insert(frame_bytes.end(), f, f + frame_len);
            pos += frame_len;
        } else {
            ++pos;
        }
    }
    buf.erase(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(pos));
}

}  // namespace morvx
