// Sums of one query against several vectors, side by side.
//
// Each stored vector gets a SIMD lane of its own and its lane adds the terms
// one element at a time in index order, starting from -0.0. That is the
// order of the sequential sums in core/distance.h, so every result is
// bit-identical to them; the speed comes from running several sums at once,
// never from splitting one. Wider instruction sets are used only when the
// CPU reports them at run time, so a baseline build runs anywhere.
#pragma once

#include <cstddef>
#include <span>

namespace quorbell {

// out[k] = sum_products(query, vectors[k], length), for k < count.
void sum_products_lanes(const float* query, const float* const* vectors, std::size_t count,
                        std::size_t length, float* out);

// out[k] = sum_squared_differences(query, vectors[k], length), for k < count.
void sum_squared_differences_lanes(const float* query, const float* const* vectors,
                                   std::size_t count, std::size_t length, float* out);

// One implementation of both sums for one instruction set.
struct LaneKernels {
  const char* name;
  void (*products)(const float*, const float* const*, std::size_t, std::size_t, float*);
  void (*squared_differences)(const float*, const float* const*, std::size_t, std::size_t, float*);
};

// Every implementation this CPU can run, narrowest first; the functions
// above use the last one.
std::span<const LaneKernels> supported_lane_kernels();

}  // namespace quorbell
