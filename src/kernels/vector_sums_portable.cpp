// The plain loop: the reference of every path.
#include "compact/eight_sums.hpp"
#include "kernels/dispatch.hpp"
#include "kernels/implementations.hpp"
#include "kernels/vector_sums.hpp"

namespace quillane::kernels {

void eight_lane_sums(const float* a, const float* b, size_t n, VectorTerm term, double* lanes) {
    active().eight_lane_sums(a, b, n, term, lanes);
}

void eight_lane_sums_of_four(const float* a, const float* const* b, size_t n, VectorTerm term, double* lanes) {
    active().eight_lane_sums_of_four(a, b, n, term, lanes);
}

namespace portable {

void eight_lane_sums_of_four(const float* a, const float* const* b, size_t n, VectorTerm term, double* lanes) {
    for (size_t j = 0; j < 4; ++j) portable::eight_lane_sums(a, b[j], n, term, lanes + 8 * j);
}

void eight_lane_sums(const float* a, const float* b, size_t n, VectorTerm term, double* lanes) {
    compact::EightSums sums;
    if (term == VectorTerm::product) {
        sums.add_all(n, [&](size_t i) { return static_cast<double>(a[i]) * static_cast<double>(b[i]); });
    } else {
        sums.add_all(n, [&](size_t i) {
            const double d = static_cast<double>(a[i]) - static_cast<double>(b[i]);
            return d * d;
        });
    }
    for (size_t l = 0; l < 8; ++l) lanes[l] = sums.s[l];
}

}  // namespace portable

}  // namespace quillane::kernels
