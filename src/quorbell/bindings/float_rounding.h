// The one rule that turns a component's double into the stored float,
// shared by the sequence path and the buffer path so both give the same
// bits.
#pragma once

#include <cfloat>
#include <cmath>

namespace quorbell {

// Rounds to the nearest float. Finite doubles beyond the float range round
// to the largest float or overflow to an infinity, as IEEE rounding does; a
// plain conversion of such a value would be undefined behaviour.
inline float round_to_float(double value) {
  // Halfway between FLT_MAX and 2^128: from here on, rounding overflows.
  constexpr double OVERFLOW_THRESHOLD = 0x1.ffffffp127;
  const double magnitude = std::fabs(value);
  if (magnitude > FLT_MAX) {
    const float rounded = magnitude >= OVERFLOW_THRESHOLD ? INFINITY : FLT_MAX;
    return std::signbit(value) ? -rounded : rounded;
  }
  return static_cast<float>(value);
}

}  // namespace quorbell
