// Byte helpers shared by the frame encoders and the reply decoders.
#ifndef MORVANE_PROTOCOL_HELPERS_H
#define MORVANE_PROTOCOL_HELPERS_H

#include <cstddef>
#include <cstdint>

namespace morvx {

// A received frame on its way into the decoders. Owns nothing: the bytes
// belong to the caller for the duration of the call.
class ByteView {
public:
    ByteView() = default;
    ByteView(const uint8_t* data, std::size_t size) : data_(data), size_(data ? size : 0) {}
    uint8_t operator[](std::size_t i) const { return data_[i]; }
    const uint8_t* begin() const { return data_; }
    const uint8_t* end() const { return data_ + size_; }
    const uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // Bytes from offset on; an offset past the end gives an empty view.
    ByteView subview(std::size_t offset) const {
        return offset >= size_ ? ByteView() : ByteView(data_ + offset, size_ - offset);
    }

private:
    const uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

// CRC-16/MODBUS: init 0xFFFF, reflected polynomial 0xA001, no final XOR.
uint16_t crc16_modbus(const uint8_t* data, std::size_t len);

// Little-endian reads and writes at any alignment.
inline uint16_t read_le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline int16_t read_le16s(const uint8_t* p) {
    return static_cast<int16_t>(read_le16(p));
}
inline uint32_t read_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void write_le16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void write_le32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// Bit n (taken modulo 32) of one byte; n of 8..31 addresses no bit of a byte.
inline void bit_clear(uint8_t& byte, unsigned n) {
    n %= 32;
    if (n < 8) byte = static_cast<uint8_t>(byte & ~(1u << n));
}
inline int bit_test(uint8_t byte, unsigned n) {
    n %= 32;
    return n < 8 ? (byte >> n) & 1 : 0;
}

}  // namespace morvx

#endif  // MORVANE_PROTOCOL_HELPERS_H
