// A plain implementation of the bit-timing search, loop by loop as the
// adapter's timing rules read, to compare the library's fast settle against.
#ifndef TESTS_ADAPTER_TIMING_REFERENCE_H
#define TESTS_ADAPTER_TIMING_REFERENCE_H

#include <algorithm>
#include <cstdint>
#include <vector>

namespace timing_ref {

struct Limits {
  int prescaler_max, tseg1_max, tseg2_max, tseg2_min_accepted;
};
constexpr Limits kClassic{1024, 15, 7, 1};
constexpr Limits kNominal{512, 255, 127, 2};
constexpr Limits kData{512, 32, 15, 1};

struct Candidate {
  int prescaler, tseg1, tseg2;
  uint32_t rate;
  double sp;
};

struct Timing {
  uint32_t rate;
  int prescaler, tseg1, tseg2, sjw;
  bool operator==(const Timing& o) const {
    return rate == o.rate && prescaler == o.prescaler && tseg1 == o.tseg1 && tseg2 == o.tseg2 && sjw == o.sjw;
  }
};

inline std::vector<Candidate> search(uint32_t clock, const Limits& l, uint32_t requested, double t) {
  std::vector<Candidate> list;
  uint32_t r = std::max<uint32_t>(requested, 100);
  int p_max = r >= 2000000 ? 2 : l.prescaler_max;
  for (int p = 1; p <= p_max; ++p) {
    for (int tseg1 = l.tseg1_max; tseg1 >= 2; --tseg1) {
      for (int tseg2 = 1; tseg2 <= l.tseg2_max; ++tseg2) {
        uint32_t n = static_cast<uint32_t>(tseg1 + tseg2 + 1);
        uint32_t rate = (clock / static_cast<uint32_t>(p)) / n;
        bool accept = rate == r;
        if (!accept && std::min(rate, r) != 0)
          accept = static_cast<double>(std::max(rate, r)) / static_cast<double>(std::min(rate, r)) < t;
        if (!accept) continue;
        double sp = static_cast<double>(tseg1 + 1) / n;
        if (sp < 0.5) continue;
        if (tseg2 < l.tseg2_min_accepted) continue;
        if (list.size() >= 6 && !(sp >= 0.70 && sp <= 0.90)) continue;
        if (list.size() >= 11 && !(sp >= 0.75 && sp <= 0.85)) continue;
        if (list.size() == 128) return list;
        list.push_back(Candidate{p, tseg1, tseg2, rate, sp});
      }
    }
  }
  return list;
}

inline Timing settle(uint32_t clock, const Limits& l, Timing in) {
  if (in.prescaler == 0) in.prescaler = 1;
  uint32_t achieved = clock / static_cast<uint32_t>(in.prescaler) / static_cast<uint32_t>(in.tseg1 + in.tseg2 + 1);
  if (in.rate != 0) {
    double ratio = static_cast<double>(achieved) / in.rate;
    if (ratio > 0.995 && ratio < 1.005 && (in.rate < 2000000 || in.prescaler <= 2)) {
      in.rate = achieved;
      return in;
    }
  }
  double t = 1.0;
  std::vector<Candidate> list = search(clock, l, in.rate, t);
  while (list.size() < 2 && t < 1.2) {
    t += 0.001;
    list = search(clock, l, in.rate, t);
  }
  static const double windows[5][2] = {{0.75, 0.76}, {0.74, 0.80}, {0.73, 0.82}, {0.70, 0.85}, {0.65, 0.88}};
  for (const auto& w : windows) {
    for (const Candidate& c : list) {
      if (c.sp >= w[0] && c.sp <= w[1]) {
        return Timing{c.rate, c.prescaler, c.tseg1, c.tseg2, std::max(1, 2 * c.tseg2 / 3)};
      }
    }
  }
  return Timing{0, 0, 0, 0, 1};
}

}  // namespace timing_ref

#endif  // TESTS_ADAPTER_TIMING_REFERENCE_H
