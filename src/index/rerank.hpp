// Exact re-ranking: a compact search's candidates ordered again by the exact metric on the
// original vectors (row i of an (N, dim) float32 array is the vector of id i), in a fixed
// order of float64 arithmetic, so that every machine gives the same answer (docs/metrics.md).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "index/metric.hpp"

namespace quillane {

// The exact score of vector x with query q: ip f32(sum f64(x_i) f64(q_i)); cosine that
// sum over sqrt(n(x)) * sqrt(n(q)), rounded to f32; l2 f32(sum (f64(x_i) - f64(q_i))^2).
float exact_score(Metric metric, const float* x, const float* q, size_t dim);

// The first candidate id (in row order, padding NO_ID skipped) that has no row among N.
std::optional<uint64_t> first_id_without_row(const uint64_t* candidates, size_t count, uint64_t rows);

// The first candidate id (in row order, padding skipped) whose row cannot be ranked: one with
// a value that is not finite, or under cosine one that is zero (it has no direction).
std::optional<uint64_t> first_id_with_unfit_row(Metric metric, const uint64_t* candidates, size_t count,
                                                const float* vectors, size_t dim);

// For each of nq queries, its `width` candidates (ids below `rows`, or NO_ID padding)
// ordered by exact score (highest first, smallest first under l2; equal scores keep the
// candidates' order; NaN last), the first k kept, padded with {NO_ID, NaN}. Queries on up
// to `threads` threads.
void rerank(Metric metric, const float* queries, size_t nq, size_t dim, const uint64_t* candidates, size_t width,
            const float* vectors, size_t k, unsigned threads, uint64_t* out_ids, float* out_scores);

// rerank with the same n candidates for every query: each query's exact top k among `ids`.
void exact_top_k(Metric metric, const float* queries, size_t nq, size_t dim, const uint64_t* ids, size_t n,
                 const float* vectors, size_t k, unsigned threads, uint64_t* out_ids, float* out_scores);

}  // namespace quillane
