#include "coarse.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <numeric>

#include "compact/eight_sums.hpp"
#include "error.hpp"
#include "index/metric.hpp"
#include "parallel/pool.hpp"
#include "rng.hpp"

namespace quillane::ivf {

namespace {

constexpr size_t ASSIGN_ROWS_PER_CHUNK = 64;
constexpr size_t SUM_COORDINATES_PER_CHUNK = 32;

// The seeded choice of m of n row numbers (m <= n), ascending: the first m places of a
// Fisher-Yates shuffle drawn from the project's random source.
std::vector<size_t> seeded_sample(size_t n, size_t m, SeededRng& rng) {
    std::vector<size_t> order(n);
    std::iota(order.begin(), order.end(), size_t{0});
    for (size_t i = 0; i < m; ++i) {
        const size_t j = i + static_cast<size_t>(rng.next_u64() % (n - i));
        std::swap(order[i], order[j]);
    }
    order.resize(m);
    return order;
}

}  // namespace

CoarseQuantizer::CoarseQuantizer(size_t dim, size_t lists, bool nearest)
    : dim_(dim), lists_(lists), nearest_(nearest) {}

void CoarseQuantizer::set_centroids(std::vector<float> centroids) {
    if (centroids.size() != lists_ * dim_) throw InvariantFailure("centroids of the wrong shape");
    centroids_ = std::move(centroids);
    trained_ = true;
    rebuild_blocks();
}

void CoarseQuantizer::rebuild_blocks() {
    const size_t L = kernels::CENTROID_LANES, blocks = (lists_ + L - 1) / L;
    lanes_.assign(blocks * dim_ * L, 0.0f);
    half_norms_.assign(lists_, 0.0);
    for (size_t l = 0; l < lists_; ++l) half_norms_[l] = squared_norm(centroid(l), dim_) / 2.0;
    for (size_t l = 0; l < lists_; ++l) {
        const size_t b = l / L, lane = l % L;
        for (size_t j = 0; j < dim_; ++j) lanes_[(b * dim_ + j) * L + lane] = centroids_[l * dim_ + j];
    }
}

kernels::CentroidBlocks CoarseQuantizer::blocks() const {
    return {lanes_.data(), dim_, lanes_.size() / (dim_ * kernels::CENTROID_LANES)};
}

void CoarseQuantizer::assign(const float* rows, size_t n, unsigned threads, uint32_t* out) const {
    const kernels::CentroidBlocks c = blocks();
    const size_t width = c.blocks * kernels::CENTROID_LANES;
    parallel::for_chunks(n, ASSIGN_ROWS_PER_CHUNK, threads, [&](size_t begin, size_t end) {
        std::vector<float> dots((end - begin) * width);
        kernels::centroid_dots(c, rows + begin * dim_, end - begin, dots.data());
        for (size_t i = begin; i < end; ++i) {
            const float* d = dots.data() + (i - begin) * width;
            // The highest key, the lowest list among equals; NaN never wins.
            double best = -std::numeric_limits<double>::infinity();
            uint32_t chosen = 0;
            for (size_t l = 0; l < lists_; ++l) {
                const double k = key(l, d[l]);
                if (k > best) {
                    best = k;
                    chosen = static_cast<uint32_t>(l);
                }
            }
            out[i] = chosen;
        }
    });
}

void CoarseQuantizer::products(const float* query, double* out) const {
    const kernels::CentroidBlocks c = blocks();
    std::vector<float> dots(c.blocks * kernels::CENTROID_LANES);
    kernels::centroid_dots(c, query, 1, dots.data());
    for (size_t l = 0; l < lists_; ++l) out[l] = dots[l];
}

void CoarseQuantizer::train(const float* rows, size_t n, unsigned iterations, uint64_t seed, unsigned threads,
                            const std::function<void(const TrainingStep&)>& step, bool unit) {
    if (n < lists_) throw InvariantFailure("fewer training rows than lists");
    const auto start = std::chrono::steady_clock::now();
    SeededRng rng(seed);
    const size_t m = std::min(n, ROWS_PER_LIST * lists_);
    std::vector<size_t> sample(m);
    if (n > m) {
        sample = seeded_sample(n, m, rng);
        std::sort(sample.begin(), sample.end());  // read in memory order
    } else {
        std::iota(sample.begin(), sample.end(), size_t{0});
    }
    std::vector<float> train(m * dim_);
    for (size_t i = 0; i < m; ++i) {
        if (unit) {
            unit_into(rows + sample[i] * dim_, dim_, train.data() + i * dim_);
        } else {
            std::copy_n(rows + sample[i] * dim_, dim_, train.data() + i * dim_);
        }
    }
    // The initial centroids: the first `lists` rows of a seeded shuffle of the sample.
    const std::vector<size_t> first = seeded_sample(m, lists_, rng);
    std::vector<float> centroids(lists_ * dim_);
    for (size_t l = 0; l < lists_; ++l) std::copy_n(train.data() + first[l] * dim_, dim_, centroids.data() + l * dim_);
    set_centroids(std::move(centroids));
    // Each sample row's norm: f64 squares summed in coordinate order, then the root.
    std::vector<double> row_norms(m), row_objective(m);
    parallel::for_chunks(m, ASSIGN_ROWS_PER_CHUNK, threads, [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
            const float* x = train.data() + i * dim_;
            double square = 0.0;
            for (size_t j = 0; j < dim_; ++j) square += static_cast<double>(x[j]) * static_cast<double>(x[j]);
            row_norms[i] = std::sqrt(square);
        }
    });
    std::vector<uint32_t> owner(m);
    std::vector<double> sums(lists_ * dim_);
    std::vector<size_t> counts(lists_);
    std::vector<double> norms(lists_);  // the sum of the norms of each list's rows
    for (unsigned it = 1; it <= iterations; ++it) {
        assign(train.data(), m, threads, owner.data());
        // Every sum runs in row order in f64, whatever the thread count: threads split the
        // coordinates of the centroid sums, and the rows of their distances.
        std::fill(sums.begin(), sums.end(), 0.0);
        parallel::for_chunks(dim_, SUM_COORDINATES_PER_CHUNK, threads, [&](size_t from, size_t to) {
            for (size_t i = 0; i < m; ++i) {
                const float* x = train.data() + i * dim_;
                double* s = sums.data() + size_t{owner[i]} * dim_;
                for (size_t j = from; j < to; ++j) s[j] += x[j];
            }
        });
        parallel::for_chunks(m, ASSIGN_ROWS_PER_CHUNK, threads, [&](size_t begin, size_t end) {
            for (size_t i = begin; i < end; ++i) {
                const float* x = train.data() + i * dim_;
                const float* c = centroid(owner[i]);
                compact::EightSums d2;
                d2.add_all(dim_, [&](size_t j) {
                    const double d = static_cast<double>(x[j]) - static_cast<double>(c[j]);
                    return d * d;
                });
                row_objective[i] = d2.total();
            }
        });
        std::fill(counts.begin(), counts.end(), size_t{0});
        std::fill(norms.begin(), norms.end(), 0.0);
        double objective = 0.0;
        for (size_t i = 0; i < m; ++i) {
            norms[owner[i]] += row_norms[i];
            objective += row_objective[i];
            ++counts[owner[i]];
        }
        // Each centroid: the mean of its rows, rescaled to their mean norm. The inner products
        // that assign rows then compare directions, not the shrinking of means, and the
        // lists stay balanced (higher recall per probe than plain means: bench/ivf_assignment.py).
        std::vector<float> next(lists_ * dim_);
        for (size_t l = 0; l < lists_; ++l) {
            if (counts[l] == 0) continue;
            const double count = static_cast<double>(counts[l]);
            double square = 0.0;
            for (size_t j = 0; j < dim_; ++j) {
                const double mean = sums[l * dim_ + j] / count;
                square += mean * mean;
            }
            const double scale = !nearest_ && square > 0.0 ? (norms[l] / count) / std::sqrt(square) : 1.0;
            for (size_t j = 0; j < dim_; ++j) {
                next[l * dim_ + j] = static_cast<float>(sums[l * dim_ + j] / count * scale);
            }
        }
        // An empty list takes half of the largest one (lowest number among equals): both
        // centroids move apart from its mean by 2^-10 of each coordinate, in opposite
        // directions on even and odd coordinates.
        for (size_t e = 0; e < lists_; ++e) {
            if (counts[e] != 0) continue;
            const size_t big = static_cast<size_t>(std::max_element(counts.begin(), counts.end()) - counts.begin());
            for (size_t j = 0; j < dim_; ++j) {
                const float c = next[big * dim_ + j];
                const float nudge = (j % 2 == 0 ? 1.0f : -1.0f) * c * 0x1p-10f;
                next[e * dim_ + j] = c + nudge;
                next[big * dim_ + j] = c - nudge;
            }
            counts[e] = counts[big] / 2;
            counts[big] -= counts[e];
        }
        set_centroids(std::move(next));
        if (step) {
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            step({it, objective, seconds});
        }
    }
}

}  // namespace quillane::ivf
