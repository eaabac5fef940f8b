// Layouts of the status replies (CAN-FD and RS485) and of the EtherCAT TxPDO
// images: where the joint items, status bytes and tactile blocks of each
// reply code lie.
#ifndef MORVANE_REPLY_LAYOUT_TABLE_H
#define MORVANE_REPLY_LAYOUT_TABLE_H

#include <array>
#include <cstdint>

namespace morvx {

// One status reply layout, nine bytes as the controller's firmware tables
// hold them.
struct ReplyLayout {
    uint8_t code;            // reply code, first byte of the payload
    uint8_t count;           // items the layout holds
    uint8_t first;           // first sensor item of a sensor layout
    uint8_t item_size;       // bytes per item
    uint8_t has_position;    // item carries a u16 position
    uint8_t has_velocity;    // item carries a signed 16-bit velocity
    uint8_t has_current;     // item carries a signed 16-bit current
    uint8_t is_sensor;       // items are tactile blocks
    uint8_t status_in_item;  // item is [status, alarm]; else status bytes follow all items
};

constexpr std::size_t kReplyLayoutCount = 20;
extern const std::array<ReplyLayout, kReplyLayoutCount> reply_layout_table;

// First record of reply_layout_table with this code, or null.
const ReplyLayout* find_reply_layout(uint8_t code);

// Layout of one TxPDO image, chosen by its first byte.
struct TpdoLayout {
    int joints;                  // joint items from offset 2, 6 bytes each
    int status_offset;           // first of `joints` status bytes
    int block_start;             // offset of the first tactile block
    int block_count;             // tactile blocks, back to back
    std::array<int, 6> block_size;
    int first_item;              // sensor item of the first block
};

// Every code has a layout; codes that carry nothing give joints 0 and
// block_count 0.
TpdoLayout find_tpdo_layout(uint8_t code);

constexpr std::size_t kTpdoImageBytes = 192;

}  // namespace morvx

#endif  // MORVANE_REPLY_LAYOUT_TABLE_H
