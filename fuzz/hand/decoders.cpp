// libFuzzer entry for the reply decoders. One source, four targets chosen at
// compile time (FUZZ_ENTRY): every decoder must take any bytes of any length.
// The input is copied to an exact-size heap block so ASan sees any over-read.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "hand_core.h"
#include "hand_ops.h"

using namespace morvx;

namespace {

// One hand per hand type, built once per process (building one costs the
// tactile tables); the first input byte picks it.
HandCore& hand_for(uint8_t selector, int bus_kind) {
    static std::unique_ptr<HandCore> hands[3];
    const int type = selector % 3;
    if (!hands[type]) {
        hands[type] = std::make_unique<HandCore>(nullptr);
        set_hand_type(*hands[type], type);
    }
    HandCore& h = *hands[type];
    // Identification replies may have rewritten these; start every run alike.
    h.bus_kind = bus_kind;
    h.hand_type = type;
    h.active_joints = type == 2 ? 16 : 6;
    h.total_joints = type == 2 ? 21 : 11;
    int n = 0;
    while (get_ota_recv_data(h, nullptr, &n) == 0 && n > 0) {
        std::vector<uint8_t> drop(static_cast<std::size_t>(n));
        get_ota_recv_data(h, drop.data(), &n);
    }
    return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint8_t selector = data[0];
    const unsigned id_low = data[1];
    data += 2;
    size -= 2;
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size]);
    std::memcpy(copy.get(), data, size);
    const ByteView bytes(copy.get(), size);

#if FUZZ_ENTRY == 0
    (void)id_low;
    decode_tpdo(hand_for(selector, 0), bytes);
#elif FUZZ_ENTRY == 1
    // Status, parameter and OTA reply ids of node 1, or any other id.
    static const unsigned kIds[] = {0x481, 0x581, 0x7001};
    const unsigned id = (id_low & 3) < 3 ? kIds[id_low & 3] : 0x400 + id_low;
    decode_canfd(hand_for(selector, 1), id, bytes);
#elif FUZZ_ENTRY == 2
    decode_can(hand_for(selector, 3), 0x100 + (id_low & 0x1F), copy.get(), static_cast<int>(size));
#else
    HandCore& h = hand_for(selector, 2);
    if (id_low & 1) {
        decode_status_reply(h, bytes);
    } else if (id_low & 2) {
        // Frame with a valid CRC appended, so the body decoders are reached.
        std::unique_ptr<uint8_t[]> framed(new uint8_t[size + 2]);
        std::memcpy(framed.get(), copy.get(), size);
        const uint16_t crc = crc16_modbus(framed.get(), size);
        framed[size] = static_cast<uint8_t>(crc);
        framed[size + 1] = static_cast<uint8_t>(crc >> 8);
        handle_rs485_frame(h, ByteView(framed.get(), size + 2));
    } else {
        handle_rs485_frame(h, bytes);
    }
#endif
    return 0;
}
