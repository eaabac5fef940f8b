// Arbitrary bytes into the tactile block decoder.
//
// Input: [item, first_item, hand type, direction, format selector, block...].
// item and first_item are signed bytes, so negative and out-of-map indices
// are reached; the block is an exact-size heap copy so any read past the
// received bytes is caught by ASan.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "hand_core.h"
#include "hand_ops.h"

namespace {

morvx::HandCore& core() {
    static morvx::HandCore* h = new morvx::HandCore(nullptr);  // kept for the whole run
    return *h;
}

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    morvx::HandCore& h = core();
    const int item = static_cast<int8_t>(data[0]);
    const int first_item = static_cast<int8_t>(data[1]);
    h.hand_type.store(static_cast<int>(data[2] % 4) - 1);  // -1..2
    h.hand_direction.store(static_cast<int8_t>(data[3]));
    const uint8_t selector = data[4];
    if (selector < 2) {
        morvx::set_sensor_data_format(h, selector);
    } else {
        // Raw per-channel formats, including values no set-up call produces.
        morvx::ChannelFormats formats{};
        for (int ch = 0; ch < morvx::kJointSlots; ++ch) formats[ch] = static_cast<uint8_t>((selector + ch) % 4);
        morvx::build_sensor_channels(h, formats);
    }

    std::size_t sizes[morvx::kSensorChannels];
    for (int ch = 0; ch < morvx::kSensorChannels; ++ch) sizes[ch] = h.sensor_channels[ch].record.pressure.size();

    const std::size_t n = size - 5;
    std::unique_ptr<uint8_t[]> block(new uint8_t[n == 0 ? 1 : n]);
    if (n) std::memcpy(block.get(), data + 5, n);
    morvx::decode_tactile_block(h, first_item, item, n ? block.get() : nullptr, n);

    // Decoding never resizes a channel, leaves every counter even, and
    // stores only finite values within their scales.
    for (int ch = 0; ch < morvx::kSensorChannels; ++ch) {
        const morvx::SensorChannel c = morvx::read_sensor_channel(h, ch);
        check(c.pressure.size() == sizes[ch] && c.positions.size() == sizes[ch]);
        check(c.normal_force.size() == 2 && c.proximity.size() == 2);
        for (float p : c.pressure) check(p >= 0.0f && p <= 25.5f);
        for (float p : c.proximity) check(p >= 0.0f && p <= 1.0f);
        check((h.sensor_channels[ch].sequence.load() & 1u) == 0);
    }
    float buf[40];
    for (int ch = 1; ch <= 11; ++ch) {
        int count = 40;
        check(morvx::get_finger_pressure(h, ch, buf, &count) == morvx::kOk);
    }
    return 0;
}
