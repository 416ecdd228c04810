// The compact first pass's bounds: from a block of records' integer sums against one
// query, each record's centre estimate, error margin and upper bound (index/compact_family
// says why they hold). The same IEEE operations in the same order on every path.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace quillane::kernels {

// Per record: its scale, and its two stored norms times |scale| (widened).
struct CompactBoundRecords {
    const double* scale;
    const double* scaled_levels;
    const double* scaled_errors;
};

// Per query: level step times query step, the query's rounding norm (widened) and the
// norm of its rounded values. Shifted: the bounds are those of scores shifted by `offset`
// (an inverted list's records are residuals) and widened for that sum's rounding, as the
// caller widens them (compact_bounds says how), so that the kernel drops in vector lanes
// what the caller would drop record by record.
// What a shifted pair of bounds is widened by (each side) for the rounding of the shift
// and of the shifted score to float32: the ranking and the portable kernel share it.
inline double shifted_slack(double low, double high) {
    return (std::fabs(low) + std::fabs(high)) * 0x1p-20 + static_cast<double>(std::numeric_limits<float>::min());
}

struct CompactBoundQuery {
    double unit;
    double per_level;
    double rounded_norm;
    bool shifted = false;
    double offset = 0.0;
};

// Where a block's records keep what their bounds need: the f32 scale at scale_at, and at
// bounds_at two stored bounds (the level norm, then the level error norm), each a u16 that
// is the high half of an f32.
struct CompactRecordFields {
    const uint8_t* records;
    size_t stride;
    size_t scale_at;
    size_t bounds_at;
};

struct CompactRecordTerms {
    double* scale;
    double* scaled_levels;
    double* scaled_errors;
};

// For b < n, of the record at records + b * stride: scale, and (|scale| * bound) * (1 +
// 2^-20) for each stored bound, a bound that is negative or NaN (no encoder writes one: a
// damaged, unverified file) read as infinite. Through the chosen kernels.
void compact_record_terms(const CompactRecordFields& fields, size_t n, const CompactRecordTerms& out);

// Of the records whose upper bound reaches the threshold, in ascending order: their numbers
// in the block, and at the same positions their centres, margins and upper bounds.
struct CompactBounds {
    double* centre;
    double* margin;
    double* upper;
    uint32_t* reaching;
};

// For b < n: centre = (scale * unit) * sum, margin = ((scaled_levels * per_level +
// scaled_errors * rounded_norm) + |centre| * 2^-20) + FLT_MIN, upper = centre + margin;
// returns how many records reach the threshold, listed in out with their bounds; each of
// out's arrays has room for n entries, any of which a kernel may write. Unshifted, a record
// reaches it when upper >= threshold (a NaN upper bound never does). Shifted, with
// high = offset + upper, low = offset + (centre - margin) and slack = ((|low| + |high|) *
// 2^-20) + FLT_MIN, when high + slack is not below the threshold (a NaN always reaches it).
// Through the chosen kernels.
size_t compact_bounds(const CompactBoundRecords& records, const CompactBoundQuery& query,
                      const int32_t* sums, size_t n, double threshold, const CompactBounds& out);

}  // namespace quillane::kernels
