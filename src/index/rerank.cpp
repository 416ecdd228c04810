#include "rerank.hpp"

#include <cmath>
#include <vector>

#include "error.hpp"
#include "index/topk.hpp"
#include "parallel/pool.hpp"

namespace quillane {

float exact_score(Metric metric, const float* x, const float* q, size_t dim) {
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
    return static_cast<float>(sum / (std::sqrt(squared_norm(x, dim)) * std::sqrt(squared_norm(q, dim))));
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
        if (candidates[i] == NO_ID) continue;
        const float* row = vectors + candidates[i] * dim;
        if (!check_finite({row, dim}) || (metric == Metric::cosine && all_zero(row, dim))) return candidates[i];
    }
    return std::nullopt;
}

void rerank(Metric metric, const float* queries, size_t nq, size_t dim, const uint64_t* candidates, size_t width,
            const float* vectors, size_t k, unsigned threads, uint64_t* out_ids, float* out_scores) {
    parallel::for_chunks(nq, 1, threads, [&](size_t begin, size_t end) {
        std::vector<float> keys;
        std::vector<uint64_t> ids;
        for (size_t q = begin; q < end; ++q) {
            keys.clear();
            ids.clear();
            for (size_t c = 0; c < width; ++c) {
                const uint64_t id = candidates[q * width + c];
                if (id == NO_ID) continue;
                const float s = exact_score(metric, vectors + id * dim, queries + q * dim, dim);
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

}  // namespace quillane
