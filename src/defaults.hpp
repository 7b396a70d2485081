// Engine defaults: the values a caller gets when it leaves a setting out.
//
// Every layer that offers a setting (the builder, the cache backends, the
// propagation calls, the Python bindings) takes its default from here, so
// that one number never lives in two places. Constants only; safe anywhere.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace quillon {

// Entries a memory cache holds when no bound is given.
inline constexpr std::size_t kDefaultMaxEntries = 1024;

// Time-to-live values are capped at about a century: a longer one means
// "never", and the cap keeps every deadline representable on the clocks.
inline constexpr std::uint64_t kMaxTtlSeconds = 100ULL * 365 * 24 * 3600;

inline std::chrono::seconds capped_ttl(std::uint64_t seconds) noexcept {
  return std::chrono::seconds(static_cast<std::chrono::seconds::rep>(std::min(seconds, kMaxTtlSeconds)));
}

// The cache namespace of a run that names none and whose caches name none.
inline constexpr char kDefaultNamespace[] = "default";

// Trajectories a particle propagation runs when no count is given.
inline constexpr std::size_t kDefaultParticles = 1000;

// The bytes a vectorised node's block of draws may take when no block size
// is given: its input and output columns of doubles together.
inline constexpr std::size_t kDefaultBlockBytes = std::size_t{64} << 20;

// The draws per block for a node with `columns` input and output columns.
inline constexpr std::size_t default_block_size(std::size_t columns) noexcept {
  return std::max<std::size_t>(1, kDefaultBlockBytes / (sizeof(double) * std::max<std::size_t>(1, columns)));
}

// The calls per task when a propagation's calls go to an executor's workers
// and no chunk size is given: at least kMinChunkCalls, so that a task's own
// cost (a fraction of a millisecond on a process pool, a few on a cluster)
// stays a few per cent of calls of a millisecond, and otherwise a share of
// the calls that keeps kChunkShares tasks for the workers to balance.
inline constexpr std::size_t kMinChunkCalls = 64;
inline constexpr std::size_t kChunkShares = 32;
inline constexpr std::size_t default_chunk_size(std::size_t calls) noexcept {
  return std::max<std::size_t>(kMinChunkCalls, (calls + kChunkShares - 1) / kChunkShares);
}

}  // namespace quillon
