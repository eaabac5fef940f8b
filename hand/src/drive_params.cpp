// Drive parameters (object index, sub-index, 16-bit value) and the OTA data
// path. Reads are serialised by param_mutex and wait at most 200 ms for the
// reply, which the receive thread hands over through an atomic promise pointer.
#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>

#include "hand_ops.h"

namespace morvx {

namespace {

constexpr uint8_t kParamReplyCode = 0x4B;
constexpr std::size_t kParamReplyBytes = 6;
constexpr auto kParamReadTimeout = std::chrono::milliseconds(200);

// Kinds of the 8-byte parameter request.
enum ParamKind : int { kParamRead = 0, kParamWrite = 1, kParamSave = 2, kParamSavePrepare = 3 };

constexpr uint16_t kModelObject = 0x200E;
constexpr uint8_t kModelSub = 29;
constexpr uint8_t kFirmwareSub = 30;
constexpr uint16_t kDirectionObject = 0x2030;
constexpr uint8_t kDirectionSub = 5;

// Model code -> (bus kind, hand type); codes outside 1..6 change nothing.
void apply_model_code(HandCore& h, uint16_t code) {
    static const BusKind kBus[7] = {kBusEthercat, kBusEthercat, kBusCanfd, kBusCanfd,
                                    kBusEthercat, kBusRs485,    kBusRs485};
    static const int32_t kType[7] = {0, 0, 0, 1, 1, 1, 0};
    if (code < 1 || code > 6) return;
    h.bus_kind.store(kBus[code], std::memory_order_release);
    h.hand_type.store(kType[code], std::memory_order_release);
    h.total_joints.store(11, std::memory_order_release);
    h.active_joints.store(6, std::memory_order_release);
}

// Applied to every well-formed reply, whether or not a read waits for it.
void apply_identification(HandCore& h, uint16_t index, uint8_t sub, uint16_t value) {
    if (index == kModelObject && sub == kModelSub) apply_model_code(h, value);
    if (index == kDirectionObject && sub == kDirectionSub) {
        if (value == 1) h.hand_direction.store(0, std::memory_order_release);
        if (value == 2) h.hand_direction.store(1, std::memory_order_release);
    }
    if (index == kModelObject && sub == kFirmwareSub) {
        // Multiplied in double precision so that 123 gives exactly the float nearest 1.23.
        h.firmware_version.store(static_cast<float>(static_cast<double>(static_cast<float>(value)) * 0.01),
                                 std::memory_order_release);
    }
}

}  // namespace

int set_sdo_drive_param(HandCore& h, unsigned index, uint8_t sub_index, unsigned value) {
    return send_param_request(h, kParamWrite, static_cast<uint16_t>(index), sub_index, static_cast<uint16_t>(value));
}

int get_sdo_drive_param(HandCore& h, unsigned index, uint8_t sub_index, unsigned* value) {
    if (value == nullptr) return kBadArgument;
    std::lock_guard<std::mutex> lock(h.param_mutex);

    auto* promise = new std::promise<unsigned>();
    std::future<unsigned> future = promise->get_future();
    // Index and sub-index first: a reply handler that sees the promise pointer
    // must also see what it belongs to.
    h.pending_index.store(static_cast<uint16_t>(index), std::memory_order_release);
    h.pending_sub_index.store(sub_index, std::memory_order_release);
    // The slot is normally empty; a promise that a reply handler put back
    // after the previous read ended is nobody's and is dropped here.
    delete h.pending_read.exchange(promise, std::memory_order_acq_rel);

    // Whoever takes the promise out of the slot destroys it: here, or the
    // reply handler after setting its value.
    auto end_pending = [&h] {
        std::promise<unsigned>* taken = h.pending_read.exchange(nullptr, std::memory_order_acq_rel);
        h.pending_index.store(0, std::memory_order_release);
        h.pending_sub_index.store(0, std::memory_order_release);
        return taken;
    };

    bool answered = false;
    try {
        send_param_request(h, kParamRead, static_cast<uint16_t>(index), sub_index, 0);
        answered = future.wait_for(kParamReadTimeout) == std::future_status::ready;
    } catch (...) {
        // E.g. no thread for a one-off RS485 context: leave no read pending.
        delete end_pending();
        throw;
    }

    std::promise<unsigned>* mine = end_pending();
    if (!answered && mine == nullptr) {
        // A reply handler holds the promise: it may have set the value
        // between the end of the wait and the exchange.
        answered = future.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }
    // Only after the checks: destroying an unset promise readies the future
    // with a broken-promise error.
    delete mine;
    if (!answered) return kTimedOut;
    try {
        *value = future.get();
    } catch (const std::future_error&) {
        return kTimedOut;
    }
    return kOk;
}

int save_sdo_drive_param(HandCore& h) {
    if (!carries_params(h.bus_kind.load(std::memory_order_acquire))) return kOk;
    const int r = send_param_request(h, kParamSavePrepare, 0, 0, 0);
    if (r != kOk) return r;
    inter_command_delay(h);
    return send_param_request(h, kParamSave, 0, 0, 0);
}

int handle_param_reply(HandCore& h, ByteView reply) {
    if (reply.size() < kParamReplyBytes || reply[0] != kParamReplyCode) return kBadParamReply;
    const uint16_t index = read_le16(reply.data() + 1);
    const uint8_t sub = reply[3];
    const uint16_t value = read_le16(reply.data() + 4);

    apply_identification(h, index, sub, value);

    if (h.pending_index.load(std::memory_order_acquire) == index &&
        h.pending_sub_index.load(std::memory_order_acquire) == sub) {
        std::promise<unsigned>* promise = h.pending_read.exchange(nullptr, std::memory_order_acq_rel);
        if (promise == nullptr) return kOk;
        // The read that matched may have ended and a read of another object
        // begun between the check above and the exchange. A reader stores its
        // index before its promise, so after taking the promise the pending
        // index is the taken promise's own (or a later one).
        if (h.pending_index.load(std::memory_order_acquire) == index &&
            h.pending_sub_index.load(std::memory_order_acquire) == sub) {
            promise->set_value(value);
            delete promise;
        } else {
            // Not ours: hand it back. If the slot was refilled meanwhile, its
            // reader has finished with this promise, so it is dropped.
            std::promise<unsigned>* expected = nullptr;
            if (!h.pending_read.compare_exchange_strong(expected, promise, std::memory_order_acq_rel)) delete promise;
        }
    }
    return kOk;
}

int set_ota_send_data(HandCore& h, const uint8_t* data, unsigned len) {
    if (data == nullptr) return kBadArgument;
    // From now on the RS485 worker leaves this hand unpolled, until the next initial.
    h.ota_busy.store(true, std::memory_order_release);
    h.ota_data.assign(data, data + len);
    send_ota_request(h);
    return kOk;
}

int queue_ota_reply(HandCore& h, ByteView reply) {
    if (reply.empty() || reply.size() > kOtaReplyMaxBytes) return kFrameRejected;
    std::lock_guard<std::mutex> lock(h.ota_mutex);
    if (h.ota_count >= kOtaQueueLimit) return kTimedOut;  // queue full: dropped
    HandCore::OtaReply& slot = h.ota_replies[(h.ota_first + h.ota_count) % kOtaQueueLimit];
    std::copy(reply.begin(), reply.end(), slot.bytes.begin());
    slot.size = reply.size();
    ++h.ota_count;
    return kOk;
}

int get_ota_recv_data(HandCore& h, uint8_t* buffer, int* length) {
    if (length == nullptr || *length < 0) return kBadArgument;
    std::lock_guard<std::mutex> lock(h.ota_mutex);
    if (h.ota_count == 0) {
        *length = 0;
        return kOk;
    }
    const HandCore::OtaReply& oldest = h.ota_replies[h.ota_first];
    const int size = static_cast<int>(oldest.size);
    if (buffer == nullptr) {
        // Size query: the reply stays queued.
        *length = size;
        return kOk;
    }
    const int n = *length < size ? *length : size;
    std::copy(oldest.bytes.begin(), oldest.bytes.begin() + n, buffer);
    *length = n;
    h.ota_first = (h.ota_first + 1) % kOtaQueueLimit;
    --h.ota_count;
    return kOk;
}

}  // namespace morvx
