// Work split over a pool of native threads, created once and sized to the cores this
// process may run on. Callers split by rows; each row's result is computed as the
// one-at-a-time call computes it, so the thread count never changes a bit.
#pragma once

#include <cstddef>
#include <functional>

namespace quillane::parallel {

// The cores this process may run on (its affinity mask), at least 1.
unsigned allowed_cores();

// The number of threads a batch call uses for `requested` (0: every allowed core):
// at least 1, at most allowed_cores().
unsigned thread_count(unsigned requested);

// Calls body(begin, end) over consecutive chunks of at most `grain` rows covering
// [0, n), on up to `threads` threads (the caller's included; 1: the caller alone).
// Chunks are handed out in ascending order. The first exception a body throws is
// rethrown here after every running chunk has finished.
void for_chunks(size_t n, size_t grain, unsigned threads,
                const std::function<void(size_t begin, size_t end)>& body);

}  // namespace quillane::parallel
