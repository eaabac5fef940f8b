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
// The stream is read in step: the first start byte is a frame's start, and a
// frame whose CRC holds is delivered when its last byte arrives; the byte
// after it is where the next frame starts. Start bytes inside a frame are
// body bytes, never frames of their own, so a reply whose body happens to hold
// a frame for another node still arrives whole. A start byte whose frame fails
// (a length byte above 64, a CRC mismatch) is dropped alone and the search
// goes on at the next start byte, inside that span included. A stray start
// byte (line noise at the turn of the line, a port opened mid-frame) thus
// holds the replies behind it until its span is complete, or until the line
// falls silent: the caller says so with line_silent(), which ends every frame
// still short of bytes and delivers the intact frames among the bytes held.
// So what comes out depends only on the bytes and the silences between them,
// never on how the bytes were chunked.
class RS485FrameCutter {
public:
    // Takes as much of the chunk as its buffer holds (at most one piece),
    // replaces out's contents with every reply completed by it, in stream
    // order, and returns how many bytes of the chunk it took; the caller feeds
    // the rest in later calls. Garbage between replies is dropped.
    std::size_t cut(const uint8_t* data, std::size_t len, RS485CutFrames& out);
    // The line has fallen silent: no frame continues past the bytes held.
    // Replaces out's contents with the intact frames among them, found as
    // cut() finds them but with every frame still short of bytes dropped, and
    // empties the buffer.
    void line_silent(RS485CutFrames& out);
    // True while bytes wait for more (a frame's beginning, or up to three
    // bytes too few to tell).
    bool holds_bytes() const { return fill_ != 0; }

private:
    // Cuts what the buffer holds into out; at silence, frames short of bytes
    // are dropped instead of waited for.
    void cut_held(RS485CutFrames& out, bool at_silence);

    // Between calls the buffer starts with a start byte: the beginning of the
    // frame in step, under kRs485MaxReplyBytes long.
    uint8_t buffer_[kRs485CutBufferBytes];
    std::size_t fill_ = 0;
};

}  // namespace morvx

#endif  // MORVANE_RS485_FRAMING_H
