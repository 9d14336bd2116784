// The engine's test seams: what its own tests and the timing of the kernels
// look at, and no module needs.
#pragma once

#include <cstddef>

#include "parallel/pool.hpp"

namespace vyr::parallel {

// Number of worker threads T.  On a worker: that worker's pool.  Elsewhere: the
// process-wide pool, created on first use.  Creation failure raises the fault
// "The global thread pool has not been initialized. ..." (every later call
// too), reported on the calling thread.
std::size_t pool_size();

namespace detail {

// How many workers of `pool` have entered their main loop so far.
std::size_t started_workers(const Pool& pool) noexcept;

// Replaces pthread_create for the next creation of the process-wide pool
// (for tests of creation failure; null restores pthread_create).
void set_global_spawn_for_testing(SpawnFn spawn) noexcept;

}  // namespace detail

}  // namespace vyr::parallel
