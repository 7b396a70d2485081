// Sampling throughput per distribution kind: draws per second through
// sample_into on a reused buffer with the calling thread's generator, plus
// the per-call cost of sample_n_with_rng(1, ...) and of percentile().
//
// Usage: bench_sampling [draws per kind, default 20000000]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "distribution/distribution.hpp"

namespace {

using quillon::Distribution;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Keeps the optimiser from dropping the draws.
volatile double g_sink = 0.0;

void bench_bulk(const char* name, const Distribution& d, std::size_t draws) {
  quillon::Rng& rng = quillon::thread_rng();
  std::vector<double> buf(4096);
  double acc = 0.0;
  const Clock::time_point start = Clock::now();
  for (std::size_t done = 0; done < draws; done += buf.size()) {
    d.sample_into(buf, rng);
    acc += buf[done % buf.size()];
  }
  const double secs = seconds_since(start);
  g_sink = acc;
  std::printf("%-28s %-26s %8.1f M draws/s\n", name, d.to_string().c_str(), static_cast<double>(draws) / secs / 1e6);
}

void bench_single(const char* name, const Distribution& d, std::size_t calls) {
  quillon::Rng& rng = quillon::thread_rng();
  double acc = 0.0;
  const Clock::time_point start = Clock::now();
  for (std::size_t i = 0; i < calls; ++i) acc += d.sample_n_with_rng(1, rng)[0];
  const double secs = seconds_since(start);
  g_sink = acc;
  std::printf("%-28s %-26s %8.1f ns/call\n", name, d.to_string().c_str(), secs / static_cast<double>(calls) * 1e9);
}

void bench_percentile(const char* name, const Distribution& d, std::size_t calls) {
  double acc = 0.0;
  const Clock::time_point start = Clock::now();
  for (std::size_t i = 0; i < calls; ++i) acc += d.percentile(0.5);
  const double secs = seconds_since(start);
  g_sink = acc;
  std::printf("%-28s %-26s %8.1f us/call\n", name, d.to_string().c_str(), secs / static_cast<double>(calls) * 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t draws = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20000000;
  std::vector<double> pool(10000);
  for (std::size_t i = 0; i < pool.size(); ++i) pool[i] = static_cast<double>(i);
  const Distribution empirical = Distribution::empirical(pool);

  std::printf("bulk sampling, %zu draws per line\n", draws);
  bench_bulk("deterministic", Distribution::deterministic(1.5), draws);
  bench_bulk("normal (ziggurat)", Distribution::normal(0, 1), draws);
  bench_bulk("uniform", Distribution::uniform(-1, 3), draws);
  bench_bulk("beta BB", Distribution::beta(2, 3), draws);
  bench_bulk("beta BC", Distribution::beta(0.5, 0.5), draws);
  bench_bulk("gamma shape < 1", Distribution::gamma(0.5, 1), draws);
  bench_bulk("gamma shape = 1", Distribution::gamma(1, 1), draws);
  bench_bulk("gamma shape > 1", Distribution::gamma(3, 1), draws);
  bench_bulk("lognormal", Distribution::lognormal(0, 1), draws);
  bench_bulk("empirical (10000 samples)", empirical, draws);

  std::printf("\none draw per call (sample_n_with_rng(1, rng))\n");
  const std::size_t calls = draws / 10;
  bench_single("normal", Distribution::normal(0, 1), calls);
  bench_single("uniform", Distribution::uniform(-1, 3), calls);
  bench_single("uniform, adjusted width", Distribution::uniform(100.1, 100.7), calls);
  bench_single("beta BB", Distribution::beta(2, 3), calls);

  std::printf("\npercentile(0.5)\n");
  bench_percentile("normal (4096 draws + sort)", Distribution::normal(0, 1), 2000);
  bench_percentile("empirical (copy + sort)", empirical, 2000);
  return 0;
}
