// Row-wise batch work: every row runs as the one-at-a-time call would, and a failing
// batch reports its lowest failing row, whatever the thread count.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>

#include "error.hpp"
#include "parallel/pool.hpp"

namespace quillane::parallel {

struct RowFailure {
    size_t row;
    QuantError error;
};

// The lowest failing row seen so far, shared by the threads of one batch.
class LowestFailure {
public:
    void record(size_t row, const QuantError& error) {
        std::lock_guard lock(mutex_);
        if (!failure_ || row < failure_->row) {
            failure_ = RowFailure{row, error};
            lowest_.store(row);
        }
    }
    // Rows above a known failure need not run: the batch fails anyway, and every row
    // below it still runs, so the lowest failing row is always found.
    bool beyond(size_t row) const { return row > lowest_.load(std::memory_order_relaxed); }
    bool failed() const { return lowest_.load() != NONE; }
    std::optional<RowFailure> take() {
        std::lock_guard lock(mutex_);
        return std::move(failure_);
    }

private:
    static constexpr size_t NONE = static_cast<size_t>(-1);
    std::mutex mutex_;
    std::optional<RowFailure> failure_;
    std::atomic<size_t> lowest_{NONE};
};

// Runs row(i) -> Status for i < n in chunks of `grain` rows on up to `threads` threads;
// the lowest failing row and its error, or nothing when every row succeeded.
template <class Row>
std::optional<RowFailure> for_each_row(size_t n, size_t grain, unsigned threads, Row&& row) {
    LowestFailure failure;
    for_chunks(n, grain, threads, [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end && !failure.beyond(i); ++i) {
            if (Status s = row(i); !s) failure.record(i, s.error());
        }
    });
    return failure.take();
}

}  // namespace quillane::parallel
