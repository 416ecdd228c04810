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

}  // namespace quillane::kernels
