// The compact rotation as plain loops: the portable path and the definition.
#include <bit>

#include "compact/hadamard.hpp"
#include "compact/levels.hpp"
#include "dispatch.hpp"
#include "compact_encode.hpp"
#include "implementations.hpp"

namespace quillane::kernels {

void hadamard_rotate(const HadamardPlan& plan, float* v, bool forward) {
    active().hadamard_rotate(plan, v, forward);
}

void compact_cells(const float* boundaries, uint32_t count, const float* y, double k, size_t dim,
                   uint8_t* codes) {
    active().compact_cells(boundaries, count, y, k, dim, codes);
}

void compact_code_sums(const float* levels, uint32_t count, const uint8_t* codes, const float* y,
                       size_t dim, double* dot, double* energy) {
    active().compact_code_sums(levels, count, codes, y, dim, dot, energy);
}

namespace portable {

void compact_code_sums(const float* levels, uint32_t, const uint8_t* codes, const float* y, size_t dim,
                       double* dot, double* energy) {
    for (size_t i = 0; i < dim; ++i) {
        const double level = levels[codes[i]];
        dot[i % 8] = dot[i % 8] + level * static_cast<double>(y[i]);
        energy[i % 8] = energy[i % 8] + level * level;
    }
}

void compact_cells(const float* boundaries, uint32_t count, const float* y, double k, size_t dim,
                   uint8_t* codes) {
    // count = 2^bits - 1: the bisection of compact::ScalarQuantizer::cell.
    const compact::ScalarQuantizer q{nullptr, boundaries, static_cast<uint8_t>(std::bit_width(count))};
    for (size_t i = 0; i < dim; ++i) codes[i] = static_cast<uint8_t>(q.cell(static_cast<double>(y[i]) * k));
}

namespace {

void flip(const HadamardPlan& plan, float* v, int round) {
    const uint64_t* signs = plan.sign_words + round * plan.words_per_round;
    for (size_t i = 0; i < plan.dim; ++i) {
        if ((signs[i / 64] >> (i % 64)) & 1u) v[i] = -v[i];
    }
}

void block(const HadamardPlan& plan, float* v) {
    compact::walsh_hadamard(v, plan.block);
    for (size_t i = 0; i < plan.block; ++i) v[i] = v[i] * plan.scale;
}

}  // namespace

void hadamard_rotate(const HadamardPlan& plan, float* v, bool forward) {
    const bool two = plan.block < plan.dim;
    float* tail = v + (plan.dim - plan.block);
    if (forward) {
        for (int r = 0; r < plan.rounds; ++r) {
            flip(plan, v, r);
            block(plan, v);
            if (two) block(plan, tail);
        }
    } else {
        for (int r = plan.rounds - 1; r >= 0; --r) {
            if (two) block(plan, tail);
            block(plan, v);
            flip(plan, v, r);
        }
    }
}

}  // namespace portable

}  // namespace quillane::kernels
