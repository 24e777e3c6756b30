// tracking/benchmark.hpp: the native load-change-check-snapshot cycle behind
// StateTracker.benchmark_pure_rust. Touches no Python object.
#pragma once

#include <cstdint>

namespace sablecrest {

struct BenchTime {
    uint64_t secs;
    uint32_t nanos;
};

// Counts at or above this are refused before anything is built.
inline constexpr uint64_t kBenchCountLimit = uint64_t{1} << 58;

// Runs the cycle on `count` native trackers and returns the time of the timed span.
// Throws std::length_error("capacity overflow") when count >= kBenchCountLimit and
// std::bad_alloc when the trackers would not fit in the memory the system has available.
BenchTime run_native_benchmark(uint64_t count);

// Bytes one benchmark record is expected to occupy (tracker, table block, allocator
// overhead); exposed so tests can reason about the memory check.
uint64_t native_benchmark_record_bytes();

}  // namespace sablecrest
