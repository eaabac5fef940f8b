#include "bit_timing.h"

#include <algorithm>
#include <vector>

namespace tavrix {
namespace {

constexpr uint32_t kMinRequestedBps = 100;
constexpr double kQuickLow = 0.995;
constexpr double kQuickHigh = 1.005;
constexpr double kToleranceStep = 0.001;
constexpr double kToleranceLimit = 1.2;
constexpr size_t kNoStep = static_cast<size_t>(-1);

struct Window {
  double low;
  double high;
};
constexpr Window kWindows[] = {{0.75, 0.76}, {0.74, 0.80}, {0.73, 0.82}, {0.70, 0.85}, {0.65, 0.88}};

const std::vector<double>& tolerances() {
  static const std::vector<double> steps = [] {
    std::vector<double> v;
    double t = 1.0;
    v.push_back(t);
    while (t < kToleranceLimit) {
      t += kToleranceStep;
      v.push_back(t);
    }
    return v;
  }();
  return steps;
}

uint32_t min_segments(const TimingLimits&) { return 2 + 1 + 1; }  // tseg1 2, tseg2 1, sync quantum
uint32_t max_segments(const TimingLimits& l) { return static_cast<uint32_t>(l.tseg1_max) + l.tseg2_max + 1; }

uint32_t prescaler_limit(const TimingLimits& l, uint32_t requested) {
  return requested >= kHighRateBps ? std::min<uint32_t>(2, l.prescaler_max) : l.prescaler_max;
}

// The accepted segment totals n for one prescaler form one contiguous range,
// because the achieved rate falls with n and the accepted rates form an
// interval around the requested one. The best n on either side of the
// requested rate are n0 = clock / rate and n0 + 1, so the range (clipped to
// the reachable totals) contains one of them clipped, if it is not empty.
bool accepted_range(uint32_t clock_per_prescaler, uint32_t requested, double tolerance, uint32_t n_min,
                    uint32_t n_max, uint32_t* lo, uint32_t* hi) {
  auto ok = [&](uint32_t n) { return tolerance_accepts(clock_per_prescaler / n, requested, tolerance); };
  uint32_t n0 = clock_per_prescaler / requested;
  uint32_t a = std::clamp(n0, n_min, n_max);
  uint32_t b = std::clamp(n0 + 1, n_min, n_max);
  uint32_t start;
  if (ok(a)) {
    start = a;
  } else if (ok(b)) {
    start = b;
  } else {
    return false;
  }
  *lo = *hi = start;
  while (*lo > n_min && ok(*lo - 1)) --*lo;
  while (*hi < n_max && ok(*hi + 1)) ++*hi;
  return true;
}

// Combinations with total n that pass the tolerance-independent rules
// (segment ranges, sample point at least 0.5, accepted tseg2).
uint32_t basic_pairs(uint32_t n, const TimingLimits& l) {
  int64_t lo = std::max<int64_t>({1, l.tseg2_accept_min, static_cast<int64_t>(n) - 1 - l.tseg1_max});
  int64_t hi = std::min<int64_t>({l.tseg2_max, static_cast<int64_t>(n) - 3, static_cast<int64_t>(n / 2)});
  return hi >= lo ? static_cast<uint32_t>(hi - lo + 1) : 0;
}

// First step of the widening loop at which a rate is accepted.
size_t first_step(uint32_t rate, uint32_t requested) {
  const std::vector<double>& t = tolerances();
  if (!tolerance_accepts(rate, requested, t.back())) return kNoStep;
  size_t lo = 0, hi = t.size() - 1;
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    if (tolerance_accepts(rate, requested, t[mid])) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return lo;
}

// The step at which the widening loop stops: the first step whose search
// holds two candidates. Up to the second candidate no sample-point window
// applies, so a search holds two exactly when two combinations pass the
// basic rules at that tolerance; the step is the second smallest first_step
// over all such combinations. Per prescaler we walk outwards from the
// requested rate in both directions, where first_step only grows.
size_t stopping_step(uint32_t clock_hz, const TimingLimits& l, uint32_t requested) {
  const size_t last = tolerances().size() - 1;
  size_t best[2] = {kNoStep, kNoStep};
  auto offer = [&](size_t k) {
    if (k < best[0]) {
      best[1] = best[0];
      best[0] = k;
    } else if (k < best[1]) {
      best[1] = k;
    }
  };
  const uint32_t n_min = min_segments(l), n_max = max_segments(l);
  const uint32_t p_max = prescaler_limit(l, requested);
  for (uint32_t p = 1; p <= p_max; ++p) {
    uint32_t cp = clock_hz / p;
    uint32_t n0 = cp / requested;
    int64_t up = n0 >= n_min ? std::min(n0, n_max) : static_cast<int64_t>(n_min) - 1;
    int64_t down = std::max<int64_t>(static_cast<int64_t>(n0) + 1, n_min);
    uint32_t found = 0;
    while (found < 2) {
      size_t ku = up >= n_min ? first_step(cp / static_cast<uint32_t>(up), requested) : kNoStep;
      size_t kd = down <= n_max ? first_step(cp / static_cast<uint32_t>(down), requested) : kNoStep;
      size_t k = std::min(ku, kd);
      if (k == kNoStep || k >= best[1]) break;
      uint32_t pairs;
      if (ku <= kd) {
        pairs = basic_pairs(static_cast<uint32_t>(up--), l);
      } else {
        pairs = basic_pairs(static_cast<uint32_t>(down++), l);
      }
      for (uint32_t i = 0; i < pairs && i < 2; ++i) offer(k);
      found += pairs;
    }
  }
  return std::min(best[1], last);
}

}  // namespace

bool tolerance_accepts(uint32_t rate, uint32_t requested, double tolerance) {
  if (rate == requested) return true;
  uint32_t high = std::max(rate, requested), low = std::min(rate, requested);
  if (low == 0) return false;
  return static_cast<double>(high) / static_cast<double>(low) < tolerance;
}

size_t tolerance_step_count() { return tolerances().size(); }
double tolerance_step(size_t k) { return tolerances().at(k); }

size_t search_timing(uint32_t clock_hz, const TimingLimits& l, uint32_t requested, double tolerance,
                     TimingCandidate* out) {
  requested = std::max(requested, kMinRequestedBps);
  const uint32_t n_min = min_segments(l), n_max = max_segments(l);
  const uint32_t p_max = prescaler_limit(l, requested);
  size_t count = 0;
  for (uint32_t p = 1; p <= p_max; ++p) {
    uint32_t cp = clock_hz / p;
    uint32_t lo = 0, hi = 0;
    if (!accepted_range(cp, requested, tolerance, n_min, n_max, &lo, &hi)) continue;
    for (int tseg1 = l.tseg1_max; tseg1 >= 2; --tseg1) {
      int first = std::max(1, static_cast<int>(lo) - 1 - tseg1);
      int last = std::min(static_cast<int>(l.tseg2_max), static_cast<int>(hi) - 1 - tseg1);
      for (int tseg2 = first; tseg2 <= last; ++tseg2) {
        uint32_t n = static_cast<uint32_t>(tseg1 + tseg2 + 1);
        double sp = static_cast<double>(tseg1 + 1) / static_cast<double>(n);
        if (sp < 0.5) continue;
        if (tseg2 < l.tseg2_accept_min) continue;
        if (count >= 6 && (sp < 0.70 || sp > 0.90)) continue;
        if (count >= 11 && (sp < 0.75 || sp > 0.85)) continue;
        if (count >= kMaxCandidates) return count;
        out[count++] = TimingCandidate{static_cast<uint16_t>(p), static_cast<uint8_t>(tseg1),
                                       static_cast<uint8_t>(tseg2), cp / n, sp};
      }
    }
  }
  return count;
}

bool select_candidate(const TimingCandidate* candidates, size_t count, TimingCandidate* chosen) {
  for (const Window& w : kWindows) {
    for (size_t i = 0; i < count; ++i) {
      if (candidates[i].sample_point >= w.low && candidates[i].sample_point <= w.high) {
        *chosen = candidates[i];
        return true;
      }
    }
  }
  return false;
}

BitTiming settle_timing(uint32_t clock_hz, const TimingLimits& l, const BitTiming& in) {
  BitTiming out = in;
  if (out.prescaler == 0) out.prescaler = 1;
  const uint32_t requested = in.rate;
  uint32_t achieved = clock_hz / out.prescaler / (static_cast<uint32_t>(out.tseg1) + out.tseg2 + 1);
  if (requested != 0) {
    double ratio = static_cast<double>(achieved) / static_cast<double>(requested);
    if (ratio > kQuickLow && ratio < kQuickHigh && (requested < kHighRateBps || out.prescaler <= 2)) {
      out.rate = achieved;
      return out;
    }
  }
  const uint32_t r = std::max(requested, kMinRequestedBps);
  size_t step = stopping_step(clock_hz, l, r);
  TimingCandidate candidates[kMaxCandidates];
  size_t count = search_timing(clock_hz, l, requested, tolerances()[step], candidates);
  TimingCandidate chosen{};
  if (!select_candidate(candidates, count, &chosen)) chosen = TimingCandidate{0, 0, 0, 0, 0.0};
  out.rate = chosen.rate;
  out.prescaler = chosen.prescaler;
  out.tseg1 = chosen.tseg1;
  out.tseg2 = chosen.tseg2;
  out.sjw = static_cast<uint8_t>(std::max(1, 2 * chosen.tseg2 / 3));
  return out;
}

}  // namespace tavrix
