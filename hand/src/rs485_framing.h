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
#include <vector>

#include "protocol_helpers.h"

namespace morvx {

constexpr uint8_t kRs485StartStatus = 'H';
constexpr uint8_t kRs485StartParam = 'X';
constexpr uint8_t kRs485StartOta = 'p';

// The complete wire frame of one request.
std::vector<uint8_t> build_frame(uint16_t function_code, uint8_t node_id, const std::vector<uint8_t>& payload);
// Same into frame, whose storage is reused (the bus worker's polls).
void build_frame(uint16_t function_code, uint8_t node_id, const std::vector<uint8_t>& payload,
                 std::vector<uint8_t>& frame);

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

// Longest reply on the line: a 64-byte body after the length byte plus the
// start byte, node id, first body byte, length byte and CRC.
constexpr std::size_t kRs485MaxReplyBytes = 64 + 6;
constexpr std::size_t kRs485MinReplyBytes = 6;
// Longest reply body (the bytes between the node id and the CRC) that the
// hand's frame handler is given.
constexpr std::size_t kRs485MaxReplyBodyBytes = kRs485MaxReplyBytes - 4;
// The cutter takes its input in pieces of at most this many bytes.
constexpr std::size_t kRs485CutPieceBytes = 512;
constexpr std::size_t kRs485CutBufferBytes = kRs485MaxReplyBytes + kRs485CutPieceBytes;

// The replies cut from one piece, copied out so that the caller can hand
// them on after releasing whatever lock guards the cutter.
struct RS485CutFrames {
    uint8_t bytes[kRs485CutBufferBytes];
    std::size_t start[kRs485CutBufferBytes / kRs485MinReplyBytes];
    std::size_t length[kRs485CutBufferBytes / kRs485MinReplyBytes];
    std::size_t count = 0;
    std::size_t used = 0;
};

// Cuts the hand's replies out of a received byte stream, which may arrive in
// chunks of any size, in fixed storage (nothing is allocated on the way in),
// in time linear in the bytes fed. Not thread-safe: one receive path feeds it
// at a time.
//
// Every start byte opens a candidate frame, whose length is known once its
// length byte is in. Each candidate is decided once, when its last byte
// arrives: an intact one is delivered then, whatever still waits before it,
// and takes everything before its end with it (a candidate still waiting
// there could only be a real frame if the delivered one lay inside its
// body); a CRC mismatch drops that start byte alone. Candidates ending on
// the same byte are decided in stream order. So what comes out does not
// depend on how the stream was chunked.
class RS485FrameCutter {
public:
    // Takes as much of the chunk as its buffer holds (at most one piece),
    // replaces out's contents with every reply completed by it, in the order
    // their last bytes arrived, and returns how many bytes of the chunk it
    // took; the caller feeds the rest in later calls. Garbage between
    // replies is dropped.
    std::size_t cut(const uint8_t* data, std::size_t len, RS485CutFrames& out);

private:
    // Between calls the buffer starts at the oldest waiting candidate (under
    // kRs485MaxReplyBytes before the end) or holds at most the three bytes
    // too few to scan.
    uint8_t buffer_[kRs485CutBufferBytes];
    std::size_t fill_ = 0;
    // Offsets of the candidates still waiting for bytes, in stream order; all
    // lie within the last kRs485MaxReplyBytes of the buffer.
    uint16_t waiting_[kRs485MaxReplyBytes];
    std::size_t waiting_count_ = 0;
    // Where the search for new start bytes resumes; every waiting candidate
    // lies before it.
    std::size_t scanned_ = 0;
};

}  // namespace morvx

#endif  // MORVANE_RS485_FRAMING_H
