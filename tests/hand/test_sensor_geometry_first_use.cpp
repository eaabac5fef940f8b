// Concurrent first use of the taxel layouts: its own program, so no earlier
// test has built them already.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "hand_ops.h"

namespace morvx {
namespace {

struct Combo {
    int hand_type, channel, direction;
    std::size_t size;
};

TEST(SensorLayoutFirstUse, ThreadsRacingSeeOneCompleteLayout) {
    // Every layout reached at once, the mirrored ones before their sources.
    const std::vector<Combo> combos{{0, 11, 1, 26}, {1, 11, 0, 36}, {0, 11, 0, 26}, {1, 11, 1, 36},
                                    {0, 1, 0, 5},   {1, 3, 0, 12},  {2, 4, 0, 9}};
    constexpr int kThreads = 8;
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::vector<const SensorLayout*>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ready.fetch_add(1);
            while (!go.load()) std::this_thread::yield();
            // Each thread walks the combinations from a different start.
            for (std::size_t i = 0; i < combos.size(); ++i) {
                const Combo& c = combos[(i + t) % combos.size()];
                seen[t].push_back(&select_sensor_layout(c.hand_type, c.channel, c.direction));
            }
            std::rotate(seen[t].begin(), seen[t].end() - (t % combos.size()), seen[t].end());
        });
    }
    while (ready.load() < kThreads) std::this_thread::yield();
    go.store(true);
    for (auto& th : threads) th.join();

    for (std::size_t i = 0; i < combos.size(); ++i) {
        const SensorLayout* first = seen[0][i];
        ASSERT_EQ(first->size(), combos[i].size) << "combo " << i;
        for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t][i], first) << "thread " << t << " combo " << i;
    }
    EXPECT_EQ((*seen[0][0])[0].first, 1.0f - 0.74f);
    EXPECT_EQ((*seen[0][1])[0].first, 1.0f - 0.37f);
}

}  // namespace
}  // namespace morvx
