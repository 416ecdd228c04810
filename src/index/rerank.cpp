#include "rerank.hpp"

#include <cmath>
#include <vector>

#include "error.hpp"
#include "index/topk.hpp"
#include "parallel/pool.hpp"

namespace quillane {

namespace {

// exact_score with sqrt(n(q)) given: a query's norm is the same for each of its candidates.
float exact_score(Metric metric, const float* x, const float* q, size_t dim, double query_norm) {
    double sum = 0.0;
    if (metric == Metric::l2) {
        for (size_t i = 0; i < dim; ++i) {
            const double d = static_cast<double>(x[i]) - static_cast<double>(q[i]);
            sum += d * d;
        }
        return static_cast<float>(sum);
    }
    for (size_t i = 0; i < dim; ++i) sum += static_cast<double>(x[i]) * static_cast<double>(q[i]);
    if (metric == Metric::ip) return static_cast<float>(sum);
    return static_cast<float>(sum / (std::sqrt(squared_norm(x, dim)) * query_norm));
}

// Candidates' rows lie anywhere in the array: each is asked for a few candidates ahead.
constexpr size_t ROWS_AHEAD = 4;

void prefetch_row(const float* vectors, uint64_t id, size_t dim) {
    if (id == NO_ID) return;
    const char* row = reinterpret_cast<const char*>(vectors + id * dim);
    for (size_t at = 0; at < dim * sizeof(float); at += 64) __builtin_prefetch(row + at);
}

}  // namespace

float exact_score(Metric metric, const float* x, const float* q, size_t dim) {
    return exact_score(metric, x, q, dim, metric == Metric::cosine ? std::sqrt(squared_norm(q, dim)) : 0.0);
}

std::optional<uint64_t> first_id_without_row(const uint64_t* candidates, size_t count, uint64_t rows) {
    for (size_t i = 0; i < count; ++i) {
        if (candidates[i] != NO_ID && candidates[i] >= rows) return candidates[i];
    }
    return std::nullopt;
}

std::optional<uint64_t> first_id_with_unfit_row(Metric metric, const uint64_t* candidates, size_t count,
                                                const float* vectors, size_t dim) {
    for (size_t i = 0; i < count; ++i) {
        if (i + ROWS_AHEAD < count) prefetch_row(vectors, candidates[i + ROWS_AHEAD], dim);
        if (candidates[i] == NO_ID) continue;
        const float* row = vectors + candidates[i] * dim;
        if (!check_finite({row, dim}) || (metric == Metric::cosine && all_zero(row, dim))) return candidates[i];
    }
    return std::nullopt;
}

namespace {

// Query q's candidates are the `width` ids at candidates + q * stride.
void rerank_rows(Metric metric, const float* queries, size_t nq, size_t dim, const uint64_t* candidates, size_t width,
                 size_t stride, const float* vectors, size_t k, unsigned threads, uint64_t* out_ids,
                 float* out_scores) {
    parallel::for_chunks(nq, 1, threads, [&](size_t begin, size_t end) {
        std::vector<float> keys;
        std::vector<uint64_t> ids;
        for (size_t q = begin; q < end; ++q) {
            keys.clear();
            ids.clear();
            const float* query = queries + q * dim;
            const double query_norm = metric == Metric::cosine ? std::sqrt(squared_norm(query, dim)) : 0.0;
            for (size_t c = 0; c < width; ++c) {
                if (c + ROWS_AHEAD < width) prefetch_row(vectors, candidates[q * stride + c + ROWS_AHEAD], dim);
                const uint64_t id = candidates[q * stride + c];
                if (id == NO_ID) continue;
                const float s = exact_score(metric, vectors + id * dim, query, dim, query_norm);
                keys.push_back(metric == Metric::l2 ? -s : s);
                ids.push_back(id);
            }
            std::vector<Scored> row = top_k_of(keys.data(), ids.data(), keys.size(), k);
            if (metric == Metric::l2) {
                for (Scored& s : row) s.score = -s.score;
            }
            pad(row, k);
            for (size_t r = 0; r < k; ++r) {
                out_ids[q * k + r] = row[r].id;
                out_scores[q * k + r] = row[r].score;
            }
        }
    });
}

}  // namespace

void rerank(Metric metric, const float* queries, size_t nq, size_t dim, const uint64_t* candidates, size_t width,
            const float* vectors, size_t k, unsigned threads, uint64_t* out_ids, float* out_scores) {
    rerank_rows(metric, queries, nq, dim, candidates, width, width, vectors, k, threads, out_ids, out_scores);
}

void exact_top_k(Metric metric, const float* queries, size_t nq, size_t dim, const uint64_t* ids, size_t n,
                 const float* vectors, size_t k, unsigned threads, uint64_t* out_ids, float* out_scores) {
    rerank_rows(metric, queries, nq, dim, ids, n, 0, vectors, k, threads, out_ids, out_scores);
}

}  // namespace quillane
