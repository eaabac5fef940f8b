// Arbitrary bytes as parameter replies and OTA replies, and as CAN-FD frames
// on the ids that carry them. Input: byte 0 picks the entry point, the rest
// is the frame (an exact-size heap copy, so any over-read is caught).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "hand_core.h"
#include "hand_ops.h"

namespace {

morvx::HandCore& hand() {
    static morvx::HandCore* core = new morvx::HandCore(nullptr);  // lives for the whole run
    return *core;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t selector = data[0];
    const size_t len = size - 1;
    std::unique_ptr<uint8_t[]> frame(new uint8_t[len == 0 ? 1 : len]);
    if (len) std::memcpy(frame.get(), data + 1, len);
    morvx::ByteView view(frame.get(), len);

    morvx::HandCore& h = hand();
    // Each input starts from a CAN-FD hand: an earlier model-code reply may
    // have switched the bus kind, which would make the decoder refuse.
    h.bus_kind.store(1);
    switch (selector % 4) {
    case 0:
        morvx::handle_param_reply(h, view);
        break;
    case 1:
        morvx::queue_ota_reply(h, view);
        break;
    case 2:
        morvx::decode_canfd(h, 0x581, view);  // canfd_node_id 1: parameter reply id
        break;
    case 3:
        morvx::decode_canfd(h, 0x7001, view);  // OTA reply id
        break;
    }
    // Keep the OTA queue from filling up for good: take one reply out.
    uint8_t out[64];
    int out_len = static_cast<int>(selector % 65);
    morvx::get_ota_recv_data(h, (selector & 0x80) ? nullptr : out, &out_len);
    return 0;
}
