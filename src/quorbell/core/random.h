// Randomness from the operating system: seeds for hash keys and for the
// per-thread generators.
#pragma once

#include <cstdint>

namespace quorbell {

// 64 bits from getrandom; falls back to a clock-and-address mix only if the
// entropy source is unavailable.
std::uint64_t entropy_seed();

// Next value of the calling thread's own generator (xoshiro256**), seeded
// from entropy_seed on first use in each thread.
std::uint64_t thread_random_u64();

// For tests and benchmarks only, which need a build to repeat exactly:
// from now on entropy_seed yields a fixed sequence drawn from seed, and
// the calling thread's generator starts again from its first value. Called
// before the process makes its first store, it also fixes the maps' hash
// key, and with it the order in which a snapshot lists its entries.
void test_seed_random(std::uint64_t seed);

}  // namespace quorbell
