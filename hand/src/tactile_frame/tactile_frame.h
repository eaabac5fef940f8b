// Tactile frame decoder: turns tactile sensor data given as bytes into a
// caller-owned record. Three inputs are understood: a binary sensor frame
// (header, 24-bit readings, force triplets, additive checksum), a text line of
// 22 comma-separated numbers, and a counted array of 32-bit floats.
//
// The decoder keeps no state: everything, including the baselines readings
// are measured against, lives in the caller's SensorFrameData, which the
// caller keeps between calls. All functions take a pointer and a length and
// never read outside them; any input of any length is safe. Functions may run
// on any thread as long as no two calls share one record.
#ifndef MORVANE_TACTILE_FRAME_H
#define MORVANE_TACTILE_FRAME_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace morvx {
namespace tactile {

constexpr uint8_t kFrameSync0 = 0x55;
constexpr uint8_t kFrameSync1 = 0xAA;
constexpr uint8_t kFrameType = 0x85;
// Frames of this length or more carry the long layout.
constexpr std::size_t kLongFrameMinBytes = 61;
// Readings after the header start at this offset.
constexpr std::size_t kFrameHeaderBytes = 6;
// A text line carries this many readings.
constexpr std::size_t kTextReadings = 22;

// Counts of one frame layout: `group_a` readings besides groups B and C in the
// first group, `group_b`, `group_c`, and `triplets` force triplets.
struct FrameLayout {
    int group_a;
    int group_b;
    int group_c;
    int triplets;
    // Readings of the first group: A + B + C.
    int total_channels() const { return group_a + group_b + group_c; }
};

// Decoded values and the baselines they are measured against. The decoders
// clear the value vectors on each successful header check; the three baseline
// vectors are never cleared: an empty one is filled with zeros on first use,
// otherwise it is used as the caller left it.
struct SensorFrameData {
    std::vector<double> readings;           // first group, raw 24-bit values
    std::vector<uint32_t> group_b;          // group B, raw 24-bit values
    std::vector<uint32_t> group_c;          // group C, raw 24-bit values
    std::vector<double> normal_force;       // per triplet, device units / 100
    std::vector<double> tangential_force;   // per triplet, device units / 100
    std::vector<uint16_t> direction;        // per triplet, as sent
    std::vector<double> baseline;           // first group
    std::vector<uint32_t> group_b_baseline;
    std::vector<uint32_t> group_c_baseline;
    std::vector<double> relative;           // first group, (reading - baseline) / (4e6 - baseline)
    std::vector<double> group_b_scaled;     // (reading - baseline) / 3e6
    std::vector<double> group_c_scaled;     // (reading - baseline) / 1e6
};

// {9, 2, 1, 2} for a long frame, else {5, 1, 0, 1}.
FrameLayout choose_frame_layout(bool long_frame);

// b0 | b1 << 8 | b2 << 16; `bytes` must hold at least 3 bytes.
uint32_t read_u24_le(const uint8_t* bytes);

// True when len >= 2 and the 16-bit wrapping sum of all bytes before the last
// two equals the little-endian u16 in the last two.
bool verify_frame_checksum(const uint8_t* bytes, std::size_t len);

// Length of the frame starting at bytes[0]: the first position past the
// readings that byte 5 announces where the running sum matches the next two
// bytes. 0 when none is found (or len <= 5).
int find_frame_end(const uint8_t* bytes, std::size_t len);

// Decodes one whole binary frame into `data`. False on a short frame, a bad
// checksum or header (record untouched), or when a field would run into the
// checksum (record cleared and partly filled).
bool decode_sensor_frame(const uint8_t* frame, std::size_t len, SensorFrameData& data);

// Parses a text line of comma-separated numbers into the first-group readings
// and relative values; items without a number are skipped, items after the
// 22nd ignored. True when exactly 22 readings were stored. Empty input: false,
// record untouched.
bool parse_sensor_text(const uint8_t* text, std::size_t len, SensorFrameData& data);

// Input: u32 little-endian count, then count IEEE-754 little-endian floats,
// nothing more. False (output unchanged) unless the length matches exactly.
bool unpack_float_array(const uint8_t* bytes, std::size_t len, std::vector<float>& out);

// Removes leading and trailing white space (the isspace set) in place.
void trim(std::string& text);

}  // namespace tactile
}  // namespace morvx

#endif  // MORVANE_TACTILE_FRAME_H
