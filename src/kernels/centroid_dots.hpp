// The coarse quantizer's products: <x, c> for rows x and every centroid c, float32, each
// summed in coordinate order from +0.0, a product then a sum, never fused. Each lane of a
// vector path holds one centroid and sums its own terms in that order, so every path
// gives the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillane::kernels {

// Centroids in blocks of CENTROID_LANES: block b holds centroid 16 b + l of coordinate j
// at [(b * dim + j) * CENTROID_LANES + l]; lanes past the last centroid are zero.
inline constexpr size_t CENTROID_LANES = 16;

struct CentroidBlocks {
    const float* lanes;  // blocks * dim * CENTROID_LANES
    size_t dim;
    size_t blocks;
};

// out[i * blocks * CENTROID_LANES + l] = <row i, centroid l> for the n rows of dim floats,
// through the chosen kernels.
void centroid_dots(const CentroidBlocks& c, const float* rows, size_t n, float* out);

// The same products in integers, to choose which few centroids need the float32 ones:
// rows and centroids as int16 values within +-CENTROID_LEVELS (pairs of them summed in
// 32 bits; the sums move to 64 bits every CENTROID_PAIRS_PER_FLUSH pairs, before they can
// overflow). Block b holds the values of centroid 16 b + l at coordinates 2 p and 2 p + 1
// at [((b * pairs + p) * CENTROID_LANES + l) * 2] and the next place; rows hold 2 * pairs
// values, a missing last coordinate zero.
inline constexpr int CENTROID_LEVELS = 2047;
inline constexpr size_t CENTROID_PAIRS_PER_FLUSH = 256;

struct CentroidIntegerBlocks {
    const int16_t* lanes;  // blocks * pairs * CENTROID_LANES * 2
    size_t pairs;
    size_t blocks;
};

// out[i * blocks * CENTROID_LANES + l] = the exact integer <row i, centroid l>, through the
// chosen kernels.
void centroid_integer_dots(const CentroidIntegerBlocks& c, const int16_t* rows, size_t n, int64_t* out);

// The bounds on one row's keys from its integer products (ivf/coarse.cpp says why they
// hold): for list l < n, centre = unit * sums[l] - shift[l], margin = (spread * norm[l] +
// scaled * error[l]) + tiny, upper[l] = centre + margin, lower[l] = centre - margin, each an
// IEEE double operation in this order on every path. Returns the highest lower bound and
// the largest |centre| + margin.
struct CentroidBoundLists {
    const double* shift;
    const double* norm;
    const double* error;
    size_t n;
};
struct CentroidBoundRow {
    double unit, spread, scaled, tiny;
};
struct CentroidBoundTotals {
    double highest_lower, widest;
};
CentroidBoundTotals centroid_bounds(const CentroidBoundLists& lists, const CentroidBoundRow& row, const int64_t* sums,
                                    double* upper, double* lower);

}  // namespace quillane::kernels
