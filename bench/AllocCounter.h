// Counts heap allocations of the whole process (all threads), through a
// replaced global operator new in the benchmark binary.
#pragma once

#include <cstdint>

namespace Bench {

std::uint64_t AllocationCount() noexcept;
// Bytes held by live allocations of the whole process (as the allocator sizes its blocks), for
// memory per object: the difference before and after making N of them. Counted only once
// TrackLiveBytes() was called, first thing in main (asking the allocator each block's size
// costs every allocation; the benchmarks that do not need it, and the figures compared with
// builds that did not count it, should not pay for it).
void TrackLiveBytes() noexcept;
std::int64_t LiveBytes() noexcept;

// Allocations since construction, for a benchmark's timed loop.
class AllocationMeter {
 public:
  AllocationMeter() noexcept : _start(AllocationCount()) {}
  std::uint64_t Elapsed() const noexcept { return AllocationCount() - _start; }

 private:
  std::uint64_t _start;
};

}  // namespace Bench
