// The quantizers' batch calls: rows of vectors, codes or queries split over threads,
// row i computed exactly as the one-at-a-time call computes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "compact/quantizer.hpp"
#include "parallel/rows.hpp"
#include "turbo.hpp"

namespace quillane::batch {

using parallel::RowFailure;

// The first failing (code row, query row) pair in row-major order, with the error the
// one-at-a-time inner_product gives for it.
struct PairFailure {
    size_t row;
    size_t query;
    QuantError error;
};

// vectors: n rows of dim floats; codes: n rows of code_size_bytes bytes. `threads` as
// parallel::thread_count (0: every allowed core).
std::optional<RowFailure> encode(const TurboQuantizer& q, const float* vectors, size_t n,
                                 uint8_t* codes, unsigned threads);
std::optional<RowFailure> decode(const TurboQuantizer& q, const uint8_t* codes, size_t n,
                                 float* vectors, unsigned threads);
// scores[i * nq + j] = inner_product(code i, query j).
std::optional<PairFailure> inner_product(const TurboQuantizer& q, const uint8_t* codes, size_t n,
                                         const float* queries, size_t nq, float* scores,
                                         unsigned threads);

std::optional<RowFailure> encode(const CompactQuantizer& q, const float* vectors, size_t n,
                                 uint8_t* codes, unsigned threads);
std::optional<RowFailure> decode(const CompactQuantizer& q, const uint8_t* codes, size_t n,
                                 float* vectors, unsigned threads);
std::optional<PairFailure> inner_product(const CompactQuantizer& q, const uint8_t* codes,
                                         size_t n, const float* queries, size_t nq,
                                         float* scores, unsigned threads);

}  // namespace quillane::batch
