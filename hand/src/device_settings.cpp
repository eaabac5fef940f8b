// Device settings kept in the hand's drive parameters: one sub-index of six
// drive objects (base + 0x40 per drive). Writes go to all six drives, reads
// ask drive 0 only. Bit rates travel scaled down to fit 16 bits.
#include "hand_ops.h"

namespace morvx {

namespace {

constexpr unsigned kDriveCount = 6;
constexpr unsigned kDriveStride = 0x40;

constexpr unsigned kSafeCurrentObject = 0x2017;
constexpr unsigned kHomeCurrentObject = 0x2022;
constexpr unsigned kBusObject = 0x201D;

struct DeviceSetting {
    unsigned base_object;
    uint8_t sub_index;
    int scale;  // value on the wire = value / scale; read back as value * scale
};

constexpr DeviceSetting kSafeCurrentEnable{kSafeCurrentObject, 1, 1};
constexpr DeviceSetting kHomeCurrent{kHomeCurrentObject, 21, 1};
constexpr DeviceSetting kCanNodeId{kBusObject, 17, 1};
constexpr DeviceSetting kCanfdArbBaudrate{kBusObject, 18, 1000};
constexpr DeviceSetting kCanfdDataBaudrate{kBusObject, 19, 1000};
constexpr DeviceSetting kRs485NodeId{kBusObject, 6, 1};
constexpr DeviceSetting kRs485Baudrate{kBusObject, 5, 100};

int write_setting(HandCore& h, const DeviceSetting& s, int value) {
    // Integer division truncates toward zero; the request keeps the low 16 bits.
    const unsigned wire = static_cast<unsigned>(value / s.scale);
    for (unsigned k = 0; k < kDriveCount; ++k) {
        const int r = set_sdo_drive_param(h, s.base_object + kDriveStride * k, s.sub_index, wire);
        if (r != kOk) return r;
    }
    return kOk;
}

int read_setting(HandCore& h, const DeviceSetting& s, int* out) {
    if (out == nullptr) return kBadArgument;
    unsigned wire = 0;
    const int r = get_sdo_drive_param(h, s.base_object, s.sub_index, &wire);
    if (r != kOk) return r;
    // wire <= 65535, so the scaled value fits an int.
    *out = static_cast<int>(wire) * s.scale;
    return kOk;
}

}  // namespace

int set_safe_current_enable(HandCore& h, int on) {
    if (on != 0 && on != 1) return kBadArgument;
    return write_setting(h, kSafeCurrentEnable, on);
}
int get_safe_current_enable(HandCore& h, int* on) { return read_setting(h, kSafeCurrentEnable, on); }

int set_home_current(HandCore& h, int value) { return write_setting(h, kHomeCurrent, value); }
int get_home_current(HandCore& h, int* value) { return read_setting(h, kHomeCurrent, value); }

int set_can_node_id(HandCore& h, int value) { return write_setting(h, kCanNodeId, value); }
int get_can_node_id(HandCore& h, int* value) { return read_setting(h, kCanNodeId, value); }

int set_canfd_arb_baudrate(HandCore& h, int value) { return write_setting(h, kCanfdArbBaudrate, value); }
int get_canfd_arb_baudrate(HandCore& h, int* value) { return read_setting(h, kCanfdArbBaudrate, value); }

int set_canfd_data_baudrate(HandCore& h, int value) { return write_setting(h, kCanfdDataBaudrate, value); }
int get_canfd_data_baudrate(HandCore& h, int* value) { return read_setting(h, kCanfdDataBaudrate, value); }

int set_rs485_node_id(HandCore& h, int value) { return write_setting(h, kRs485NodeId, value); }
int get_rs485_node_id(HandCore& h, int* value) { return read_setting(h, kRs485NodeId, value); }

int set_rs485_baudrate(HandCore& h, int value) { return write_setting(h, kRs485Baudrate, value); }
int get_rs485_baudrate(HandCore& h, int* value) { return read_setting(h, kRs485Baudrate, value); }

}  // namespace morvx
