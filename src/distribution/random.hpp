// Random numbers for the uncertainty layer: the generator and the variate
// samplers that Distribution draws with.
//
// Rng is a small xoshiro256++ generator. It is a plain value: one object must
// not be used by two threads at once; a copy carries the same state and so
// repeats the original's stream. Every
// thread has its own generator, seeded from operating-system entropy on first
// use and reached through thread_rng(); the reference stays valid for the
// life of the thread. The samplers hold only set-up constants computed from
// their parameters and may be shared between threads; each draw touches only
// the generator passed in.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace quillon {

class Rng {
 public:
  using result_type = std::uint64_t;

  // Deterministic stream derived from `seed` (for tests and benchmarks).
  explicit Rng(std::uint64_t seed);

  // A generator seeded with 256 bits of operating-system entropy.
  static Rng from_entropy();

  // The sub-stream `path` of a user's seed: the seed and the path words are
  // mixed (SplitMix64 finalisers) into the 64-bit seed of a fresh generator.
  // Equal seeds and paths give equal streams on every build of this
  // version; distinct paths give unrelated streams.
  static Rng for_stream(std::uint64_t seed, std::initializer_list<std::uint64_t> path);

  // A stable 64-bit key of a name, for stream paths (FNV-1a).
  static std::uint64_t key_of(std::string_view name) noexcept;

  static constexpr result_type min() { return 0; }
  static constexpr result_type max() { return ~result_type{0}; }
  result_type operator()() { return next_u64(); }

  std::uint64_t next_u64() {
    const std::uint64_t result = rotl(s_[0] + s_[3], 23) + s_[0];
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }

  // Uniform in [0, 1) on a grid of 2^-52: the largest value is kMaxUnit.
  double next_unit() { return unit_from_bits(next_u64()); }

  // Uniform in the open interval (0, 1); safe to take the logarithm of.
  double next_open_unit() {
    return (static_cast<double>(next_u64() >> 12) + 0.5) * 0x1.0p-52;
  }

  // [0, 1) from the top 52 bits of `bits`.
  static double unit_from_bits(std::uint64_t bits) {
    return static_cast<double>(bits >> 12) * 0x1.0p-52;
  }

 private:
  explicit Rng(const std::array<std::uint64_t, 4>& state) : s_(state) {}
  static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

  std::array<std::uint64_t, 4> s_;
};

// The sub-streams of a seeded propagation or draw (Rng::for_stream paths):
// - {kInputStream, key_of(name)}: predict's draws of input `name`, one per
//   particle in particle order;
// - {kBlockStream, node id, block, column}: predict_at's Monte Carlo draws
//   of one node for block `block` (draws 256·block to 256·block + 255) from
//   the distribution `column` that the node reads, numbered in the order of
//   the node's inputs, then of its other lookups;
// - {kSampleStream}: Distribution.sample_n.
// So a seeded result depends on the seed and the graph alone, never on the
// thread that runs it or on how the work is split, and a run with more draws
// begins with the draws of a run with fewer.
inline constexpr std::uint64_t kInputStream = 1;
// Draws per block of a kBlockStream path.
inline constexpr std::size_t kBlockStreamDraws = 256;
inline constexpr std::uint64_t kBlockStream = 2;
inline constexpr std::uint64_t kSampleStream = 3;

// The largest value next_unit() returns: 1 - 2^-52.
inline constexpr double kMaxUnit = 1.0 - 0x1.0p-52;

// The calling thread's generator, created from entropy on the thread's first
// call. Never share the reference with another thread.
Rng& thread_rng();

// Standard normal variate, ziggurat method (256 layers).
double standard_normal(Rng& rng);

// Standard exponential variate (rate 1), by inversion.
double standard_exponential(Rng& rng);

// Uniform index in 0 .. n-1 without modulo bias. Requires: n > 0.
inline std::size_t uniform_index(std::size_t n, Rng& rng) {
  // Lemire's multiply-and-reject: the high word of x * n is uniform once the
  // few low words below 2^64 mod n are rejected.
  __extension__ using U128 = unsigned __int128;
  const std::uint64_t range = n;
  U128 m = static_cast<U128>(rng.next_u64()) * range;
  auto low = static_cast<std::uint64_t>(m);
  if (low < range) {
    const std::uint64_t threshold = (0 - range) % range;
    while (low < threshold) {
      m = static_cast<U128>(rng.next_u64()) * range;
      low = static_cast<std::uint64_t>(m);
    }
  }
  return static_cast<std::size_t>(m >> 64);
}

// Gamma(shape, scale 1) variates. Requires: shape > 0 (NaN excluded).
// shape = 1 is an exponential draw, shape > 1 is Marsaglia-Tsang, shape < 1
// draws Gamma(shape + 1) and multiplies by u^(1/shape).
class GammaSampler {
 public:
  explicit GammaSampler(double shape);
  double operator()(Rng& rng) const;

 private:
  double marsaglia_tsang(Rng& rng) const;

  enum class Method : std::uint8_t { kExponential, kMarsagliaTsang, kBoosted };
  Method method_;
  double d_ = 0.0;          // Marsaglia-Tsang: (shape or shape + 1) - 1/3
  double c_ = 0.0;          // 1 / sqrt(9 d)
  double inv_shape_ = 0.0;  // boosted: 1 / shape
};

// Beta(alpha, beta) variates by Cheng's algorithms: BB when both parameters
// exceed 1, BC otherwise. Requires: alpha > 0 and beta > 0 (NaN excluded).
class BetaSampler {
 public:
  BetaSampler(double alpha, double beta);
  double operator()(Rng& rng) const;

 private:
  double draw_bb(Rng& rng) const;
  double draw_bc(Rng& rng) const;
  double deliver(double w) const;

  enum class Method : std::uint8_t { kConstant, kBB, kBC };
  Method method_;
  bool alpha_is_a_ = true;  // whether the original alpha is the `a` below
  double a_ = 0.0;  // BB: the smaller parameter; BC: the larger one
  double b_ = 0.0;  // the other one
  double sum_ = 0.0;
  double beta_ = 0.0;   // BB only
  double gamma_ = 0.0;  // BB only
  double k1_ = 0.0;     // BC only
  double k2_ = 0.0;     // BC only
  double constant_ = 0.0;
};

}  // namespace quillon
