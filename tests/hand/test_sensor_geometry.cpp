// Taxel layouts: which layout each hand type, channel and direction gets, and
// the mirrored variants.
#include <gtest/gtest.h>

#include "hand_ops.h"
#include "sensor_geometry.h"

namespace morvx {
namespace {

TEST(SensorLayoutSelection, HandType0CountsByChannel) {
    for (int direction : {0, 1}) {
        for (int ch = 1; ch <= 11; ++ch) {
            const std::size_t expected = (ch == 1 || ch == 9) ? 5u : ch == 11 ? 26u : 9u;
            EXPECT_EQ(select_sensor_layout(0, ch, direction).size(), expected) << "channel " << ch;
        }
    }
}

TEST(SensorLayoutSelection, HandType0PalmMirroredExceptDirection0) {
    const SensorLayout& right = select_sensor_layout(0, 11, 0);
    EXPECT_FLOAT_EQ(right[0].first, 0.74f);
    EXPECT_FLOAT_EQ(right[0].second, 0.90f);
    for (int direction : {1, 2, -1}) {
        const SensorLayout& left = select_sensor_layout(0, 11, direction);
        ASSERT_EQ(left.size(), 26u);
        EXPECT_EQ(left[0].first, 1.0f - 0.74f) << "direction " << direction;
        EXPECT_EQ(left[0].second, 0.90f);
        EXPECT_EQ(left[25].first, 1.0f - 0.10f);
    }
    // The fingertips never mirror.
    EXPECT_EQ(&select_sensor_layout(0, 3, 0), &select_sensor_layout(0, 3, 1));
}

TEST(SensorLayoutSelection, HandType1PalmUnmirroredOnlyForDirection1) {
    const SensorLayout& d1 = select_sensor_layout(1, 11, 1);
    ASSERT_EQ(d1.size(), 36u);
    EXPECT_EQ(d1[0].first, 0.37f);
    EXPECT_EQ(d1[0].second, 0.09f);
    EXPECT_EQ(d1[35].first, 0.82f);
    for (int direction : {0, 2}) {
        const SensorLayout& m = select_sensor_layout(1, 11, direction);
        ASSERT_EQ(m.size(), 36u);
        EXPECT_EQ(m[0].first, 1.0f - 0.37f);
        EXPECT_EQ(m[0].second, 0.09f);
    }
    for (int ch = 0; ch <= 10; ++ch) EXPECT_EQ(select_sensor_layout(1, ch, 0).size(), 12u) << "channel " << ch;
}

TEST(SensorLayoutSelection, OtherHandTypesUseNinePoints) {
    for (int type : {2, 3, -1})
        for (int ch = 0; ch <= 11; ++ch) EXPECT_EQ(select_sensor_layout(type, ch, 1).size(), 9u);
    const SensorLayout& l9 = select_sensor_layout(2, 11, 0);
    EXPECT_EQ(l9[0], std::make_pair(0.50f, 0.08f));
    EXPECT_EQ(l9[8], std::make_pair(0.57f, 0.82f));
}

TEST(SensorLayoutSelection, FivePointLayout) {
    const SensorLayout& l5 = layout_5();
    ASSERT_EQ(l5.size(), 5u);
    EXPECT_EQ(l5[0], std::make_pair(0.50f, 0.18f));
    EXPECT_EQ(l5[4], std::make_pair(0.58f, 0.50f));
}

TEST(MirrorLayout, ReplacesXKeepsOrderAndY) {
    const SensorLayout in{{0.25f, 0.1f}, {1.0f, 0.9f}, {0.0f, 0.5f}};
    const SensorLayout out = mirror_layout(in);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0], std::make_pair(0.75f, 0.1f));
    EXPECT_EQ(out[1], std::make_pair(0.0f, 0.9f));
    EXPECT_EQ(out[2], std::make_pair(1.0f, 0.5f));
    EXPECT_TRUE(mirror_layout(SensorLayout{}).empty());
}

TEST(MirrorLayout, MirroredPalmsMatchTheirSources) {
    EXPECT_EQ(layout_26_mirrored(), mirror_layout(layout_26()));
    EXPECT_EQ(layout_36_mirrored(), mirror_layout(layout_36()));
}

}  // namespace
}  // namespace morvx
