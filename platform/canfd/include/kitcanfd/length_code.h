/* CAN FD data length codes (ISO 11898-1): codes 0 to 8 stand for 0 to 8 data
 * bytes, 9 to 15 for 12, 16, 20, 24, 32, 48 and 64. The one table of the kit's
 * products; the simulated CAN bus keeps its own copy on purpose, as an
 * independent check of this one in the tests. */
#ifndef KITCANFD_LENGTH_CODE_H
#define KITCANFD_LENGTH_CODE_H

namespace kitcanfd {

constexpr unsigned kMaxLengthCode = 15;

// Data bytes of a length code. A code above 15 counts as 15 (64 bytes): the
// adapter clamps such a code to 15 before it sends the frame.
inline unsigned length_of_code(unsigned code) {
    static const unsigned char kLengths[kMaxLengthCode + 1] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
    return kLengths[code > kMaxLengthCode ? kMaxLengthCode : code];
}

// The smallest length code whose data bytes hold `length`; more than 64 bytes
// give 15.
inline unsigned code_for_length(unsigned length) {
    for (unsigned code = 0; code < kMaxLengthCode; ++code) {
        if (length_of_code(code) >= length) return code;
    }
    return kMaxLengthCode;
}

}  // namespace kitcanfd

#endif  // KITCANFD_LENGTH_CODE_H
