// Fixed taxel layouts and the rule that picks one for a channel.
//
// Points are (x, y) normalised to the sensor surface, 0..1. Function-local
// statics give one thread-safe build per layout on first use (C++11 magic
// statics); afterwards the layouts are only read.
#include "sensor_geometry.h"

namespace morvx {

const SensorLayout& layout_9() {
    static const SensorLayout points{
        {0.50f, 0.08f}, {0.38f, 0.30f}, {0.38f, 0.21f}, {0.56f, 0.21f}, {0.56f, 0.30f},
        {0.36f, 0.82f}, {0.36f, 0.69f}, {0.57f, 0.69f}, {0.57f, 0.82f},
    };
    return points;
}

const SensorLayout& layout_5() {
    static const SensorLayout points{
        {0.50f, 0.18f}, {0.41f, 0.50f}, {0.41f, 0.62f}, {0.58f, 0.62f}, {0.58f, 0.50f},
    };
    return points;
}

// Rows of 4, 4, 6, 6, 6 from the top (y = 0.90) down, each from high x to low x.
const SensorLayout& layout_26() {
    static const SensorLayout points{
        {0.74f, 0.90f}, {0.58f, 0.90f}, {0.41f, 0.90f}, {0.25f, 0.90f},
        {0.74f, 0.70f}, {0.58f, 0.70f}, {0.41f, 0.70f}, {0.25f, 0.70f},
        {0.90f, 0.50f}, {0.74f, 0.50f}, {0.58f, 0.50f}, {0.41f, 0.50f}, {0.25f, 0.50f}, {0.10f, 0.50f},
        {0.90f, 0.30f}, {0.74f, 0.30f}, {0.58f, 0.30f}, {0.41f, 0.30f}, {0.25f, 0.30f}, {0.10f, 0.30f},
        {0.90f, 0.10f}, {0.74f, 0.10f}, {0.58f, 0.10f}, {0.41f, 0.10f}, {0.25f, 0.10f}, {0.10f, 0.10f},
    };
    return points;
}

const SensorLayout& layout_12() {
    static const SensorLayout points{
        {0.50f, 0.07f}, {0.50f, 0.88f}, {0.64f, 0.53f}, {0.89f, 0.60f}, {0.14f, 0.90f}, {0.12f, 0.60f},
        {0.18f, 0.37f}, {0.82f, 0.37f}, {0.36f, 0.53f}, {0.50f, 0.34f}, {0.50f, 0.70f}, {0.87f, 0.90f},
    };
    return points;
}

// The order is the sensor's wiring order, not a geometric one.
const SensorLayout& layout_36() {
    static const SensorLayout points{
        {0.37f, 0.09f}, {0.55f, 0.09f}, {0.64f, 0.27f}, {0.55f, 0.17f}, {0.46f, 0.17f}, {0.37f, 0.17f},
        {0.27f, 0.17f}, {0.09f, 0.17f}, {0.18f, 0.17f}, {0.46f, 0.09f}, {0.55f, 0.27f}, {0.64f, 0.17f},
        {0.82f, 0.45f}, {0.82f, 0.83f}, {0.91f, 0.37f}, {0.91f, 0.27f}, {0.82f, 0.92f}, {0.82f, 0.73f},
        {0.82f, 0.55f}, {0.82f, 0.37f}, {0.82f, 0.27f}, {0.82f, 0.64f}, {0.91f, 0.17f}, {0.91f, 0.45f},
        {0.73f, 0.27f}, {0.73f, 0.55f}, {0.73f, 0.92f}, {0.73f, 0.83f}, {0.73f, 0.64f}, {0.73f, 0.37f},
        {0.73f, 0.17f}, {0.64f, 0.37f}, {0.64f, 0.92f}, {0.73f, 0.45f}, {0.73f, 0.73f}, {0.82f, 0.17f},
    };
    return points;
}

const SensorLayout& layout_26_mirrored() {
    static const SensorLayout points = mirror_layout(layout_26());
    return points;
}

const SensorLayout& layout_36_mirrored() {
    static const SensorLayout points = mirror_layout(layout_36());
    return points;
}

SensorLayout mirror_layout(const SensorLayout& layout) {
    SensorLayout out;
    out.reserve(layout.size());
    for (const auto& p : layout) out.emplace_back(1.0f - p.first, p.second);
    return out;
}

// The palm sensor (channel 11) faces the other way on the other hand side.
// The two hand types are wired from opposite sides, so the unmirrored
// direction differs: 0 for hand type 0, 1 for hand type 1.
const SensorLayout& select_sensor_layout(int hand_type, int channel, int direction) {
    switch (hand_type) {
    case 0:
        if (channel == 1 || channel == 9) return layout_5();
        if (channel == 11) return direction == 0 ? layout_26() : layout_26_mirrored();
        return layout_9();
    case 1:
        if (channel == 11) return direction == 1 ? layout_36() : layout_36_mirrored();
        return layout_12();
    default:
        return layout_9();
    }
}

}  // namespace morvx
