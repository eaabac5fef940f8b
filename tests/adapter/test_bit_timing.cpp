// Bit-timing settle: the worked examples, and the fast search against the
// plain loops over many clocks and bit rates.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "bit_timing.h"
#include "timing_reference.h"

using namespace tavrix;

namespace {

BitTiming settle(uint32_t clock, const TimingLimits& l, uint32_t rate, uint16_t p = 0, uint8_t t1 = 0,
                 uint8_t t2 = 0, uint8_t sjw = 0) {
  return settle_timing(clock, l, BitTiming{rate, p, t1, t2, sjw});
}

void expect_timing(const BitTiming& t, uint32_t rate, uint16_t p, uint8_t t1, uint8_t t2, uint8_t sjw) {
  EXPECT_EQ(t.rate, rate);
  EXPECT_EQ(t.prescaler, p);
  EXPECT_EQ(t.tseg1, t1);
  EXPECT_EQ(t.tseg2, t2);
  EXPECT_EQ(t.sjw, sjw);
}

}  // namespace

TEST(BitTiming, ClassicAdapterAt36MHz) {
  expect_timing(settle(36000000, kClassicLimits, 500000), 500000, 6, 8, 3, 2);
  expect_timing(settle(36000000, kClassicLimits, 1000000), 1000000, 3, 8, 3, 2);
  expect_timing(settle(36000000, kClassicLimits, 2000), 2000, 900, 14, 5, 3);
  // The slowest reachable rate (1528 bit/s) is beyond the widest tolerance.
  expect_timing(settle(36000000, kClassicLimits, 1000), 0, 0, 0, 0, 1);
}

TEST(BitTiming, KitValuesKeptAt80MHz) {
  expect_timing(settle(80000000, kNominalLimits, 1000000, 2, 31, 8, 5), 1000000, 2, 31, 8, 5);
  expect_timing(settle(80000000, kDataLimits, 5000000, 1, 11, 4, 2), 5000000, 1, 11, 4, 2);
}

TEST(BitTiming, KitValuesSearchedAt60MHz) {
  expect_timing(settle(60000000, kNominalLimits, 1000000, 2, 31, 8, 5), 1000000, 1, 44, 15, 10);
  expect_timing(settle(60000000, kDataLimits, 5000000, 1, 11, 4, 2), 5000000, 1, 8, 3, 2);
}

TEST(BitTiming, HighRatesTryOnlyPrescalersOneAndTwo) {
  TimingCandidate c[kMaxCandidates];
  size_t n = search_timing(120000000, kDataLimits, 2000000, 1.2, c);
  ASSERT_GT(n, 0u);
  for (size_t i = 0; i < n; ++i) EXPECT_LE(c[i].prescaler, 2);
  // Just below 2 Mbit/s larger prescalers are tried.
  n = search_timing(120000000, kDataLimits, 1999999, 1.2, c);
  bool larger = false;
  for (size_t i = 0; i < n; ++i) larger |= c[i].prescaler > 2;
  EXPECT_TRUE(larger);
}

TEST(BitTiming, ToleranceStepsEndAtFirstValueReaching1_2) {
  size_t n = tolerance_step_count();
  EXPECT_EQ(tolerance_step(0), 1.0);
  EXPECT_GE(tolerance_step(n - 1), 1.2);
  EXPECT_LT(tolerance_step(n - 2), 1.2);
}

namespace {

std::vector<uint32_t> test_clocks() {
  std::vector<uint32_t> clocks;
  for (uint32_t mhz = 8; mhz <= 120; mhz += 4) clocks.push_back(mhz * 1000000);
  for (uint32_t c : {36000000u, 60000000u, 66666666u, 13560000u, 119999999u, 9000001u}) clocks.push_back(c);
  return clocks;
}

std::vector<uint32_t> test_rates(std::mt19937& rng, int random_count) {
  std::vector<uint32_t> rates = {0,      50,     100,    5000,    10000,   20000,   33333,   50000,
                                 62500,  83333,  100000, 125000,  250000,  400000,  500000,  800000,
                                 1000000, 1999999, 2000000, 4000000, 5000000, 8000000, 12000000, 60000000};
  std::uniform_int_distribution<uint32_t> any(100, 10000000);
  for (int i = 0; i < random_count; ++i) rates.push_back(any(rng));
  return rates;
}

#ifdef KIT_SANITIZER_BUILD
constexpr int kStride = 2;  // sanitizers are slow; cover half of the cases
#else
constexpr int kStride = 1;
#endif

struct Named {
  const char* name;
  TimingLimits fast;
  timing_ref::Limits ref;
};
const Named kSets[] = {{"classic", kClassicLimits, timing_ref::kClassic},
                       {"nominal", kNominalLimits, timing_ref::kNominal},
                       {"data", kDataLimits, timing_ref::kData}};

}  // namespace

TEST(BitTiming, SearchMatchesPlainLoopsAtAnyTolerance) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<size_t> step(0, tolerance_step_count() - 1);
  int compared = 0;
  int i = 0;
  for (const Named& set : kSets) {
    for (uint32_t clock : test_clocks()) {
      for (uint32_t rate : test_rates(rng, 2)) {
        if (set.ref.prescaler_max == 512 && set.ref.tseg1_max == 255 && (i++ % 7) != 0) continue;
        if ((i++ % kStride) != 0) continue;
        double t = tolerance_step(step(rng));
        TimingCandidate fast[kMaxCandidates];
        size_t n = search_timing(clock, set.fast, rate, t, fast);
        auto ref = timing_ref::search(clock, set.ref, rate, t);
        ASSERT_EQ(n, ref.size()) << set.name << " clock " << clock << " rate " << rate << " t " << t;
        for (size_t k = 0; k < n; ++k) {
          ASSERT_EQ(fast[k].prescaler, ref[k].prescaler);
          ASSERT_EQ(fast[k].tseg1, ref[k].tseg1);
          ASSERT_EQ(fast[k].tseg2, ref[k].tseg2);
          ASSERT_EQ(fast[k].rate, ref[k].rate);
        }
        ++compared;
      }
    }
  }
  EXPECT_GT(compared, 100);
}

// Compares every case of one limit set; nominal_stride samples the nominal
// set, whose plain search is slow (up to seconds per settle when the
// tolerance widens to 1.2).
void compare_settles(const Named& set, int stride, uint32_t seed, int* compared, bool all_high_rates = false) {
  std::mt19937 rng(seed);
  int i = 0;
  for (uint32_t clock : test_clocks()) {
    for (uint32_t rate : test_rates(rng, 3)) {
      // From 2 Mbit/s only two prescalers are searched: cheap enough for every case.
      bool cheap = all_high_rates && rate >= 2000000;
      if ((i++ % stride) != 0 && !cheap) continue;
      timing_ref::Timing ref = timing_ref::settle(clock, set.ref, timing_ref::Timing{rate, 0, 0, 0, 0});
      BitTiming fast = settle_timing(clock, set.fast, BitTiming{rate, 0, 0, 0, 0});
      timing_ref::Timing got{fast.rate, fast.prescaler, fast.tseg1, fast.tseg2, fast.sjw};
      ASSERT_TRUE(got == ref) << set.name << " clock " << clock << " rate " << rate << ": got " << got.rate << "/"
                              << got.prescaler << "/" << got.tseg1 << "/" << got.tseg2 << " want " << ref.rate << "/"
                              << ref.prescaler << "/" << ref.tseg1 << "/" << ref.tseg2;
      ++*compared;
    }
  }
}

TEST(BitTiming, SettleMatchesPlainLoopsClassicAndData) {
  int compared = 0;
  compare_settles(kSets[0], 2 * kStride, 777, &compared);
  compare_settles(kSets[2], 4 * kStride, 778, &compared);
  EXPECT_GT(compared, 100);
}

TEST(BitTiming, SettleMatchesPlainLoopsNominalSample) {
  int compared = 0;
  compare_settles(kSets[1], 41 * kStride, 779, &compared, kStride == 1);
  EXPECT_GE(compared, 5);
}

// The whole nominal matrix: minutes with the plain loops, so only in the
// soak run (ctest -L soak).
TEST(BitTimingSoak, SettleMatchesPlainLoopsNominalAll) {
  if (!std::getenv("TAVRIX_TIMING_SOAK")) GTEST_SKIP() << "set TAVRIX_TIMING_SOAK=1 (ctest -L long does)";
  int compared = 0;
  compare_settles(kSets[1], 1, 780, &compared);
  EXPECT_GT(compared, 500);
}
