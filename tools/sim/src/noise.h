// Deterministic pseudo-random numbers from a seed and a few integers: the same drive, levels and
// fading for the same seed, whatever the timing of a run.
#pragma once

#include <cmath>
#include <cstdint>
#include <initializer_list>

namespace scanlink::sim {

inline std::uint64_t mix64(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

inline std::uint64_t hash_of(std::initializer_list<std::int64_t> keys) {
  std::uint64_t h = 0x51A7C0DEull;
  for (std::int64_t k : keys) h = mix64(h ^ static_cast<std::uint64_t>(k));
  return h;
}

// Uniform in [0, 1).
inline double uniform(std::initializer_list<std::int64_t> keys) {
  return static_cast<double>(hash_of(keys) >> 11) * 0x1.0p-53;
}

// Roughly normal with mean 0 and deviation 1 (a sum of four uniforms), bounded by +-3.5.
inline double normal(std::int64_t a, std::int64_t b, std::int64_t c, std::int64_t d) {
  double s = 0;
  for (std::int64_t i = 0; i < 4; ++i) s += uniform({a, b, c, d, i});
  return (s - 2.0) * std::sqrt(3.0);
}

}  // namespace scanlink::sim
