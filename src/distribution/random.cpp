#include "distribution/random.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <thread>

namespace quillon {

namespace {

std::uint64_t splitmix64(std::uint64_t& x) {
  std::uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// Reads into buf[got, len) with `read` until it is full, retrying
// interrupted reads; stops at the first failure or end of data. Returns how
// many bytes of `buf` are filled.
template <typename Read>
std::size_t read_fully(Read&& read, unsigned char* buf, std::size_t got, std::size_t len) {
  while (got < len) {
    const ssize_t n = read(buf + got, len - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (!(n < 0 && errno == EINTR)) {
      break;
    }
  }
  return got;
}

// Fills `buf` from the kernel's entropy pool; false when neither getrandom(2)
// nor /dev/urandom delivers.
bool read_entropy(unsigned char* buf, std::size_t len) {
  std::size_t got = read_fully([](unsigned char* at, std::size_t n) { return getrandom(at, n, 0); }, buf, 0, len);
  if (got == len) return true;
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  got = read_fully([fd](unsigned char* at, std::size_t n) { return ::read(fd, at, n); }, buf, got, len);
  ::close(fd);
  return got == len;
}

// Ziggurat for the standard normal with 256 layers of equal area kZigV.
// x[0] = V / f(R) is the width of a rectangle of the base layer's area,
// x[1] = R is where the tail starts, x[256] = 0 is the top; f[i] = f(x[i])
// with f(x) = exp(-x^2 / 2). Layer i spans heights f[i] .. f[i+1].
constexpr double kZigR = 3.654152885361008796;
constexpr double kZigV = 0.00492867323399;

struct ZigguratTables {
  double x[257];
  double f[257];
};

ZigguratTables build_ziggurat() {
  ZigguratTables t{};
  const auto pdf = [](double x) { return std::exp(-0.5 * x * x); };
  t.x[0] = kZigV / pdf(kZigR);
  t.x[1] = kZigR;
  for (int i = 1; i < 255; ++i) t.x[i + 1] = std::sqrt(-2.0 * std::log(kZigV / t.x[i] + pdf(t.x[i])));
  t.x[256] = 0.0;
  for (int i = 0; i < 257; ++i) t.f[i] = pdf(t.x[i]);
  return t;
}

const ZigguratTables& ziggurat() {
  static const ZigguratTables tables = build_ziggurat();
  return tables;
}

constexpr double kLn4 = 1.3862943611198906;
constexpr double kOnePlusLn5 = 2.6094379124341003;

}  // namespace

Rng::Rng(std::uint64_t seed) {
  for (auto& word : s_) word = splitmix64(seed);
}

Rng Rng::for_stream(std::uint64_t seed, std::initializer_list<std::uint64_t> path) {
  std::uint64_t state = seed;
  std::uint64_t mixed = splitmix64(state);
  for (const std::uint64_t word : path) {
    state ^= word + 0x9e3779b97f4a7c15ULL + (mixed << 6) + (mixed >> 2);
    mixed = splitmix64(state);
  }
  return Rng(mixed);
}

std::uint64_t Rng::key_of(std::string_view name) noexcept {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char c : name) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

Rng Rng::from_entropy() {
  std::array<std::uint64_t, 4> state{};
  unsigned char buf[sizeof(state)];
  if (read_entropy(buf, sizeof(buf))) {
    std::memcpy(state.data(), buf, sizeof(buf));
  } else {
    // No entropy source at all: mix what differs between threads and runs so
    // that generators still never share a stream.
    std::uint64_t x = static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    x ^= std::hash<std::thread::id>{}(std::this_thread::get_id()) * 0x9e3779b97f4a7c15ULL;
    x ^= reinterpret_cast<std::uintptr_t>(&state);
    for (auto& word : state) word = splitmix64(x);
  }
  // The all-zero state is the one state xoshiro cannot leave.
  if ((state[0] | state[1] | state[2] | state[3]) == 0) state[0] = 1;
  return Rng(state);
}

Rng& thread_rng() {
  thread_local Rng rng = Rng::from_entropy();
  return rng;
}

double standard_normal(Rng& rng) {
  const ZigguratTables& t = ziggurat();
  for (;;) {
    const std::uint64_t bits = rng.next_u64();
    const std::size_t i = bits & 0xff;
    const double u = 2.0 * Rng::unit_from_bits(bits) - 1.0;  // [-1, 1)
    const double x = u * t.x[i];
    if (std::fabs(x) < t.x[i + 1]) return x;  // inside the layer's core rectangle
    if (i == 0) {
      // Base layer outside the rectangle: sample the tail beyond R.
      double tx;
      double ty;
      do {
        tx = std::log(rng.next_open_unit()) / kZigR;
        ty = std::log(rng.next_open_unit());
      } while (-2.0 * ty < tx * tx);
      return u < 0.0 ? tx - kZigR : kZigR - tx;
    }
    // Wedge between the rectangle and the curve.
    if (t.f[i + 1] + (t.f[i] - t.f[i + 1]) * rng.next_unit() < std::exp(-0.5 * x * x)) return x;
  }
}

double standard_exponential(Rng& rng) { return -std::log(rng.next_open_unit()); }

// ---------------------------------------------------------------------------
// Gamma

GammaSampler::GammaSampler(double shape) {
  if (shape == 1.0) {
    method_ = Method::kExponential;
    return;
  }
  const double k = shape < 1.0 ? shape + 1.0 : shape;
  method_ = shape < 1.0 ? Method::kBoosted : Method::kMarsagliaTsang;
  inv_shape_ = 1.0 / shape;
  d_ = k - 1.0 / 3.0;
  c_ = 1.0 / std::sqrt(9.0 * d_);
}

double GammaSampler::marsaglia_tsang(Rng& rng) const {
  // Accepts with probability above 0.95 for every d >= 2/3, and d = +inf
  // (c = 0, v = 1) still accepts through the squeeze, so the loop ends.
  for (;;) {
    double x;
    double v;
    do {
      x = standard_normal(rng);
      v = 1.0 + c_ * x;
    } while (v <= 0.0);
    v = v * v * v;
    const double u = rng.next_open_unit();
    const double x2 = x * x;
    if (u < 1.0 - 0.0331 * x2 * x2) return d_ * v;
    if (std::log(u) < 0.5 * x2 + d_ * (1.0 - v + std::log(v))) return d_ * v;
  }
}

double GammaSampler::operator()(Rng& rng) const {
  switch (method_) {
    case Method::kExponential:
      return standard_exponential(rng);
    case Method::kMarsagliaTsang:
      return marsaglia_tsang(rng);
    case Method::kBoosted:
      // Gamma(k) = Gamma(k + 1) * U^(1/k); for tiny k the power underflows to
      // 0, which is where almost all of the mass is.
      return marsaglia_tsang(rng) * std::pow(rng.next_open_unit(), inv_shape_);
  }
  return 0.0;
}

// ---------------------------------------------------------------------------
// Beta

BetaSampler::BetaSampler(double alpha, double beta) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  // An infinite parameter makes the law a point mass (or undefined when both
  // are infinite); the set-up arithmetic below would produce NaN for it.
  if (alpha == kInf || beta == kInf) {
    method_ = Method::kConstant;
    constant_ = (alpha == kInf && beta == kInf) ? std::numeric_limits<double>::quiet_NaN()
                : alpha == kInf                  ? 1.0
                                                 : 0.0;
    return;
  }
  const double lo = std::min(alpha, beta);
  const double hi = std::max(alpha, beta);
  if (lo > 1.0) {
    // BB: a is the smaller parameter.
    a_ = lo;
    b_ = hi;
    alpha_is_a_ = alpha == lo;
    if (!std::isfinite(2.0 * a_ * b_)) {
      // The spread is below 1e-150 relative: the draws are the mean to full
      // precision, and the set-up below would overflow.
      method_ = Method::kConstant;
      constant_ = 1.0 / (1.0 + beta / alpha);
      return;
    }
    method_ = Method::kBB;
    sum_ = a_ + b_;
    beta_ = std::sqrt((sum_ - 2.0) / (2.0 * a_ * b_ - sum_));
    gamma_ = a_ + 1.0 / beta_;
  } else {
    // BC: a is the larger parameter.
    a_ = hi;
    b_ = lo;
    alpha_is_a_ = alpha == hi;
    method_ = Method::kBC;
    sum_ = a_ + b_;
    const double delta = 1.0 + a_ - b_;
    // Cheng's beta = 1 / b is never formed: it overflows for subnormal b.
    // a * beta is written a / b (exactly 1 for equal parameters) and the
    // draw divides by b.
    k1_ = delta * (1.0 / 72.0 + b_ / 24.0) / (a_ / b_ - 7.0 / 9.0);
    k2_ = 0.25 + (0.5 + 0.25 / delta) * b_;
  }
}

double BetaSampler::deliver(double w) const {
  // w / (b + w) or b / (b + w), written so that w = 0 and w = +inf (from
  // exp overflow with tiny parameters) give 0 and 1 rather than NaN.
  return alpha_is_a_ ? 1.0 / (1.0 + b_ / w) : 1.0 / (1.0 + w / b_);
}

double BetaSampler::draw_bb(Rng& rng) const {
  for (;;) {
    const double u1 = rng.next_open_unit();
    const double u2 = rng.next_open_unit();
    const double v = beta_ * std::log(u1 / (1.0 - u1));
    const double w = a_ * std::exp(v);
    const double z = u1 * u1 * u2;
    const double r = gamma_ * v - kLn4;
    const double s = a_ + r - w;
    if (s + kOnePlusLn5 >= 5.0 * z) return deliver(w);
    const double t = std::log(z);
    if (s > t) return deliver(w);
    if (r + sum_ * std::log(sum_ / (b_ + w)) < t) continue;
    return deliver(w);
  }
}

double BetaSampler::draw_bc(Rng& rng) const {
  for (;;) {
    const double u1 = rng.next_open_unit();
    const double u2 = rng.next_open_unit();
    double z;
    if (u1 < 0.5) {
      const double y = u1 * u2;
      z = u1 * y;
      if (0.25 * u2 + z - y >= k1_) continue;
    } else {
      z = u1 * u1 * u2;
      if (z <= 0.25) {
        const double v = std::log(u1 / (1.0 - u1)) / b_;
        return deliver(a_ * std::exp(v));
      }
      if (z >= k2_) continue;
    }
    // log(u1 / (1 - u1)) / b is beta * log(...) without the overflow of
    // 1 / b for subnormal b; sum * v is formed as (sum / b) * log(...) so
    // that it stays finite when v alone would not.
    const double logit = std::log(u1 / (1.0 - u1));
    const double v = logit / b_;
    const double w = a_ * std::exp(v);
    const double lhs = sum_ * std::log(sum_ / (b_ + w)) + (sum_ / b_) * logit - kLn4;
    if (lhs < std::log(z)) continue;
    return deliver(w);
  }
}

double BetaSampler::operator()(Rng& rng) const {
  switch (method_) {
    case Method::kConstant:
      return constant_;
    case Method::kBB:
      return draw_bb(rng);
    case Method::kBC:
      return draw_bc(rng);
  }
  return constant_;
}

}  // namespace quillon
