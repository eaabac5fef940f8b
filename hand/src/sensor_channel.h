// One tactile sensor's decoded readings. Plain value type: copied whole by
// readers under the channel's sequence counter.
#ifndef MORVANE_SENSOR_CHANNEL_H
#define MORVANE_SENSOR_CHANNEL_H

#include <utility>
#include <vector>

namespace morvx {

struct SensorChannel {
    std::vector<std::pair<float, float>> positions;  // normalised taxel (x, y)
    std::vector<float> pressure;                     // one per taxel
    std::vector<float> normal_force;                 // always 2
    std::vector<float> tangential_force;             // always 2
    std::vector<float> force_direction;              // always 2
    std::vector<float> proximity;                    // always 2

    SensorChannel() = default;
    SensorChannel(std::vector<std::pair<float, float>> pos, std::vector<float> p, std::vector<float> nf,
                  std::vector<float> tf, std::vector<float> fd, std::vector<float> px)
        : positions(std::move(pos)), pressure(std::move(p)), normal_force(std::move(nf)),
          tangential_force(std::move(tf)), force_direction(std::move(fd)), proximity(std::move(px)) {}
};

constexpr int kSensorChannels = 12;  // channel numbers 0..11; 1..11 are sensors

}  // namespace morvx

#endif  // MORVANE_SENSOR_CHANNEL_H
