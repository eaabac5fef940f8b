// Reply decoders: EtherCAT TxPDO images, CAN-FD frames, RS485 wire frames and
// classic CAN servo replies into the published per-joint arrays and the
// tactile channels. Every decoder takes any bytes of any length: lengths are
// checked before each field and no read goes past the received bytes.
// All run on the thread that feeds received frames in (one per hand).
#include <algorithm>
#include <cmath>
#include <limits>

#include "frame_bodies.h"
#include "hand_ops.h"
#include "reply_layout_table.h"
#include "rs485_bus_context.h"
#include "rs485_framing.h"
#include "value_rules.h"
#include "wire_map.h"

namespace morvx {

namespace {

constexpr std::size_t kStatusPayloadBytes = 64;

// Saturates from the same ceiling as the frame encoders (value_rules.h).
int32_t trunc_to_int(float v) { return trunc_saturated(v, kFloatTopOfInt32); }

// Velocity fields count tens of position units per second. Widened to 32 bits
// so that fields beyond +-3276 keep their value instead of wrapping.
int32_t scaled_velocity(int16_t field) { return static_cast<int32_t>(field) * 10; }

void store_velocity(HandCore& h, int slot, int32_t scaled) {
    const float range = h.max_angle[slot] - h.min_angle[slot];
    h.now_angular_velocity.write(slot, static_cast<float>(scaled) * range / 10000.0f);
    h.now_position_velocity.write(slot, scaled);
}

// One tactile block at `offset` of a received frame of `size` bytes; the
// block decoder is handed only the bytes that were received from there on.
void decode_block(HandCore& h, int first_item, int item, const uint8_t* frame, std::size_t size, std::size_t offset) {
    if (offset > size) return;
    decode_tactile_block(h, first_item, item, frame + offset, size - offset);
}

// 12-bit two's-complement field.
int32_t sign12(uint32_t v) {
    v &= 0x0FFF;
    return (v & 0x800) ? static_cast<int32_t>(v) - 4096 : static_cast<int32_t>(v);
}

}  // namespace

int decode_tpdo(HandCore& h, ByteView image) {
    if (h.bus_kind.load() != kBusEthercat || image.size() < kTpdoImageBytes) return kFrameRejected;
    const TpdoLayout layout = find_tpdo_layout(image[0]);
    const uint8_t* p = image.data();

    if (layout.joints > 0) {
        // Every slot the layout carries, whatever the active joint count.
        for (int i = 0; i < layout.joints; ++i) {
            const uint8_t* item = p + 2 + 6 * i;
            h.raw_position.write(i, read_le16(item));
            store_velocity(h, i, scaled_velocity(read_le16s(item + 2)));
            h.now_current.write(i, read_le16s(item + 4));
            h.status_byte.write(i, p[layout.status_offset + i]);
        }
        h.raw_position.publish();
        h.now_angular_velocity.publish();
        h.now_position_velocity.publish();
        h.now_current.publish();
        h.status_byte.publish();
    }

    std::size_t offset = static_cast<std::size_t>(layout.block_start);
    for (int k = 0; k < layout.block_count; ++k) {
        decode_block(h, layout.first_item, k, p, image.size(), offset);
        offset += static_cast<std::size_t>(layout.block_size[k]);
    }

    refresh_measured(h);
    h.frame_log.log_frame(p, image.size(), false);
    return kOk;
}

int decode_canfd(HandCore& h, unsigned id, ByteView payload) {
    if (h.bus_kind.load() != kBusCanfd || payload.size() < 3) return kFrameRejected;
    h.frame_log.log_frame(payload.data(), payload.size(), false);
    const unsigned node = static_cast<unsigned>(h.canfd_node_id);
    if (id == node + kCanfdStatusIdOffset) return decode_status_reply(h, payload);
    if (id == node + kCanfdParamReplyIdOffset) return handle_param_reply(h, payload);
    if (id == node + kCanfdOtaReplyIdOffset) {
        // The OTA ring also keeps the longer RS485 replies; no CAN-FD frame is that long.
        return payload.size() > kCanfdMaxDataBytes ? kFrameRejected : queue_ota_reply(h, payload);
    }
    return kOk;
}

int decode_rs485(HandCore& h, ByteView bytes) {
    if (h.bus_kind.load() != kBusRs485) return kFrameRejected;
    // The receive thread may feed bytes while initial() attaches or drops the
    // context, hence the atomic load. No bytes is a read that found nothing,
    // which tells the context about the line's silence.
    std::shared_ptr<RS485SharedBusContext> context = std::atomic_load(&h.bus_context);
    if (!context) return bytes.empty() ? kOk : kNoBusContext;
    return context->receive_bytes(bytes.data(), bytes.size());
}

int handle_rs485_frame(HandCore& h, ByteView frame) {
    if (!rs485_frame_intact(frame)) return kFrameRejected;
    const RS485Reply reply = split_rs485_frame(frame);
    return handle_rs485_reply(h, reply, reply.node_id == static_cast<uint8_t>(h.rs485_node_id));
}

int handle_rs485_reply(HandCore& h, const RS485Reply& reply, bool ours) {
    const ByteView body = reply.body;
    const uint8_t start = reply.start;

    if (start == kRs485StartStatus) {
        // Status replies are decoded from a fixed 64-byte payload.
        uint8_t payload[kStatusPayloadBytes] = {};
        std::copy_n(body.data(), std::min(body.size(), kStatusPayloadBytes), payload);
        const int n = active_joint_count(h);
        if (payload[1] > n) payload[1] = static_cast<uint8_t>(n);
        h.frame_log.log_frame(payload, kStatusPayloadBytes, false);
        return ours ? decode_status_reply(h, ByteView(payload, kStatusPayloadBytes)) : kOk;
    }
    h.frame_log.log_frame(body.data(), body.size(), false);
    if (!ours) return kOk;
    if (start == kRs485StartParam) return handle_param_reply(h, body);
    if (start == kRs485StartOta) return queue_ota_reply(h, body);
    return kOk;
}

int decode_status_reply(HandCore& h, ByteView payload) {
    const std::size_t len = payload.size();
    if (len <= 2) return kFrameRejected;
    const ReplyLayout* layout = find_reply_layout(payload[0]);
    if (!layout) return kFrameRejected;
    const int active = active_joint_count(h);
    const int n = std::min<int>(payload[1], active);
    const std::size_t item_size = layout->item_size;
    const uint8_t* p = payload.data();

    if (layout->is_sensor) {
        if (layout->first + layout->count > kJointSlots) return kFrameRejected;
        if (len < layout->count * item_size + 2) return kFrameRejected;
        for (int i = 0; i < layout->count; ++i) decode_block(h, layout->first, i, p, len, 2 + i * item_size);
        refresh_measured(h);
        return kOk;
    }

    const int f = std::min<int>(n, layout->count);
    const std::size_t needed = layout->status_in_item ? f * item_size + 2 : layout->count * item_size + f + 2;
    if (len < needed) return kFrameRejected;
    for (int j = 0; j < f; ++j) {
        const std::size_t b = 2 + j * item_size;
        if (layout->has_position) h.raw_position.write(j, read_le16(p + b));
        if (layout->has_velocity) store_velocity(h, j, scaled_velocity(read_le16s(p + b + 2)));
        if (layout->has_current) h.now_current.write(j, read_le16s(p + b + (layout->has_velocity ? 4 : 2)));
        if (layout->status_in_item) {
            h.status_byte.write(j, p[b]);
            h.alarm_byte.write(j, static_cast<uint8_t>(p[b + 1] & 0x0F));
        } else {
            h.status_byte.write(j, p[2 + layout->count * item_size + j]);
        }
    }
    if (layout->has_position) h.raw_position.publish();
    if (layout->has_velocity) {
        h.now_angular_velocity.publish();
        h.now_position_velocity.publish();
    }
    if (layout->has_current) h.now_current.publish();
    h.status_byte.publish();
    if (layout->status_in_item) h.alarm_byte.publish();
    refresh_measured(h);
    return kOk;
}

int decode_can(HandCore& h, unsigned id, const uint8_t* data, int len) {
    if (h.bus_kind.load() != kBusCan || id <= 255) return kFrameRejected;
    const unsigned node = id - 0x100;
    const int active = active_joint_count(h);
    if (node == 0 || node > static_cast<unsigned>(active) || len < 8 || !data) return kFrameRejected;
    const int slot = h.node_to_joint[node];
    if (!valid_slot(slot)) return kFrameRejected;

    switch (data[0]) {
        case 0xA0: case 0xA1: case 0xA6: case 0xA9: case 0xAA: break;
        default: return kOk;
    }
    uint64_t w = 0;
    for (int i = 7; i >= 0; --i) w = (w << 8) | data[i];
    const uint8_t status = static_cast<uint8_t>(w >> 8);
    const int32_t position = static_cast<int32_t>((w >> 16) & 0x0FFF);
    const int32_t speed = sign12(static_cast<uint32_t>(w >> 28));
    const int32_t current = sign12(static_cast<uint32_t>(w >> 40));

    // Speeds are thousandths of the joint's range per second; currents are in
    // units of 0.8 of ours.
    const float angle_range = h.max_angle[slot] - h.min_angle[slot];
    const float position_range = static_cast<float>(h.max_position[slot] - h.min_position[slot]);
    h.raw_position.write(slot, position);
    h.status_byte.write(slot, status);
    h.now_angular_velocity.write(slot, static_cast<float>(speed) * 0.001f * angle_range);
    h.now_position_velocity.write(slot, trunc_to_int(static_cast<float>(speed) * 0.001f * position_range));
    h.now_current.write(slot, current * 10 * 1000 / 800);
    h.raw_position.publish();
    h.status_byte.publish();
    h.now_angular_velocity.publish();
    h.now_position_velocity.publish();
    h.now_current.publish();
    refresh_can_positions(h);
    return kOk;
}

void refresh_can_positions(HandCore& h) {
    const int active = active_joint_count(h);
    for (int i = 0; i < active; ++i) {
        const int32_t raw = std::min(std::max(h.raw_position.read(i), 0), 4095);
        const int32_t lo = h.min_position[i];
        const int32_t hi = h.max_position[i];
        int32_t position = lo;
        if (hi > lo) {
            position = lo + trunc_to_int(static_cast<float>(raw) / 4095.0f * static_cast<float>(hi - lo));
            position = std::min(std::max(position, lo), hi);
        }
        h.now_position.write(i, position);
        h.now_angle.write(i, position_to_angle(h, i, position));
    }

    if (h.hand_type.load() == 2) {
        // A coupled pair's two servos together give both joints' angles.
        for (std::size_t p = 0; p < h.coupled_pairs.size(); ++p) {
            const int a = h.coupled_pairs[p].first;
            const int b = h.coupled_pairs[p].second;
            if (!valid_node(a) || !valid_node(b)) continue;
            const int ja = h.node_to_joint[a];
            const int jb = h.node_to_joint[b];
            if (!valid_slot(ja) || !valid_slot(jb)) continue;
            int32_t ra = h.raw_position.read(ja);
            int32_t rb = h.raw_position.read(jb);
            if (h.hand_direction.load() == 1 && p == 0) std::swap(ra, rb);
            const std::pair<float, float> angles = coupled_from_servo(
                ra, rb, AngleLimits{h.min_angle[ja], h.max_angle[ja]}, AngleLimits{h.min_angle[jb], h.max_angle[jb]});
            h.now_angle.write(ja, angles.first);
            h.now_angle.write(jb, angles.second);
            h.now_position.write(ja, angle_to_position(h, ja, angles.first));
            h.now_position.write(jb, angle_to_position(h, jb, angles.second));
        }
    }
    h.now_position.publish();
    h.now_angle.publish();
}

}  // namespace morvx
