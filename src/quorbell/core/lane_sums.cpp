#include "core/lane_sums.h"

#include <algorithm>
#include <array>
#include <type_traits>

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
float finish_sum(float sum, const float* query, const float* vector, std::size_t from, std::size_t length) {
  for (std::size_t i = from; i < length; ++i) sum += term<T>(query[i], vector[i]);
  return sum;
}

// Continues lanes' sums over the elements [from, length) that a kernel's
// blocks left, if any.
template <Term T>
void finish_lanes(const float* query, const float* const* vectors, std::size_t count, std::size_t from,
                  std::size_t length, float* out) {
  if (from == length) return;
  for (std::size_t k = 0; k < count; ++k) out[k] = finish_sum<T>(out[k], query, vectors[k], from, length);
}

// Sums up to `Width` vectors: a lone one directly, more with a kernel that
// fills `Width` lanes, the spare ones repeating a real vector and discarded.
template <std::size_t Width, class Kernel>
void run_padded(const float* query, const float* const* vectors, std::size_t count, std::size_t length, float* out,
                Kernel kernel, float (*single)(float, const float*, const float*, std::size_t, std::size_t)) {
  if (count == 1) {
    out[0] = single(-0.0f, query, vectors[0], 0, length);
  } else if (count > 1) {
    std::array<const float*, Width> padded;
    std::array<float, Width> sums;
    for (std::size_t j = 0; j < Width; ++j) padded[j] = vectors[std::min(j, count - 1)];
    kernel(query, padded.data(), length, sums.data());
    std::copy_n(sums.begin(), count, out);
  }
}

// Runs a kernel that fills exactly `Width * Groups` lanes over the whole
// batch: full rounds of two groups, then one; `tail` sums the fewer than
// `Width` left.
template <std::size_t Width, class Kernel2, class Kernel1, class Tail>
void run_in_groups(const float* query, const float* const* vectors, std::size_t count, std::size_t length, float* out,
                   Kernel2 two_groups, Kernel1 one_group, Tail tail) {
  std::size_t k = 0;
  for (; count - k >= 2 * Width; k += 2 * Width) two_groups(query, vectors + k, length, out + k);
  if (count - k >= Width) {
    one_group(query, vectors + k, length, out + k);
    k += Width;
  }
  tail(query, vectors + k, count - k, length, out + k);
}

// Portable implementation: one vector after another.
template <Term T>
void sequential_sums(const float* query, const float* const* vectors, std::size_t count, std::size_t length,
                     float* out) {
  for (std::size_t k = 0; k < count; ++k) out[k] = finish_sum<T>(-0.0f, query, vectors[k], 0, length);
}

// Blocks in lane order, one after another and lane after lane.
template <Term T>
void sequential_block_sums(const float* query, std::size_t length, const float* blocks, std::size_t block_floats,
                           std::size_t count, float* out) {
  for (std::size_t b = 0; b < count; ++b) {
    for (std::size_t j = 0; j < kBlockLanes; ++j) {
      const float* lane = blocks + b * block_floats + j;
      float sum = -0.0f;
      for (std::size_t i = 0; i < length; ++i) sum += term<T>(query[i], lane[i * kBlockLanes]);
      out[b * kBlockLanes + j] = sum;
    }
  }
}

// Queries against lane-order rows, one query and one lane after another.
void sequential_row_products(const float* const* queries, std::size_t query_count, std::size_t length,
                             const float* rows, std::size_t row_floats, std::size_t lanes, float* out) {
  for (std::size_t q = 0; q < query_count; ++q) {
    for (std::size_t j = 0; j < lanes; ++j) {
      float sum = -0.0f;
      for (std::size_t i = 0; i < length; ++i) sum += term<Term::Product>(queries[q][i], rows[i * row_floats + j]);
      out[q * kBlockLanes + j] = sum;
    }
  }
}

// The portable kernels, which every build has.
constexpr LaneKernels kSequential{"sequential",
                                  sequential_sums<Term::Product>,
                                  sequential_sums<Term::SquaredDifference>,
                                  sequential_block_sums<Term::Product>,
                                  sequential_block_sums<Term::SquaredDifference>,
                                  sequential_row_products};

// Calls kernel(std::integral_constant<std::size_t, query_count>{}), for a
// query_count of 1 to kRowQueries.
template <std::size_t Count = 1, class Kernel>
void with_query_count(std::size_t query_count, Kernel kernel) {
  if constexpr (Count < kRowQueries) {
    if (query_count > Count) return with_query_count<Count + 1>(query_count, kernel);
  }
  kernel(std::integral_constant<std::size_t, Count>{});
}

// Runs kernel(group, ...) over the blocks Largest at a time, then in
// halving groups down to one. Every lane's sum is a chain of additions
// that waits on itself, so a kernel keeps the adder busy only with several
// blocks' chains side by side.
template <std::size_t Largest, class Kernel>
void run_in_block_groups(const float* query, std::size_t length, const float* blocks, std::size_t block_floats,
                         std::size_t count, float* out, Kernel kernel) {
  std::size_t b = 0;
  const auto run = [&](auto group) {
    for (; count - b >= group.value; b += group.value) {
      kernel(group, query, length, blocks + b * block_floats, block_floats, out + b * kBlockLanes);
    }
  };
  run(std::integral_constant<std::size_t, Largest>{});
  if constexpr (Largest >= 8) run(std::integral_constant<std::size_t, 4>{});
  if constexpr (Largest >= 4) run(std::integral_constant<std::size_t, 2>{});
  if constexpr (Largest >= 2) run(std::integral_constant<std::size_t, 1>{});
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
  finish_lanes<T>(query, vectors, Groups * W, blocked, length, out);
}

// A padded last group; a lone vector is summed directly, which is just as
// fast and skips the shuffles.
template <Term T>
void sse_tail(const float* query, const float* const* vectors, std::size_t count, std::size_t length, float* out) {
  run_padded<4>(query, vectors, count, length, out, sse_kernel<T, 1>, finish_sum<T>);
}

template <Term T>
void sse_sums(const float* query, const float* const* vectors, std::size_t count, std::size_t length, float* out) {
  run_in_groups<4>(query, vectors, count, length, out, sse_kernel<T, 2>, sse_kernel<T, 1>, sse_tail<T>);
}

// Blocks in lane order: each row of a block is four registers of four
// lanes; two blocks (eight chains) fill the sixteen registers.
template <Term T, std::size_t Blocks>
void sse_block_kernel(const float* query, std::size_t length, const float* blocks, std::size_t block_floats,
                      float* out) {
  constexpr std::size_t Rows = kBlockLanes / 4;
  __m128 acc[Rows * Blocks];
  for (__m128& a : acc) a = _mm_set1_ps(-0.0f);
  for (std::size_t i = 0; i < length; ++i) {
    const __m128 q = _mm_set1_ps(query[i]);
    for (std::size_t b = 0; b < Blocks; ++b) {
      const float* row = blocks + b * block_floats + i * kBlockLanes;
      for (std::size_t r = 0; r < Rows; ++r)
        acc[Rows * b + r] = _mm_add_ps(acc[Rows * b + r], sse_terms<T>(q, row + 4 * r));
    }
  }
  for (std::size_t k = 0; k < Rows * Blocks; ++k) _mm_storeu_ps(out + 4 * k, acc[k]);
}

template <Term T>
void sse_block_sums(const float* query, std::size_t length, const float* blocks, std::size_t block_floats,
                    std::size_t count, float* out) {
  run_in_block_groups<2>(query, length, blocks, block_floats, count, out,
                         [](auto group, auto... args) { sse_block_kernel<T, decltype(group)::value>(args...); });
}

// AVX2, eight lanes, compiled for that instruction set only and entered only
// after the run-time check. The target names AVX2 alone, not FMA: products
// and sums stay separately rounded.
#define QUORBELL_AVX2 __attribute__((target("avx2")))

template <Term T>
QUORBELL_AVX2 inline __m256 avx2_terms(__m256 q, __m256 x) {
  if constexpr (T == Term::Product) {
    return _mm256_mul_ps(q, x);
  } else {
    const __m256 d = _mm256_sub_ps(q, x);
    return _mm256_mul_ps(d, d);
  }
}

// Four floats from low in the low half, four from high in the high half.
QUORBELL_AVX2 inline __m256 avx2_pair(const float* low, const float* high) {
  return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(low)), _mm_loadu_ps(high), 1);
}

// Transposes the 4x4 blocks in both 128-bit halves of r[0..3]: afterwards
// r[j] holds, in each half, element j of the four rows that half held.
QUORBELL_AVX2 inline void avx2_transpose_halves(__m256* r) {
  const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpacklo_ps(r[2], r[3]);
  const __m256 t2 = _mm256_unpackhi_ps(r[0], r[1]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
  r[0] = _mm256_shuffle_ps(t0, t1, 0x44);
  r[1] = _mm256_shuffle_ps(t0, t1, 0xEE);
  r[2] = _mm256_shuffle_ps(t2, t3, 0x44);
  r[3] = _mm256_shuffle_ps(t2, t3, 0xEE);
}

// Register j of a block pairs vector j (low half) with vector j + 4 (high
// half), four elements each, loaded straight into place: the transposition
// then needs 16 shuffles per 8 x 8 block instead of 24, and shuffles, which
// only one port executes, are what limits a full batch.
template <Term T, std::size_t Groups>
QUORBELL_AVX2 void avx2_kernel(const float* query, const float* const* vectors, std::size_t length, float* out) {
  constexpr std::size_t W = 8;
  __m256 acc[Groups];
  for (std::size_t g = 0; g < Groups; ++g) acc[g] = _mm256_set1_ps(-0.0f);
  const std::size_t blocked = length / W * W;
#pragma GCC unroll 2
  for (std::size_t i = 0; i < blocked; i += W) {
    const __m256 q_low = avx2_pair(query + i, query + i);
    const __m256 q_high = avx2_pair(query + i + 4, query + i + 4);
    for (std::size_t g = 0; g < Groups; ++g) {
      const float* const* v = vectors + g * W;
      __m256 r[8];
      for (std::size_t j = 0; j < 4; ++j) {
        r[j] = avx2_terms<T>(q_low, avx2_pair(v[j] + i, v[j + 4] + i));
        r[j + 4] = avx2_terms<T>(q_high, avx2_pair(v[j] + i + 4, v[j + 4] + i + 4));
      }
      avx2_transpose_halves(r);
      avx2_transpose_halves(r + 4);
      __m256 sum = acc[g];
      for (std::size_t j = 0; j < W; ++j) sum = _mm256_add_ps(sum, r[j]);
      acc[g] = sum;
    }
  }
  for (std::size_t g = 0; g < Groups; ++g) _mm256_storeu_ps(out + g * W, acc[g]);
  finish_lanes<T>(query, vectors, Groups * W, blocked, length, out);
}

// One lone sum continued over eight terms in memory, in index order.
QUORBELL_AVX2 inline float add_terms(float sum, const float* terms) {
  for (std::size_t k = 0; k < 8; ++k) sum += terms[k];
  // Keeps the sum in a register of its own: the compiler would otherwise
  // pack two lone sums into one register, at a cost.
  asm("" : "+x"(sum));
  return sum;
}

// Up to six vectors: four (Quads = 1), one per lane of a 128-bit sum,
// then `Singles` (up to two) more, each summed alone. Each register holds eight
// consecutive elements of one vector, so the four need four loads a block;
// after the transposition of both halves, the low halves hold elements i
// to i + 3 and the high halves elements i + 4 to i + 7, added in that
// order. A lone vector's terms go through memory and are added one by one
// in index order, each addition reading its term straight from there
// instead of shuffling it out of a register first. Every sum is a chain of
// additions that waits on itself; summed in one loop, the chains of the
// four and of the lone ones run side by side.
template <Term T, std::size_t Quads, std::size_t Singles>
QUORBELL_AVX2 void avx2_small_kernel(const float* query, const float* const* vectors, std::size_t length, float* out) {
  static_assert(Quads <= 1 && Singles <= 2);
  constexpr std::size_t W = 8, Lanes = 4 * Quads;
  __m128 acc = _mm_set1_ps(-0.0f);
  // Two named sums rather than an array, which the compiler would keep
  // packed in one general register.
  float first = -0.0f, second = -0.0f;
  alignas(32) float terms[2][W];
  const std::size_t blocked = length / W * W;
#pragma GCC unroll 2
  for (std::size_t i = 0; i < blocked; i += W) {
    const __m256 q = _mm256_loadu_ps(query + i);
    if constexpr (Quads == 1) {
      __m256 r[Lanes];
      for (std::size_t j = 0; j < Lanes; ++j) r[j] = avx2_terms<T>(q, _mm256_loadu_ps(vectors[j] + i));
      avx2_transpose_halves(r);
      // The high halves are taken out first: the low ones then feed the
      // sum as they are, with no copy.
      __m128 high[Lanes];
      for (std::size_t j = 0; j < Lanes; ++j) high[j] = _mm256_extractf128_ps(r[j], 1);
      for (std::size_t j = 0; j < Lanes; ++j) acc = _mm_add_ps(acc, _mm256_castps256_ps128(r[j]));
      for (std::size_t j = 0; j < Lanes; ++j) acc = _mm_add_ps(acc, high[j]);
    }
    for (std::size_t s = 0; s < Singles; ++s) {
      _mm256_store_ps(terms[s], avx2_terms<T>(q, _mm256_loadu_ps(vectors[Lanes + s] + i)));
    }
    // Tells the compiler the terms may have changed in memory, so that it
    // reads them from there rather than extracting them from the register.
    asm("" : "+m"(terms));
    if constexpr (Singles >= 1) first = add_terms(first, terms[0]);
    if constexpr (Singles >= 2) second = add_terms(second, terms[1]);
  }
  if constexpr (Quads == 1) _mm_storeu_ps(out, acc);
  if constexpr (Singles >= 1) out[Lanes] = first;
  if constexpr (Singles >= 2) out[Lanes + 1] = second;
  finish_lanes<T>(query, vectors, Lanes + Singles, blocked, length, out);
}

// Fewer than eight vectors. Per 128 elements, a lone sum takes about 190
// instructions, the four lanes 420 and the eight lanes 820: so two
// vectors are summed alone, three to six take the four lanes and as many
// lone sums as are left, seven the eight lanes.
template <Term T>
QUORBELL_AVX2 void avx2_tail(const float* query, const float* const* vectors, std::size_t count, std::size_t length,
                             float* out) {
  switch (count) {
    case 0:
      return;
    case 1:
      return avx2_small_kernel<T, 0, 1>(query, vectors, length, out);
    case 2:
      return avx2_small_kernel<T, 0, 2>(query, vectors, length, out);
    case 3:
      return run_padded<4>(query, vectors, count, length, out, avx2_small_kernel<T, 1, 0>, finish_sum<T>);
    case 4:
      return avx2_small_kernel<T, 1, 0>(query, vectors, length, out);
    case 5:
      return avx2_small_kernel<T, 1, 1>(query, vectors, length, out);
    case 6:
      return avx2_small_kernel<T, 1, 2>(query, vectors, length, out);
    default:
      return run_padded<8>(query, vectors, count, length, out, avx2_kernel<T, 1>, finish_sum<T>);
  }
}

template <Term T>
QUORBELL_AVX2 void avx2_sums(const float* query, const float* const* vectors, std::size_t count, std::size_t length,
                             float* out) {
  run_in_groups<8>(query, vectors, count, length, out, avx2_kernel<T, 2>, avx2_kernel<T, 1>, avx2_tail<T>);
}

// Blocks in lane order: a row of a block is two registers.
template <Term T, std::size_t Blocks>
QUORBELL_AVX2 void avx2_block_kernel(const float* query, std::size_t length, const float* blocks,
                                     std::size_t block_floats, float* out) {
  constexpr std::size_t Rows = kBlockLanes / 8;
  __m256 acc[Rows * Blocks];
  for (__m256& a : acc) a = _mm256_set1_ps(-0.0f);
  for (std::size_t i = 0; i < length; ++i) {
    const __m256 q = _mm256_set1_ps(query[i]);
    for (std::size_t b = 0; b < Blocks; ++b) {
      const float* row = blocks + b * block_floats + i * kBlockLanes;
      for (std::size_t r = 0; r < Rows; ++r) {
        acc[Rows * b + r] = _mm256_add_ps(acc[Rows * b + r], avx2_terms<T>(q, _mm256_loadu_ps(row + 8 * r)));
      }
    }
  }
  for (std::size_t k = 0; k < Rows * Blocks; ++k) _mm256_storeu_ps(out + 8 * k, acc[k]);
}

template <Term T>
QUORBELL_AVX2 void avx2_block_sums(const float* query, std::size_t length, const float* blocks,
                                   std::size_t block_floats, std::size_t count, float* out) {
  run_in_block_groups<4>(query, length, blocks, block_floats, count, out,
                         [](auto group, auto... args) { avx2_block_kernel<T, decltype(group)::value>(args...); });
}

// Queries against lane-order rows: each row is loaded once, as one or two
// registers, and every query's element is broadcast against it, so no
// shuffle is needed and the loads serve all the queries.
template <std::size_t Queries, std::size_t Registers>
QUORBELL_AVX2 void avx2_row_kernel(const float* const* queries, std::size_t length, const float* rows,
                                   std::size_t row_floats, float* out) {
  __m256 acc[Queries][Registers];
  for (auto& per_query : acc) {
    for (__m256& a : per_query) a = _mm256_set1_ps(-0.0f);
  }
#pragma GCC unroll 2
  for (std::size_t i = 0; i < length; ++i) {
    const float* row = rows + i * row_floats;
    __m256 x[Registers];
    for (std::size_t r = 0; r < Registers; ++r) x[r] = _mm256_loadu_ps(row + 8 * r);
    for (std::size_t q = 0; q < Queries; ++q) {
      const __m256 element = _mm256_broadcast_ss(queries[q] + i);
      for (std::size_t r = 0; r < Registers; ++r) {
        acc[q][r] = _mm256_add_ps(acc[q][r], avx2_terms<Term::Product>(element, x[r]));
      }
    }
  }
  for (std::size_t q = 0; q < Queries; ++q) {
    for (std::size_t r = 0; r < Registers; ++r) _mm256_storeu_ps(out + q * kBlockLanes + 8 * r, acc[q][r]);
  }
}

QUORBELL_AVX2 void avx2_row_products(const float* const* queries, std::size_t query_count, std::size_t length,
                                     const float* rows, std::size_t row_floats, std::size_t lanes, float* out) {
  with_query_count(query_count, [&](auto group) {
    if (lanes <= 8) {
      avx2_row_kernel<decltype(group)::value, 1>(queries, length, rows, row_floats, out);
    } else {
      avx2_row_kernel<decltype(group)::value, 2>(queries, length, rows, row_floats, out);
    }
  });
}

#undef QUORBELL_AVX2

// AVX-512, sixteen lanes, entered only after the run-time check. As with
// AVX2, the target adds no fused multiply-add: the build forbids
// contraction, and every intrinsic below is a plain product or sum.
#define QUORBELL_AVX512 __attribute__((target("avx512f")))

template <Term T>
QUORBELL_AVX512 inline __m512 avx512_terms(__m512 q, __m512 x) {
  if constexpr (T == Term::Product) {
    return _mm512_mul_ps(q, x);
  } else {
    const __m512 d = _mm512_sub_ps(q, x);
    return _mm512_mul_ps(d, d);
  }
}

// Four floats from each of four vectors, one vector per 128-bit quarter.
QUORBELL_AVX512 inline __m512 avx512_quarters(const float* const* v, std::size_t i) {
  __m512 r = _mm512_castps128_ps512(_mm_loadu_ps(v[0] + i));
  r = _mm512_insertf32x4(r, _mm_loadu_ps(v[4] + i), 1);
  r = _mm512_insertf32x4(r, _mm_loadu_ps(v[8] + i), 2);
  return _mm512_insertf32x4(r, _mm_loadu_ps(v[12] + i), 3);
}

// Register j of a block holds vectors j, j + 4, j + 8 and j + 12 in its
// quarters, four elements each; transposing the 4 x 4 block in each
// quarter leaves register e holding element i + e of all sixteen, vector
// 4q + j in lane j of quarter q, which is lane 4q + j: vector order.
template <Term T, std::size_t Groups>
QUORBELL_AVX512 void avx512_kernel(const float* query, const float* const* vectors, std::size_t length, float* out) {
  constexpr std::size_t W = 16, Step = 4;
  __m512 acc[Groups];
  for (std::size_t g = 0; g < Groups; ++g) acc[g] = _mm512_set1_ps(-0.0f);
  const std::size_t blocked = length / Step * Step;
  for (std::size_t i = 0; i < blocked; i += Step) {
    const __m512 q = _mm512_broadcast_f32x4(_mm_loadu_ps(query + i));
    for (std::size_t g = 0; g < Groups; ++g) {
      __m512 r[Step];
      for (std::size_t j = 0; j < Step; ++j) r[j] = avx512_terms<T>(q, avx512_quarters(vectors + g * W + j, i));
      const __m512 t0 = _mm512_unpacklo_ps(r[0], r[1]), t1 = _mm512_unpacklo_ps(r[2], r[3]);
      const __m512 t2 = _mm512_unpackhi_ps(r[0], r[1]), t3 = _mm512_unpackhi_ps(r[2], r[3]);
      __m512 sum = _mm512_add_ps(acc[g], _mm512_shuffle_ps(t0, t1, 0x44));
      sum = _mm512_add_ps(sum, _mm512_shuffle_ps(t0, t1, 0xEE));
      sum = _mm512_add_ps(sum, _mm512_shuffle_ps(t2, t3, 0x44));
      acc[g] = _mm512_add_ps(sum, _mm512_shuffle_ps(t2, t3, 0xEE));
    }
  }
  for (std::size_t g = 0; g < Groups; ++g) _mm512_storeu_ps(out + g * W, acc[g]);
  finish_lanes<T>(query, vectors, Groups * W, blocked, length, out);
}

// Rounds of thirty-two, then of sixteen, then a padded one of sixteen for
// more than eight left; eight or fewer cost less in the eight-lane kernels.
template <Term T>
QUORBELL_AVX512 void avx512_sums(const float* query, const float* const* vectors, std::size_t count, std::size_t length,
                                 float* out) {
  std::size_t k = 0;
  for (; count - k >= 32; k += 32) avx512_kernel<T, 2>(query, vectors + k, length, out + k);
  if (count - k >= 16) {
    avx512_kernel<T, 1>(query, vectors + k, length, out + k);
    k += 16;
  }
  if (count - k > 8) {
    run_padded<16>(query, vectors + k, count - k, length, out + k, avx512_kernel<T, 1>, finish_sum<T>);
  } else {
    avx2_sums<T>(query, vectors + k, count - k, length, out + k);
  }
}

// Blocks in lane order: a row of a block is one register.
template <Term T, std::size_t Blocks>
QUORBELL_AVX512 void avx512_block_kernel(const float* query, std::size_t length, const float* blocks,
                                         std::size_t block_floats, float* out) {
  __m512 acc[Blocks];
  for (__m512& a : acc) a = _mm512_set1_ps(-0.0f);
  for (std::size_t i = 0; i < length; ++i) {
    const __m512 q = _mm512_set1_ps(query[i]);
    for (std::size_t b = 0; b < Blocks; ++b) {
      acc[b] = _mm512_add_ps(acc[b], avx512_terms<T>(q, _mm512_loadu_ps(blocks + b * block_floats + i * kBlockLanes)));
    }
  }
  for (std::size_t b = 0; b < Blocks; ++b) _mm512_storeu_ps(out + b * kBlockLanes, acc[b]);
}

template <Term T>
QUORBELL_AVX512 void avx512_block_sums(const float* query, std::size_t length, const float* blocks,
                                       std::size_t block_floats, std::size_t count, float* out) {
  run_in_block_groups<8>(query, length, blocks, block_floats, count, out,
                         [](auto group, auto... args) { avx512_block_kernel<T, decltype(group)::value>(args...); });
}

// Queries against lane-order rows: a row is one register.
template <std::size_t Queries>
QUORBELL_AVX512 void avx512_row_kernel(const float* const* queries, std::size_t length, const float* rows,
                                       std::size_t row_floats, float* out) {
  __m512 acc[Queries];
  for (__m512& a : acc) a = _mm512_set1_ps(-0.0f);
#pragma GCC unroll 2
  for (std::size_t i = 0; i < length; ++i) {
    const __m512 x = _mm512_loadu_ps(rows + i * row_floats);
    for (std::size_t q = 0; q < Queries; ++q) {
      acc[q] = _mm512_add_ps(acc[q], avx512_terms<Term::Product>(_mm512_set1_ps(queries[q][i]), x));
    }
  }
  for (std::size_t q = 0; q < Queries; ++q) _mm512_storeu_ps(out + q * kBlockLanes, acc[q]);
}

QUORBELL_AVX512 void avx512_row_products(const float* const* queries, std::size_t query_count, std::size_t length,
                                         const float* rows, std::size_t row_floats, std::size_t, float* out) {
  with_query_count(query_count, [&](auto group) {
    avx512_row_kernel<decltype(group)::value>(queries, length, rows, row_floats, out);
  });
}

#undef QUORBELL_AVX512

std::span<const LaneKernels> detect_kernels() {
  static const LaneKernels all[] = {
      kSequential,
      // Broadcasting a query element costs a shuffle without AVX2: the
      // portable row sums serve there.
      {"sse2", sse_sums<Term::Product>, sse_sums<Term::SquaredDifference>, sse_block_sums<Term::Product>,
       sse_block_sums<Term::SquaredDifference>, sequential_row_products},
      {"avx2", avx2_sums<Term::Product>, avx2_sums<Term::SquaredDifference>, avx2_block_sums<Term::Product>,
       avx2_block_sums<Term::SquaredDifference>, avx2_row_products},
      {"avx512", avx512_sums<Term::Product>, avx512_sums<Term::SquaredDifference>, avx512_block_sums<Term::Product>,
       avx512_block_sums<Term::SquaredDifference>, avx512_row_products},
  };
  __builtin_cpu_init();
  const std::size_t count = !__builtin_cpu_supports("avx2") ? 2 : !__builtin_cpu_supports("avx512f") ? 3 : 4;
  return {all, count};
}

#else

std::span<const LaneKernels> detect_kernels() {
  static const LaneKernels all[] = {
      kSequential,
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

void sum_products_lanes(const float* query, const float* const* vectors, std::size_t count, std::size_t length,
                        float* out) {
  best_kernels().products(query, vectors, count, length, out);
}

void sum_squared_differences_lanes(const float* query, const float* const* vectors, std::size_t count,
                                   std::size_t length, float* out) {
  best_kernels().squared_differences(query, vectors, count, length, out);
}

void sum_products_blocks(const float* query, std::size_t length, const float* blocks, std::size_t block_floats,
                         std::size_t count, float* out) {
  best_kernels().block_products(query, length, blocks, block_floats, count, out);
}

void sum_squared_differences_blocks(const float* query, std::size_t length, const float* blocks,
                                    std::size_t block_floats, std::size_t count, float* out) {
  best_kernels().block_squared_differences(query, length, blocks, block_floats, count, out);
}

void sum_products_rows(const float* const* queries, std::size_t query_count, std::size_t length, const float* rows,
                       std::size_t row_floats, std::size_t lanes, float* out) {
  best_kernels().row_products(queries, query_count, length, rows, row_floats, lanes, out);
}

}  // namespace quorbell
