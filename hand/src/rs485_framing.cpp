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

std::size_t RS485FrameCutter::cut(const uint8_t* data, std::size_t len, RS485CutFrames& out) {
    const std::size_t take = std::min(len, kRs485CutBufferBytes - fill_);
    std::copy_n(data, take, buffer_ + fill_);
    fill_ += take;
    cut_held(out, false);
    return take;
}

void RS485FrameCutter::line_silent(RS485CutFrames& out) {
    cut_held(out, true);
    fill_ = 0;  // up to three bytes of a frame that will never be
}

// Frames are tried in the order of their start bytes; a frame that fails
// gives up its start byte only, so the next try may begin inside its span.
// Every byte is searched for start bytes once per frame whose span holds it,
// so the work per byte is bounded by the longest frame.
void RS485FrameCutter::cut_held(RS485CutFrames& out, bool at_silence) {
    out.count = 0;
    out.used = 0;
    const uint8_t* const buf = buffer_;
    const std::size_t size = fill_;
    std::size_t pos = 0;
    for (;;) {
        pos = static_cast<std::size_t>(std::find_if(buf + pos, buf + size, is_frame_start) - buf);
        if (size - pos < kMinScanBytes) break;  // nothing, or too few bytes to size the frame
        const std::size_t frame_len = frame_length_at(buf + pos);
        if (frame_len != 0 && frame_len > size - pos && !at_silence) break;  // wait for the rest
        if (frame_len == 0 || frame_len > size - pos || !crc_matches(buf + pos, frame_len)) {
            ++pos;
            continue;
        }
        out.start[out.count] = out.used;
        out.length[out.count] = frame_len;
        ++out.count;
        std::copy_n(buf + pos, frame_len, out.bytes + out.used);
        out.used += frame_len;
        pos += frame_len;
    }
    if (pos != 0) std::copy(buffer_ + pos, buffer_ + size, buffer_);
    fill_ = size - pos;
}

}  // namespace morvx
