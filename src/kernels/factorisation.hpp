// The factorisation's kernels. The dot kernel is the one the rotation's definition
// fixes: eight strided partial sums, combined in a fixed order. The other entry points
// apply reflections and elimination steps to columns; every implementation gives every
// element exactly the plain algorithm's operations in its order (linalg/householder).
#pragma once

#include <cstddef>

namespace quillane::kernels {

// The fixed combine of the eight partial sums, from +0.
inline float combine_partial_sums(const float* s) {
    float res = 0.0f;
    res = res + (s[0] + s[4]);
    res = res + (s[1] + s[5]);
    res = res + (s[2] + s[6]);
    res = res + (s[3] + s[7]);
    return res;
}

// The dot kernel as defined, written plainly: what every dot8 implementation equals.
float householder_dot(const float* a, const float* b, size_t m);

// One reflection of the factorisation: v holds rows row .. n-1 of its unit vector; it
// maps y to sigma * (I - 2 v v^T) y.
struct Reflection {
    const float* v;
    size_t row;
    float sigma;
};

// The entry points of one implementation (dispatch.hpp holds one per instruction set).
struct FactorisationKernels {
    // householder_dot's value.
    float (*dot8)(const float* a, const float* b, size_t m);
    // y <- y * sigma + x * t over m elements.
    void (*reflect_update)(float* y, const float* x, size_t m, float sigma, float t);
    // Reflects `count` columns (stride n, each starting at the reflection's first row)
    // by v over m rows.
    void (*reflect_columns)(const float* v, float* first, size_t count, size_t n, size_t m,
                            float sigma);
    // Applies seq[0], seq[1], ... in order to `count` adjacent whole columns (stride n).
    void (*reflect_sequence)(const Reflection* seq, size_t len, float* first, size_t count,
                             size_t n);
    // Elimination steps c_0 < c_1 < ... (multipliers below their pivots in columns c_k of
    // the column-major n x n a) on column y, in order.
    void (*eliminate_sequence)(float* y, const size_t* steps, size_t count, const float* a,
                               size_t n);
    // y[k] <- y[k] - l[k] * u over m elements.
    void (*eliminate)(float* y, const float* l, size_t m, float u);
};

}  // namespace quillane::kernels
