// Counter-based randomness for the simulated market. Every value is a pure function of its inputs
// (seed, instrument, day, purpose), so any process, in any order, over any window, derives the
// same numbers: that is what makes a day's bars identical whether asked alone or inside a longer
// window, and what lets forked workers answer exactly like their parent.
#pragma once

#include <cstdint>
#include <string_view>

namespace tessera_plus::tallow::sim {

// SplitMix64's finaliser: a cheap bijective mix with good avalanche.
constexpr std::uint64_t mix64(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

constexpr std::uint64_t mix64(std::uint64_t a, std::uint64_t b) {
  return mix64(a ^ mix64(b + 0x632be59bd9b4e019ULL));
}

constexpr std::uint64_t mix64(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
  return mix64(mix64(a, b), c);
}

// FNV-1a: stable across runs and platforms, unlike std::hash.
constexpr std::uint64_t hash_text(std::string_view text) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (char c : text) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001b3ULL;
  }
  return h;
}

// Uniform in [0, 1) from 53 bits.
constexpr double unit(std::uint64_t bits) {
  return static_cast<double>(bits >> 11) * (1.0 / 9007199254740992.0);
}

// A cheap approximately normal value (mean 0, variance 1) from one 64-bit word: the sum of four
// 16-bit uniforms (Irwin-Hall), rescaled. Bounded at about +-3.5, which keeps simulated prices
// away from absurd jumps.
constexpr double normalish(std::uint64_t bits) {
  double sum = 0;
  for (int i = 0; i < 4; ++i) sum += static_cast<double>((bits >> (16 * i)) & 0xffff);
  // Four U(0, 65535) have mean 131070 and variance 4 * 65536^2 / 12.
  return (sum - 131070.0) * (1.7320508075688772 / 65536.0);
}

// A sequential generator for the values of one (instrument, day): SplitMix64.
class DayRng {
 public:
  explicit constexpr DayRng(std::uint64_t seed) : state_(seed) {}
  constexpr std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  constexpr double uniform() { return unit(next()); }
  constexpr double normal() { return normalish(next()); }
  // Uniform integer in [0, n).
  constexpr std::uint64_t below(std::uint64_t n) {
    return static_cast<std::uint64_t>(uniform() * static_cast<double>(n));
  }

 private:
  std::uint64_t state_;
};

}  // namespace tessera_plus::tallow::sim
