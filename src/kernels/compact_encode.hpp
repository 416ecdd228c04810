// The compact encoder's kernels. The rotation: rounds of sign flips and normalised
// Walsh-Hadamard transforms of one or two overlapping power-of-two blocks
// (compact/hadamard.hpp). The cells: each rotated coordinate's Lloyd-Max cell.
// Every butterfly, negation and scaling is one exact IEEE operation on one element, so
// vector paths that do them in lanes give the plain loop's bits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillane::kernels {

struct HadamardPlan {
    size_t dim;
    size_t block;                 // p, a power of two <= dim
    float scale;                  // 1 / sqrt(p) as float32
    const uint64_t* sign_words;   // `rounds` runs of words_per_round words
    size_t words_per_round;
    int rounds;
};

// v <- R v (forward) or R^T v, in place, through the chosen kernels.
void hadamard_rotate(const HadamardPlan& plan, float* v, bool forward);

}  // namespace quillane::kernels

namespace quillane::kernels {

// codes[i] = the number of the `count` ascending boundaries strictly below
// f64(y[i]) * k, for i < dim, through the chosen kernels (the compact encoder's cells).
void compact_cells(const float* boundaries, uint32_t count, const float* y, double k, size_t dim,
                   uint8_t* codes);

// For i < dim, with l = f64(levels[codes[i]]) (codes below `count`) and j = i % 8:
// dot[j] += l * f64(y[i]) and energy[j] += l * l, each lane in ascending i, a product
// then a sum (the compact encoder's two eight-lane sums, compact/eight_sums.hpp).
void compact_code_sums(const float* levels, uint32_t count, const uint8_t* codes, const float* y,
                       size_t dim, double* dot, double* energy);

}  // namespace quillane::kernels
