#include "core/random.h"

#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <chrono>

#include "core/static_tls.h"

namespace quorbell {

namespace {
std::uint64_t splitmix64(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

struct Xoshiro256 {
  std::uint64_t s[4];

  explicit Xoshiro256(std::uint64_t seed) {
    for (auto& word : s) word = splitmix64(seed);
  }

  std::uint64_t next() {
    const std::uint64_t result = rotl(s[1] * 5, 7) * 9;
    const std::uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotl(s[3], 45);
    return result;
  }
};
// Set only by test_seed_random: the state of the fixed sequence of seeds.
std::atomic<bool> seeds_fixed{false};
std::atomic<std::uint64_t> fixed_seed_state{0};

Xoshiro256& thread_generator() {
  thread_local Xoshiro256 generator QUORBELL_STATIC_TLS(entropy_seed());
  return generator;
}
}  // namespace

std::uint64_t entropy_seed() {
  if (seeds_fixed.load(std::memory_order_acquire)) {
    std::uint64_t state = fixed_seed_state.fetch_add(0x9E3779B97F4A7C15ull, std::memory_order_relaxed);
    return splitmix64(state);
  }
  std::uint64_t seed = 0;
  auto* bytes = reinterpret_cast<unsigned char*>(&seed);
  std::size_t got = 0;
  while (got < sizeof seed) {
    ssize_t n = getrandom(bytes + got, sizeof seed - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      std::uint64_t fallback = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
      fallback ^= reinterpret_cast<std::uintptr_t>(&seed);
      return splitmix64(fallback);
    }
  }
  return seed;
}

std::uint64_t thread_random_u64() { return thread_generator().next(); }

void test_seed_random(std::uint64_t seed) {
  fixed_seed_state.store(seed, std::memory_order_relaxed);
  seeds_fixed.store(true, std::memory_order_release);
  thread_generator() = Xoshiro256(entropy_seed());
}

}  // namespace quorbell
