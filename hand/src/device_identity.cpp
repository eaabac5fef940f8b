// Device identification: the model code, firmware version and hand direction
// are requested without waiting (the reply decoder applies them whenever they
// arrive); the serial number is read part by part, waiting for each.
#include <cstdio>
#include <cstring>

#include "hand_ops.h"

namespace morvx {

namespace {

constexpr int kParamRead = 0;
constexpr uint16_t kModelObject = 0x200E;
constexpr uint8_t kModelSub = 29;
constexpr uint8_t kFirmwareSub = 30;
constexpr uint16_t kDirectionObject = 0x2030;
constexpr uint8_t kDirectionSub = 5;
constexpr uint8_t kSerialSub = 6;
// One part of the serial number in sub-index 6 of drive k's object 0x2030 + 0x40 k.
constexpr uint16_t kSerialObjects[] = {0x2030, 0x2070, 0x20B0, 0x20F0, 0x2130, 0x2170};

}  // namespace

int read_identity(HandCore& h) {
    send_param_request(h, kParamRead, kModelObject, kModelSub, 0);
    inter_command_delay(h);
    send_param_request(h, kParamRead, kModelObject, kFirmwareSub, 0);
    send_param_request(h, kParamRead, kDirectionObject, kDirectionSub, 0);
    inter_command_delay(h);

    h.serial_number.clear();
    bool first = true;
    for (uint16_t object : kSerialObjects) {
        unsigned part = 0;
        const int r = get_sdo_drive_param(h, object, kSerialSub, &part);
        if (r != kOk) return r;  // the parts read so far stay
        // The first part unpadded, the others as four digits; a part is at
        // most 0xFFFF, so seven characters always suffice.
        char text[8];
        std::snprintf(text, sizeof text, first ? "%X" : "%04X", part & 0xFFFFu);
        h.serial_number += text;
        first = false;
    }
    return kOk;
}

int get_serial_number(const HandCore& h, char* buffer, int length) {
    if (buffer == nullptr || length < 1) return kBadArgument;
    const std::string& serial = h.serial_number;
    const std::size_t room = static_cast<std::size_t>(length) - 1;
    const std::size_t n = serial.size() < room ? serial.size() : room;
    std::memcpy(buffer, serial.data(), n);
    std::memset(buffer + n, 0, room - n + 1);  // zero fill up to and including the last byte
    return kOk;
}

int identify_device(HandCore& h) {
    if (h.bus_kind.load(std::memory_order_acquire) == kBusCan) {
        // Classic CAN servos report no homed state and carry no identity.
        h.move_no_home.store(true, std::memory_order_release);
    } else if (!h.dry_run.load(std::memory_order_acquire)) {
        // A silent device must never fail initial: the result is not used.
        (void)read_identity(h);
    }
    return set_hand_type(h, h.hand_type.load(std::memory_order_acquire));
}

}  // namespace morvx
