// Bit-timing settle: keeps a caller's timing that is within 0.5 % of the
// requested rate, otherwise searches prescaler and segment combinations with
// a tolerance that widens from 1.000 in steps of 0.001 up to 1.2, and picks
// the first candidate whose sample point lies in the narrowest window.
#ifndef TAVRIX_BIT_TIMING_H
#define TAVRIX_BIT_TIMING_H

#include <cstddef>
#include <cstdint>

namespace tavrix {

struct TimingLimits {
  uint16_t prescaler_max;
  uint8_t tseg1_max;        // tried from here down to 2
  uint8_t tseg2_max;        // tried from 1 up to here
  uint8_t tseg2_accept_min; // smallest tseg2 that is accepted
};

constexpr TimingLimits kClassicLimits{1024, 15, 7, 1};
constexpr TimingLimits kNominalLimits{512, 255, 127, 2};
constexpr TimingLimits kDataLimits{512, 32, 15, 1};

constexpr size_t kMaxCandidates = 128;
constexpr uint32_t kHighRateBps = 2000000;  // from here only prescalers 1 and 2

struct TimingCandidate {
  uint16_t prescaler;
  uint8_t tseg1;
  uint8_t tseg2;
  uint32_t rate;
  double sample_point;
};

struct BitTiming {
  uint32_t rate;
  uint16_t prescaler;
  uint8_t tseg1;
  uint8_t tseg2;
  uint8_t sjw;
};

// Whether an achieved rate is accepted for the requested one at tolerance t.
bool tolerance_accepts(uint32_t rate, uint32_t requested, double tolerance);

// The tolerance sequence of the widening loop, built by repeated addition
// exactly as the loop does: tolerance_step(0) = 1.0, and the last step is the
// first value that reaches 1.2.
size_t tolerance_step_count();
double tolerance_step(size_t k);

// All candidates for one tolerance, in loop order (prescaler ascending, tseg1
// descending, tseg2 ascending); requested is raised to at least 100.
// Returns the count (at most kMaxCandidates).
size_t search_timing(uint32_t clock_hz, const TimingLimits& limits, uint32_t requested, double tolerance,
                     TimingCandidate* out);

// First candidate in the first sample-point window that holds one; false
// when none does.
bool select_candidate(const TimingCandidate* candidates, size_t count, TimingCandidate* chosen);

// The whole settle of one phase. in carries the caller's rate and timing.
BitTiming settle_timing(uint32_t clock_hz, const TimingLimits& limits, const BitTiming& in);

}  // namespace tavrix

#endif  // TAVRIX_BIT_TIMING_H
