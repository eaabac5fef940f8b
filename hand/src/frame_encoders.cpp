// Request encoders: the four request types turned into the bytes of the bus
// the hand was initialised for, logged, kept for the pre-send getters and
// handed to the send paths. Every multi-byte field is little-endian.
#include <algorithm>
#include <cmath>
#include <limits>

#include "bus_profile.h"
#include "frame_bodies.h"
#include "hand_ops.h"
#include "value_rules.h"
#include "wire_map.h"

namespace morvx {

namespace {

constexpr std::size_t kImageBytes = 64;  // EtherCAT RxPDO image and RS485 payload

// Single-precision value truncated toward zero, saturating instead of the
// undefined conversion of an out-of-range or NaN float.
int32_t trunc_to_int(float v) { return trunc_saturated(v, kFloatTopOfInt32); }

void put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

// Which of position, velocity and current a motion code selects.
struct FieldMask {
    bool position, velocity, current;
};
bool motion_fields(uint8_t code, FieldMask& m) {
    switch (code) {
        case 2: m = {true, false, false}; return true;
        case 3: m = {false, true, false}; return true;
        case 4: m = {false, false, true}; return true;
        case 5: m = {true, true, false}; return true;
        case 7: m = {true, false, true}; return true;
        case 9: m = {false, true, true}; return true;
        case 11: m = {true, true, true}; return true;
        default: return false;
    }
}

std::vector<uint8_t> report_selection_body(const HandCore& h, bool ethercat) {
    const bool sensors = h.sensor_enable.load();
    if (ethercat) {
        // TxPDO layout codes wanted: joints (0x00), tactile blocks (0x40) and
        // the seventh sensor item (0x41) when it is mapped to a channel.
        if (!sensors) return {0x00, 0x01, 0x00};
        if (h.sensor_map[6] >= 1) return {0x00, 0x03, 0x00, 0x40, 0x41};
        return {0x00, 0x02, 0x00, 0x40};
    }
    // CAN-FD: [0x00, L, code, 0x01, ...], one pair per wanted status reply.
    std::vector<uint8_t> body{0x00, 0x00, 0x50, 0x01, 0x5A, 0x01};
    if (sensors) {
        const int type = h.hand_type.load();
        if (type == 0) body.insert(body.end(), {0x72, 0x01, 0x73, 0x01, 0x74, 0x01});
        else if (type == 1) body.insert(body.end(), {0x70, 0x01, 0x71, 0x01});
    }
    body[1] = static_cast<uint8_t>(body.size() - 2);
    return body;
}

std::vector<uint8_t> mode_command_body(const HandCore& h) {
    const int n = active_joint_count(h);
    std::vector<uint8_t> body{0x01, static_cast<uint8_t>(n)};
    body.reserve(2 + 2 * n);
    for (int j = 0; j < n; ++j) {
        // bits 0-2 mode, 3-4 first home option, 5-6 second home option.
        const uint8_t mode = static_cast<uint8_t>((h.joint_mode[j] & 7) | ((h.home_option_a[j] & 3) << 3) |
                                                  ((h.home_option_b[j] & 3) << 5));
        body.push_back(mode);
        body.push_back(h.joint_command[j]);
    }
    return body;
}

std::vector<uint8_t> gesture_body(const HandCore& h) {
    std::vector<uint8_t> body{0x20, 0x06};
    put16(body, h.gesture_number);
    put16(body, static_cast<uint32_t>(h.gesture_arg1));
    put16(body, static_cast<uint32_t>(h.gesture_arg2));
    return body;
}

// Classic CAN speed of one slot: the angular velocity as thousandths of the
// joint's angle range per second.
int servo_speed(const HandCore& h, int slot) {
    const float range = h.max_angle[slot] - h.min_angle[slot];
    if (!(range > 0.0f)) return 0;
    return trunc_to_int(h.angular_velocity.read(slot) / range * 1000.0f);
}

void send_servo_motion(HandCore& h) {
    const int n = active_joint_count(h);
    const bool coupled = h.hand_type.load() == 2;
    for (int j = 0; j < n; ++j) {
        const int node = h.joint_to_node[j];
        const int speed = servo_speed(h, j);
        const int current = h.max_current.read(j);
        if (coupled) {
            bool handled = false;
            for (std::size_t p = 0; p < h.coupled_pairs.size() && !handled; ++p) {
                const int a = h.coupled_pairs[p].first;
                const int b = h.coupled_pairs[p].second;
                if (node == b) {
                    handled = true;  // sent together with the pair's first node
                } else if (node == a) {
                    handled = true;
                    if (!valid_node(a) || !valid_node(b)) break;
                    const int ja = h.node_to_joint[a];
                    const int jb = h.node_to_joint[b];
                    if (!valid_slot(ja) || !valid_slot(jb)) break;
                    std::pair<int32_t, int32_t> servo = coupled_to_servo(
                        h.target_angle.read(ja), h.target_angle.read(jb), AngleLimits{h.min_angle[ja], h.max_angle[ja]},
                        AngleLimits{h.min_angle[jb], h.max_angle[jb]});
                    // The first pair's servos are mounted the other way round on
                    // a hand of direction 1.
                    if (h.hand_direction.load() == 1 && p == 0) std::swap(servo.first, servo.second);
                    send_servo_command(h, a, servo.first, servo_speed(h, ja), h.max_current.read(ja));
                    send_servo_command(h, b, servo.second, servo_speed(h, jb), h.max_current.read(jb));
                }
            }
            if (handled) continue;
            const float range = h.max_angle[j] - h.min_angle[j];
            const int position = range > 0.0f ? trunc_to_int(h.target_angle.read(j) / range * 4095.0f) : 0;
            send_servo_command(h, node, position, speed, current);
        } else {
            const int32_t span = h.max_position[j] - h.min_position[j];
            const int position =
                span > 0 ? trunc_to_int(static_cast<float>(h.target_position.read(j) - h.min_position[j]) /
                                        static_cast<float>(span) * 4095.0f)
                         : 0;
            send_servo_command(h, node, position, speed, current);
        }
    }
}

}  // namespace

std::vector<uint8_t> build_motion_body(const HandCore& h, uint8_t code) {
    const int n = active_joint_count(h);
    std::vector<uint8_t> body{code, static_cast<uint8_t>(n)};
    FieldMask m{};
    if (!motion_fields(code, m)) return body;
    body.reserve(2 + 6 * n);
    for (int j = 0; j < n; ++j) {
        // Positions go as their low 16 bits (two's complement for the side
        // joints of the 16-joint hand); velocities in tens of units.
        if (m.position) put16(body, static_cast<uint32_t>(h.target_position.read(j)));
        // Velocity and current are unsigned 16-bit fields: out-of-range
        // settings saturate instead of wrapping into a small, wrong value.
        if (m.velocity) put16(body, saturate_u16(h.position_velocity.read(j) / 10));
        if (m.current) put16(body, saturate_u16(h.max_current.read(j)));
    }
    return body;
}

std::vector<uint8_t> build_request_body(const HandCore& h, int request_type, bool ethercat) {
    switch (request_type) {
        case kReportSelection: return report_selection_body(h, ethercat);
        case kModeCommand: return mode_command_body(h);
        case kMotion: return build_motion_body(h, kMotionAllFields);
        case kGesture: return gesture_body(h);
        default: return {};
    }
}

std::array<uint8_t, 7> build_servo_frame(int position, int speed, int current) {
    const int clamped = std::min(std::max(position, 0), 0x0FFF);
    // Device current unit is 0.8 of ours; 64-bit so no input overflows.
    const int64_t device_current = static_cast<int64_t>(current) * 800 / 1000;
    std::array<uint8_t, 7> f{};
    f[0] = 0xAA;
    write_le16(&f[1], static_cast<uint16_t>(clamped));
    write_le16(&f[3], static_cast<uint16_t>(speed));
    write_le16(&f[5], static_cast<uint16_t>(device_current));
    return f;
}

namespace {

int encode_rpdo(HandCore& h, int request_type) {
    std::vector<uint8_t> image = build_request_body(h, request_type, true);
    if (image.empty()) return kOk;
    image.resize(kImageBytes, 0);  // a 16-joint motion body is cut at 64 bytes
    h.frame_log.log_frame(image.data(), image.size(), true);
    h.last_rpdo = image;
    send_rpdo(h, h.last_rpdo);
    return kOk;
}

int encode_canfd(HandCore& h, int request_type) {
    std::vector<uint8_t> body = build_request_body(h, request_type, false);
    if (body.empty()) return kOk;
    // Not padded: the transport rounds up to a CAN-FD length.
    h.frame_log.log_frame(body.data(), body.size(), true);
    h.last_canfd = body;
    send_canfd(h, static_cast<unsigned>(h.canfd_node_id) + kCanfdCommandIdOffset, h.last_canfd, 0);
    return kOk;
}

int encode_rs485(HandCore& h, int request_type) {
    std::vector<uint8_t> payload = build_request_body(h, request_type, false);
    // RS485 marks requests with bit 7 of the code and 0xD0 in place of the count.
    payload[0] = static_cast<uint8_t>(payload[0] | 0x80);
    payload[1] = 0xD0;
    payload.resize(kImageBytes, 0);
    h.frame_log.log_frame(payload.data(), payload.size(), true);
    h.last_rs485 = payload;
    // The bus context replaces the kept payload with the complete wire frame.
    submit_rs485_payload(h, kRs485CommandFunction, static_cast<uint8_t>(h.rs485_node_id), h.last_rs485);
    return kOk;
}

int encode_can(HandCore& h, int request_type) {
    {
        std::lock_guard<std::mutex> lock(h.last_can_mutex);
        h.last_can.clear();
    }
    if (request_type == kModeCommand) {
        // Only the disable command has a servo frame of its own.
        const int n = active_joint_count(h);
        const std::vector<uint8_t> frame{0xBA, 0x01};
        for (int j = 0; j < n; ++j) {
            if (h.joint_command[j] != 2) continue;
            h.frame_log.log_frame(frame.data(), frame.size(), true);
            send_can(h, static_cast<unsigned>(h.joint_to_node[j]), frame);
        }
        return kOk;
    }
    send_servo_motion(h);
    return kOk;
}

// Request types: report selection, mode command, motion, gesture.
constexpr BusProfile kBusProfiles[] = {
    {kBusEthercat, {true, true, true, true}, &encode_rpdo, 5, false},
    {kBusCanfd, {true, true, true, true}, &encode_canfd, 5, true},
    {kBusRs485, {false, true, true, true}, &encode_rs485, 30, true},
    {kBusCan, {false, true, true, false}, &encode_can, 20, false},
};

// One bus's encoder called on its own: nothing unless the hand is on that bus.
int build_on(HandCore& h, BusKind kind, int request_type) {
    if (h.bus_kind.load() != kind) return kOk;
    return build_request(h, bus_profile(kind), request_type);
}

}  // namespace

const BusProfile* bus_profile(int32_t kind) {
    for (const BusProfile& bus : kBusProfiles) {
        if (bus.kind == kind) return &bus;
    }
    return nullptr;
}

int build_request(HandCore& h, const BusProfile* bus, int request_type) {
    if (bus == nullptr || request_type < 0 || request_type >= kRequestTypeCount) return kOk;
    if (!bus->carries[request_type]) return kOk;
    return bus->encode(h, request_type);
}

int build_rpdo_request(HandCore& h, int request_type) { return build_on(h, kBusEthercat, request_type); }
int build_canfd_request(HandCore& h, int request_type) { return build_on(h, kBusCanfd, request_type); }
int build_rs485_request(HandCore& h, int request_type) { return build_on(h, kBusRs485, request_type); }
int build_can_request(HandCore& h, int request_type) { return build_on(h, kBusCan, request_type); }

int send_servo_command(HandCore& h, int node_id, int position, int speed, int current) {
    const std::array<uint8_t, 7> frame = build_servo_frame(position, speed, current);
    h.frame_log.log_frame(frame.data(), frame.size(), true);
    send_can(h, static_cast<unsigned>(node_id), frame.data(), frame.size());
    return kOk;
}

}  // namespace morvx

namespace morvx {

std::array<uint8_t, 8> build_param_request(int kind, uint16_t index, uint8_t sub_index, uint16_t value) {
    std::array<uint8_t, 8> r{};
    switch (kind) {
        case 0:  // read
            r = {0x40, 0, 0, sub_index, 0, 0, 0, 0};
            write_le16(&r[1], index);
            break;
        case 1:  // write
            r = {0x2B, 0, 0, sub_index, 0, 0, 0, 0};
            write_le16(&r[1], index);
            write_le16(&r[4], value);
            break;
        case 2:  // save: object 0x1010:1 written with the text "save"
            r = {0x2F, 0x10, 0x10, 0x01, 0x73, 0x61, 0x76, 0x65};
            break;
        case 3:  // save preparation
            r = {0x00, 0x10, 0x10, 0, 0, 0, 0, 0};
            break;
        default:
            break;
    }
    return r;
}

}  // namespace morvx
