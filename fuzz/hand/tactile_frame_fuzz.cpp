// libFuzzer targets for the tactile frame decoder, one per entry point,
// chosen at compile time by TACTILE_FUZZ_ENTRY. Each copies the input into a
// heap buffer of exactly its size, so any read past the end trips ASan.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "tactile_frame.h"

using namespace morvx::tactile;

namespace {

std::unique_ptr<uint8_t[]> exact_copy(const uint8_t* data, std::size_t size) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size == 0 ? 1 : size]);
    if (size != 0) std::memcpy(copy.get(), data, size);
    return copy;
}

// The first input byte picks how the record's baselines start: empty, sized
// for the other layout, or too short, so the decoder meets baselines that do
// not match its readings.
[[maybe_unused]] void preset_baselines(uint8_t choice, SensorFrameData& record) {
    switch (choice % 4) {
        case 1:
            record.baseline.assign(6, 10.0);
            record.group_b_baseline.assign(1, 5);
            break;
        case 2:
            record.baseline.assign(2, 5000000.0);
            record.group_b_baseline.assign(1, 0xFFFFFFFFu);
            record.group_c_baseline.assign(3, 1);
            break;
        case 3:
            record.baseline.assign(30, -1e300);
            break;
        default:
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
#if TACTILE_FUZZ_ENTRY == 1
    auto copy = exact_copy(data, size);
    const int end = find_frame_end(copy.get(), size);
    if (end < 0 || static_cast<std::size_t>(end) > size) __builtin_trap();
    if (end > 0 && !verify_frame_checksum(copy.get(), static_cast<std::size_t>(end))) __builtin_trap();
    verify_frame_checksum(copy.get(), size);
#elif TACTILE_FUZZ_ENTRY == 2
    if (size == 0) return 0;
    SensorFrameData record;
    preset_baselines(data[0], record);
    auto copy = exact_copy(data + 1, size - 1);
    // Twice: the second call meets the baselines the first one sized.
    decode_sensor_frame(copy.get(), size - 1, record);
    decode_sensor_frame(copy.get(), size - 1, record);
#elif TACTILE_FUZZ_ENTRY == 3
    if (size == 0) return 0;
    SensorFrameData record;
    preset_baselines(data[0], record);
    auto copy = exact_copy(data + 1, size - 1);
    if (parse_sensor_text(copy.get(), size - 1, record) && record.readings.size() != kTextReadings) {
        __builtin_trap();
    }
#elif TACTILE_FUZZ_ENTRY == 4
    auto copy = exact_copy(data, size);
    std::vector<float> out;
    if (unpack_float_array(copy.get(), size, out) && out.size() * 4 + 4 != size) __builtin_trap();
#else
#error "TACTILE_FUZZ_ENTRY must be 1 to 4"
#endif
    return 0;
}
