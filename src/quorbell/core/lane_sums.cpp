#include "core/lane_sums.h"

#include <algorithm>
#include <array>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace quorbell {

namespace {

enum class Term { Product, SquaredDifference };

template <Term T>
inline float term(float q, float v) {
  if constexpr (T == Term::Product) {
    return q * v;
  } else {
    const float d = q - v;
    return d * d;
  }
}

// Continues one lane's sum over elements [from, length) in index order.
template <Term T>
float finish_sum(float sum, const float* query, const float* vector, std::size_t from,
                 std::size_t length) {
  for (std::size_t i = from; i < length; ++i) sum += term<T>(query[i], vector[i]);
  return sum;
}

// Runs a kernel that fills exactly `Width * Groups` lanes over the whole
// batch: full rounds of two groups, then one, then a padded last group whose
// spare lanes repeat a real vector and are discarded. A lone vector is
// summed directly, which is just as fast and skips the shuffles.
template <std::size_t Width, class Kernel2, class Kernel1>
void run_in_groups(const float* query, const float* const* vectors, std::size_t count,
                   std::size_t length, float* out, Kernel2 two_groups, Kernel1 one_group,
                   float (*single)(float, const float*, const float*, std::size_t, std::size_t)) {
  std::size_t k = 0;
  for (; count - k >= 2 * Width; k += 2 * Width) two_groups(query, vectors + k, length, out + k);
  if (count - k >= Width) {
    one_group(query, vectors + k, length, out + k);
    k += Width;
  }
  const std::size_t rest = count - k;
  if (rest == 1) {
    out[k] = single(-0.0f, query, vectors[k], 0, length);
  } else if (rest > 1) {
    std::array<const float*, Width> padded;
    std::array<float, Width> sums;
    for (std::size_t j = 0; j < Width; ++j) padded[j] = vectors[k + std::min(j, rest - 1)];
    one_group(query, padded.data(), length, sums.data());
    std::copy_n(sums.begin(), rest, out + k);
  }
}

// Portable implementation: one vector after another.
template <Term T>
void sequential_sums(const float* query, const float* const* vectors, std::size_t count,
                     std::size_t length, float* out) {
  for (std::size_t k = 0; k < count; ++k) out[k] = finish_sum<T>(-0.0f, query, vectors[k], 0, length);
}

#if defined(__x86_64__)

// Baseline x86-64: SSE2, four lanes. Each block loads four consecutive
// elements of four vectors, forms the terms element-wise, transposes so that
// register j holds element j of every vector, and adds those in order.
template <Term T>
inline __m128 sse_terms(__m128 q, const float* v) {
  const __m128 x = _mm_loadu_ps(v);
  if constexpr (T == Term::Product) {
    return _mm_mul_ps(q, x);
  } else {
    const __m128 d = _mm_sub_ps(q, x);
    return _mm_mul_ps(d, d);
  }
}

template <Term T, std::size_t Groups>
void sse_kernel(const float* query, const float* const* vectors, std::size_t length, float* out) {
  constexpr std::size_t W = 4;
  __m128 acc[Groups];
  for (std::size_t g = 0; g < Groups; ++g) acc[g] = _mm_set1_ps(-0.0f);
  const std::size_t blocked = length / W * W;
  for (std::size_t i = 0; i < blocked; i += W) {
    const __m128 q = _mm_loadu_ps(query + i);
    for (std::size_t g = 0; g < Groups; ++g) {
      const float* const* v = vectors + g * W;
      __m128 r0 = sse_terms<T>(q, v[0] + i), r1 = sse_terms<T>(q, v[1] + i);
      __m128 r2 = sse_terms<T>(q, v[2] + i), r3 = sse_terms<T>(q, v[3] + i);
      _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
      acc[g] = _mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_add_ps(acc[g], r0), r1), r2), r3);
    }
  }
  for (std::size_t g = 0; g < Groups; ++g) _mm_storeu_ps(out + g * W, acc[g]);
  for (std::size_t k = 0; k < Groups * W; ++k) out[k] = finish_sum<T>(out[k], query, vectors[k], blocked, length);
}

template <Term T>
void sse_sums(const float* query, const float* const* vectors, std::size_t count, std::size_t length,
              float* out) {
  run_in_groups<4>(query, vectors, count, length, out, sse_kernel<T, 2>, sse_kernel<T, 1>, finish_sum<T>);
}

// AVX2, eight lanes, compiled for that instruction set only and entered only
// after the run-time check. The target names AVX2 alone, not FMA: products
// and sums stay separately rounded.
#define QUORBELL_AVX2 __attribute__((target("avx2")))

template <Term T>
QUORBELL_AVX2 inline __m256 avx2_terms(__m256 q, const float* v) {
  const __m256 x = _mm256_loadu_ps(v);
  if constexpr (T == Term::Product) {
    return _mm256_mul_ps(q, x);
  } else {
    const __m256 d = _mm256_sub_ps(q, x);
    return _mm256_mul_ps(d, d);
  }
}

// Transposes 8 rows of 8: afterwards r[j] holds element j of every row.
QUORBELL_AVX2 inline void avx2_transpose(__m256 (&r)[8]) {
  const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
  const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
  const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
  const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
  const __m256 s0 = _mm256_shuffle_ps(t0, t2, 0x44), s1 = _mm256_shuffle_ps(t0, t2, 0xEE);
  const __m256 s2 = _mm256_shuffle_ps(t1, t3, 0x44), s3 = _mm256_shuffle_ps(t1, t3, 0xEE);
  const __m256 s4 = _mm256_shuffle_ps(t4, t6, 0x44), s5 = _mm256_shuffle_ps(t4, t6, 0xEE);
  const __m256 s6 = _mm256_shuffle_ps(t5, t7, 0x44), s7 = _mm256_shuffle_ps(t5, t7, 0xEE);
  r[0] = _mm256_permute2f128_ps(s0, s4, 0x20);
  r[1] = _mm256_permute2f128_ps(s1, s5, 0x20);
  r[2] = _mm256_permute2f128_ps(s2, s6, 0x20);
  r[3] = _mm256_permute2f128_ps(s3, s7, 0x20);
  r[4] = _mm256_permute2f128_ps(s0, s4, 0x31);
  r[5] = _mm256_permute2f128_ps(s1, s5, 0x31);
  r[6] = _mm256_permute2f128_ps(s2, s6, 0x31);
  r[7] = _mm256_permute2f128_ps(s3, s7, 0x31);
}

template <Term T, std::size_t Groups>
QUORBELL_AVX2 void avx2_kernel(const float* query, const float* const* vectors, std::size_t length,
                               float* out) {
  constexpr std::size_t W = 8;
  __m256 acc[Groups];
  for (std::size_t g = 0; g < Groups; ++g) acc[g] = _mm256_set1_ps(-0.0f);
  const std::size_t blocked = length / W * W;
  for (std::size_t i = 0; i < blocked; i += W) {
    const __m256 q = _mm256_loadu_ps(query + i);
    for (std::size_t g = 0; g < Groups; ++g) {
      __m256 r[8];
      for (std::size_t j = 0; j < W; ++j) r[j] = avx2_terms<T>(q, vectors[g * W + j] + i);
      avx2_transpose(r);
      __m256 sum = acc[g];
      for (std::size_t j = 0; j < W; ++j) sum = _mm256_add_ps(sum, r[j]);
      acc[g] = sum;
    }
  }
  for (std::size_t g = 0; g < Groups; ++g) _mm256_storeu_ps(out + g * W, acc[g]);
  for (std::size_t k = 0; k < Groups * W; ++k) out[k] = finish_sum<T>(out[k], query, vectors[k], blocked, length);
}

template <Term T>
QUORBELL_AVX2 void avx2_sums(const float* query, const float* const* vectors, std::size_t count,
                             std::size_t length, float* out) {
  run_in_groups<8>(query, vectors, count, length, out, avx2_kernel<T, 2>, avx2_kernel<T, 1>, finish_sum<T>);
}

#undef QUORBELL_AVX2

std::span<const LaneKernels> detect_kernels() {
  static const LaneKernels all[] = {
      {"sequential", sequential_sums<Term::Product>, sequential_sums<Term::SquaredDifference>},
      {"sse2", sse_sums<Term::Product>, sse_sums<Term::SquaredDifference>},
      {"avx2", avx2_sums<Term::Product>, avx2_sums<Term::SquaredDifference>},
  };
  __builtin_cpu_init();
  const std::size_t count = __builtin_cpu_supports("avx2") ? 3 : 2;
  return {all, count};
}

#else

std::span<const LaneKernels> detect_kernels() {
  static const LaneKernels all[] = {
      {"sequential", sequential_sums<Term::Product>, sequential_sums<Term::SquaredDifference>},
  };
  return all;
}

#endif

const LaneKernels& best_kernels() {
  static const LaneKernels& best = supported_lane_kernels().back();
  return best;
}

}  // namespace

std::span<const LaneKernels> supported_lane_kernels() {
  static const std::span<const LaneKernels> kernels = detect_kernels();
  return kernels;
}

void sum_products_lanes(const float* query, const float* const* vectors, std::size_t count,
                        std::size_t length, float* out) {
  best_kernels().products(query, vectors, count, length, out);
}

void sum_squared_differences_lanes(const float* query, const float* const* vectors,
                                   std::size_t count, std::size_t length, float* out) {
  best_kernels().squared_differences(query, vectors, count, length, out);
}

}  // namespace quorbell
