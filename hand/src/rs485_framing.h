// RS485 wire framing, both ways: the frames the host puts on the line, the
// CRC that closes every frame, and the cutter that finds the hand's replies
// in the received byte stream. Each received frame is checked here once;
// the bus context routes the frames the cutter passes and the decoders take
// them as they are.
//
// Host -> hand: function byte, node id, payload, CRC-16/MODBUS low byte first.
// Hand -> host: start byte, node id, body, CRC. 'X' (parameter) frames are 12
// bytes long; 'H' (status) and 'p' (OTA) frames carry a length byte at
// offset 3 that counts the bytes between it and the CRC (at most 64).
#ifndef MORVANE_RS485_FRAMING_H
#define MORVANE_RS485_FRAMING_H

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "protocol_helpers.h"

namespace morvx {

constexpr uint8_t kRs485StartStatus = 'H';
constexpr uint8_t kRs485StartParam = 'X';
constexpr uint8_t kRs485StartOta = 'p';

// The complete wire frame of one request.
std::vector<uint8_t> build_frame(uint16_t function_code, uint8_t node_id, const std::vector<uint8_t>& payload);

// A whole frame longer than 3 bytes whose last two bytes are the CRC of the
// bytes before them.
bool rs485_frame_intact(ByteView frame);

// The parts of an intact frame (callers check first): its start byte, its
// node id and its body, the bytes between the node id and the CRC.
struct RS485Reply {
    uint8_t start;
    uint8_t node_id;
    ByteView body;
};
RS485Reply split_rs485_frame(ByteView intact_frame);

// Cuts the hand's replies out of a received byte stream, which may arrive in
// chunks of any size. Not thread-safe: one receive path feeds it at a time.
class RS485FrameCutter {
public:
    // Appends the chunk (the caller keeps it) and appends every complete,
    // intact reply found to frame_bytes, recording (offset, length) of each in
    // frames, in arrival order. Garbage and frames with a wrong CRC are
    // skipped a byte at a time until the next start byte.
    void cut(const uint8_t* data, std::size_t len, std::vector<uint8_t>& frame_bytes,
             std::vector<std::pair<std::size_t, std::size_t>>& frames);

private:
    // At most the beginning of one frame (under 70 bytes) or three bytes too
    // few to scan, between calls.
    std::vector<uint8_t> pending_;
};

}  // namespace morvx

#endif  // MORVANE_RS485_FRAMING_H
