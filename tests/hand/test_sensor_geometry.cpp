// Taxel layouts: which layout each hand type, channel and direction gets, and
// the mirrored variants.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

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

// Every point of every layout, written out by hand. A typo in
// one coordinate would put a pressure value in the wrong place.
using Points = std::vector<std::pair<float, float>>;

const Points kNine{{0.50f, 0.08f}, {0.38f, 0.30f}, {0.38f, 0.21f}, {0.56f, 0.21f}, {0.56f, 0.30f},
                   {0.36f, 0.82f}, {0.36f, 0.69f}, {0.57f, 0.69f}, {0.57f, 0.82f}};
const Points kFive{{0.50f, 0.18f}, {0.41f, 0.50f}, {0.41f, 0.62f}, {0.58f, 0.62f}, {0.58f, 0.50f}};
const Points kTwentySix{
    {0.74f, 0.90f}, {0.58f, 0.90f}, {0.41f, 0.90f}, {0.25f, 0.90f},
    {0.74f, 0.70f}, {0.58f, 0.70f}, {0.41f, 0.70f}, {0.25f, 0.70f},
    {0.90f, 0.50f}, {0.74f, 0.50f}, {0.58f, 0.50f}, {0.41f, 0.50f}, {0.25f, 0.50f}, {0.10f, 0.50f},
    {0.90f, 0.30f}, {0.74f, 0.30f}, {0.58f, 0.30f}, {0.41f, 0.30f}, {0.25f, 0.30f}, {0.10f, 0.30f},
    {0.90f, 0.10f}, {0.74f, 0.10f}, {0.58f, 0.10f}, {0.41f, 0.10f}, {0.25f, 0.10f}, {0.10f, 0.10f}};
const Points kTwelve{{0.50f, 0.07f}, {0.50f, 0.88f}, {0.64f, 0.53f}, {0.89f, 0.60f}, {0.14f, 0.90f},
                     {0.12f, 0.60f}, {0.18f, 0.37f}, {0.82f, 0.37f}, {0.36f, 0.53f}, {0.50f, 0.34f},
                     {0.50f, 0.70f}, {0.87f, 0.90f}};
const Points kThirtySix{
    {0.37f, 0.09f}, {0.55f, 0.09f}, {0.64f, 0.27f}, {0.55f, 0.17f}, {0.46f, 0.17f}, {0.37f, 0.17f},
    {0.27f, 0.17f}, {0.09f, 0.17f}, {0.18f, 0.17f}, {0.46f, 0.09f}, {0.55f, 0.27f}, {0.64f, 0.17f},
    {0.82f, 0.45f}, {0.82f, 0.83f}, {0.91f, 0.37f}, {0.91f, 0.27f}, {0.82f, 0.92f}, {0.82f, 0.73f},
    {0.82f, 0.55f}, {0.82f, 0.37f}, {0.82f, 0.27f}, {0.82f, 0.64f}, {0.91f, 0.17f}, {0.91f, 0.45f},
    {0.73f, 0.27f}, {0.73f, 0.55f}, {0.73f, 0.92f}, {0.73f, 0.83f}, {0.73f, 0.64f}, {0.73f, 0.37f},
    {0.73f, 0.17f}, {0.64f, 0.37f}, {0.64f, 0.92f}, {0.73f, 0.45f}, {0.73f, 0.73f}, {0.82f, 0.17f}};

Points mirrored(const Points& in) {
    Points out;
    for (const auto& p : in) out.emplace_back(1.0f - p.first, p.second);
    return out;
}

void expect_points(const SensorLayout& got, const Points& want, const char* what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].first, want[i].first) << what << " point " << i;
        EXPECT_EQ(got[i].second, want[i].second) << what << " point " << i;
    }
}

TEST(SensorLayoutPoints, EveryPointOfEveryLayout) {
    expect_points(layout_9(), kNine, "9");
    expect_points(layout_5(), kFive, "5");
    expect_points(layout_26(), kTwentySix, "26");
    expect_points(layout_12(), kTwelve, "12");
    expect_points(layout_36(), kThirtySix, "36");
    expect_points(layout_26_mirrored(), mirrored(kTwentySix), "26 mirrored");
    expect_points(layout_36_mirrored(), mirrored(kThirtySix), "36 mirrored");
}

// The whole selection table: hand type x channel x direction.
TEST(SensorLayoutPoints, SelectionTable) {
    for (int direction : {0, 1, 2, -1}) {
        for (int ch = 0; ch <= 12; ++ch) {
            const Points* t0 = (ch == 1 || ch == 9) ? &kFive : &kNine;
            Points palm0 = direction == 0 ? kTwentySix : mirrored(kTwentySix);
            if (ch == 11) t0 = &palm0;
            Points palm1 = direction == 1 ? kThirtySix : mirrored(kThirtySix);
            const Points* t1 = ch == 11 ? &palm1 : &kTwelve;
            SCOPED_TRACE("channel " + std::to_string(ch) + " direction " + std::to_string(direction));
            expect_points(select_sensor_layout(0, ch, direction), *t0, "type 0");
            expect_points(select_sensor_layout(1, ch, direction), *t1, "type 1");
            for (int type : {2, 3, -1}) expect_points(select_sensor_layout(type, ch, direction), kNine, "other");
        }
    }
}

}  // namespace
}  // namespace morvx
