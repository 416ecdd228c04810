// The eight-lane float64 sums of two float32 vectors that graph construction measures by:
// term i (a_i * b_i, or (a_i - b_i)^2 in float64) into lane i % 8, each lane from +0.0 in
// ascending i (compact/eight_sums.hpp's order), so every path gives the same lanes.
#pragma once

#include <cstddef>

namespace quillane::kernels {

enum class VectorTerm { product, squared_difference };

// lanes[0..7] for a and b of n values. Through the chosen kernels.
void eight_lane_sums(const float* a, const float* b, size_t n, VectorTerm term, double* lanes);

// eight_lane_sums of a with each of b[0..3]: lanes[8 j .. 8 j + 7] those of b[j], the same
// bits as four calls (vector paths run the four in step: one sum's chain waits on its
// last addition, four hide that wait).
void eight_lane_sums_of_four(const float* a, const float* const* b, size_t n, VectorTerm term, double* lanes);

}  // namespace quillane::kernels
