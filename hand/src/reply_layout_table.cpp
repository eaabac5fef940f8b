#include "reply_layout_table.h"

namespace morvx {

// Searched in this order; the codes 0xD0..0xF4 are the RS485 answers to the
// polls (poll code | 0x80).
const std::array<ReplyLayout, kReplyLayoutCount> reply_layout_table = {{
    // code  count first size pos vel cur sensor status_in_item
    {0x50, 8, 0, 6, 1, 1, 1, 0, 0},
    {0x51, 8, 8, 6, 1, 1, 1, 0, 0},
    {0x52, 8, 16, 6, 1, 1, 1, 0, 0},
    {0x53, 12, 0, 4, 1, 1, 0, 0, 0},
    {0x54, 12, 12, 4, 1, 1, 0, 0, 0},
    {0x55, 12, 0, 4, 1, 0, 1, 0, 0},
    {0x56, 12, 12, 4, 1, 0, 1, 0, 0},
    {0x5A, 30, 0, 2, 0, 0, 0, 0, 1},
    {0x70, 5, 0, 12, 0, 0, 0, 1, 0},
    {0x71, 1, 5, 36, 0, 0, 0, 1, 0},
    {0x72, 2, 0, 30, 0, 0, 0, 1, 0},
    {0x73, 2, 2, 30, 0, 0, 0, 1, 0},
    {0x74, 2, 4, 30, 0, 0, 0, 1, 0},
    {0xD0, 6, 0, 6, 1, 1, 1, 0, 0},
    {0xDA, 6, 0, 2, 0, 0, 0, 0, 1},
    {0xF0, 5, 0, 12, 0, 0, 0, 1, 0},
    {0xF1, 1, 5, 36, 0, 0, 0, 1, 0},
    {0xF2, 2, 0, 30, 0, 0, 0, 1, 0},
    {0xF3, 2, 2, 30, 0, 0, 0, 1, 0},
    {0xF4, 2, 4, 30, 0, 0, 0, 1, 0},
}};

const ReplyLayout* find_reply_layout(uint8_t code) {
    for (const ReplyLayout& r : reply_layout_table)
        if (r.code == code) return &r;
    return nullptr;
}

TpdoLayout find_tpdo_layout(uint8_t code) {
    // Joint items are 6 bytes from offset 2; the status bytes follow them, the
    // tactile blocks follow the status bytes.
    constexpr std::array<int, 6> kNone{{0, 0, 0, 0, 0, 0}};
    constexpr std::array<int, 6> kFingerBlocks{{24, 24, 24, 24, 24, 26}};
    constexpr std::array<int, 6> kSensorBlocks{{30, 30, 30, 30, 30, 30}};
    if (code == 0x00) return {27, 164, 0, 0, kNone, 0};
    if (code <= 2) return {16, 98, 114, 6, kNone, 0};
    if (code <= 5) return {12, 74, 86, 6, kNone, 0};
    if (code <= 10) return {6, 38, 44, 6, kFingerBlocks, 0};
    if (code <= 16) return {4, 26, 30, 6, kFingerBlocks, 0};
    if (code == 0x40) return {0, 0, 2, 6, kSensorBlocks, 0};
    if (code == 0x41) return {0, 0, 2, 1, kSensorBlocks, 6};
    return {0, 0, 0, 0, kNone, 0};
}

}  // namespace morvx
