#include "coarse.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>
#include <numeric>

#include "compact/eight_sums.hpp"
#include "error.hpp"
#include "index/metric.hpp"
#include "index/widen.hpp"
#include "parallel/pool.hpp"
#include "rng.hpp"

namespace quillane::ivf {

namespace {

constexpr size_t ASSIGN_ROWS_PER_CHUNK = 64;
// The bounded assignment takes more rows at once, so that the rows needing one block's
// float32 products share its reads.
constexpr size_t BOUNDED_ROWS_PER_CHUNK = 512;
constexpr size_t MIN_COORDINATES_PER_CHUNK = 16;

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

// The reductions below run in eight chains of every eighth term, written so that the
// compiler puts the chains in vector lanes: their latency, not their order, matters (the
// bounds are widened far past any order's rounding).
constexpr size_t CHAINS = 8;

float largest_of(const float* v, size_t dim) {
    // Magnitudes compared as their bit patterns (the same order for finite values), which
    // vector lanes compare without the care that float maxima need.
    uint32_t top[CHAINS] = {};
    size_t j = 0;
    for (; j + CHAINS <= dim; j += CHAINS) {
        for (size_t c = 0; c < CHAINS; ++c) top[c] = std::max(top[c], std::bit_cast<uint32_t>(v[j + c]) & 0x7FFFFFFFu);
    }
    for (; j < dim; ++j) top[0] = std::max(top[0], std::bit_cast<uint32_t>(v[j]) & 0x7FFFFFFFu);
    uint32_t largest = 0;
    for (uint32_t t : top) largest = std::max(largest, t);
    return std::bit_cast<float>(largest);
}

double squared_norm_of(const float* v, size_t dim) {
    double sum[CHAINS] = {};
    size_t j = 0;
    for (; j + CHAINS <= dim; j += CHAINS) {
        for (size_t c = 0; c < CHAINS; ++c) sum[c] += static_cast<double>(v[j + c]) * v[j + c];
    }
    for (; j < dim; ++j) sum[0] += static_cast<double>(v[j]) * v[j];
    double total = 0.0;
    for (double part : sum) total += part;
    return total;
}

// v ~ scale * V with V integers within +-CENTROID_LEVELS (scale >= largest_of(v) /
// CENTROID_LEVELS, > 0): V into out, and |v - scale V| and scale |V|, both rounded up.
struct Integers {
    double error = 0.0, norm = 0.0;
};
Integers integers_at(const float* v, size_t dim, double scale, int16_t* out) {
    // Any integers would do (the bounds use the ones chosen): |v_j / scale| rounded to
    // nearest by adding and taking off 1.5 * 2^23 (at most CENTROID_LEVELS plus a
    // rounding, so no clamp), in vector lanes.
    const float inverse = static_cast<float>(1.0 / scale), round = 0x1.8p23f;
    if (!std::isfinite(inverse)) {
        // Values too small for their inverse scale in float32: all zero, the error v itself.
        std::fill_n(out, dim, int16_t{0});
        return {widen(std::sqrt(widen(squared_norm_of(v, dim)))), 0.0};
    }
    double error[CHAINS] = {}, square[CHAINS] = {};
    size_t j = 0;
    for (; j + CHAINS <= dim; j += CHAINS) {
        for (size_t c = 0; c < CHAINS; ++c) {
            const float q = (v[j + c] * inverse + round) - round;
            out[j + c] = static_cast<int16_t>(q);
            const double e = static_cast<double>(v[j + c]) - scale * static_cast<double>(q);
            error[c] += e * e;
            square[c] += static_cast<double>(q) * q;
        }
    }
    for (; j < dim; ++j) {
        const float q = (v[j] * inverse + round) - round;
        out[j] = static_cast<int16_t>(q);
        const double e = static_cast<double>(v[j]) - scale * static_cast<double>(q);
        error[0] += e * e;
        square[0] += static_cast<double>(q) * q;
    }
    double e2 = 0.0, q2 = 0.0;
    for (size_t c = 0; c < CHAINS; ++c) {
        e2 += error[c];
        q2 += square[c];
    }
    return {widen(std::sqrt(widen(e2))), widen(scale * widen(std::sqrt(q2)))};
}


// Higher key first, lower list number among equals, NaN last.
bool probes_before(double a, uint32_t la, double b, uint32_t lb) {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    if (a != b) return a > b;
    return la < lb;
}

}  // namespace

// What bounded_products needs per chunk of rows.
struct CoarseQuantizer::ProductScratch {
    std::vector<int16_t> values;
    std::vector<Integers> row;
    std::vector<double> scale, norms, upper, lower;
    std::vector<int64_t> integer;
    std::vector<std::vector<size_t>> needing;
    std::vector<uint8_t> needed;
    std::vector<float> products, gathered, block_products;
};

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
    key_shift_ = nearest_ ? half_norms_ : std::vector<double>(lists_, 0.0);
    for (size_t l = 0; l < lists_; ++l) {
        const size_t b = l / L, lane = l % L;
        for (size_t j = 0; j < dim_; ++j) lanes_[(b * dim_ + j) * L + lane] = centroids_[l * dim_ + j];
    }
    // One scale for every centroid, so that a row's integer products compare directly.
    const size_t pairs = (dim_ + 1) / 2;
    integer_lanes_.assign(blocks * pairs * L * 2, 0);
    // Centroids that are not all finite (an unverified file's) take the rule itself.
    bounded_ = std::all_of(centroids_.begin(), centroids_.end(), [](float v) { return std::isfinite(v); });
    float largest = 0.0f;
    for (size_t l = 0; bounded_ && l < lists_; ++l) largest = std::max(largest, largest_of(centroid(l), dim_));
    integer_scale_ = largest > 0.0f ? static_cast<double>(largest) / kernels::CENTROID_LEVELS : 1.0;
    largest_norm_ = largest_half_norm_ = 0.0;
    norm_up_.assign(lists_, 0.0);
    integer_error_.assign(lists_, 0.0);
    std::vector<int16_t> values(dim_);
    for (size_t l = 0; bounded_ && l < lists_; ++l) {
        integer_error_[l] = integers_at(centroid(l), dim_, integer_scale_, values.data()).error;
        norm_up_[l] = widen(std::sqrt(widen(2.0 * half_norms_[l])));
        largest_norm_ = std::max(largest_norm_, norm_up_[l]);
        largest_half_norm_ = std::max(largest_half_norm_, half_norms_[l]);
        const size_t b = l / L, lane = l % L;
        for (size_t j = 0; j < dim_; ++j) integer_lanes_[((b * pairs + j / 2) * L + lane) * 2 + j % 2] = values[j];
    }
}

kernels::CentroidBlocks CoarseQuantizer::blocks() const {
    return {lanes_.data(), dim_, lanes_.size() / (dim_ * kernels::CENTROID_LANES)};
}

uint32_t CoarseQuantizer::best_of(const float* products, const uint8_t* blocks) const {
    // The highest key, the lowest list among equals; NaN never wins.
    constexpr size_t L = kernels::CENTROID_LANES;
    double best = -std::numeric_limits<double>::infinity();
    uint32_t chosen = 0;
    for (size_t b = 0; b * L < lists_; ++b) {
        if (blocks != nullptr && !blocks[b]) continue;
        for (size_t l = b * L; l < std::min(lists_, (b + 1) * L); ++l) {
            const double k = key(l, products[l]);
            if (k > best) {
                best = k;
                chosen = static_cast<uint32_t>(l);
            }
        }
    }
    return chosen;
}

void CoarseQuantizer::assign_exactly(const float* rows, size_t n, unsigned threads, uint32_t* out) const {
    const kernels::CentroidBlocks c = blocks();
    const size_t width = c.blocks * kernels::CENTROID_LANES;
    parallel::for_chunks(n, ASSIGN_ROWS_PER_CHUNK, threads, [&](size_t begin, size_t end) {
        std::vector<float> dots((end - begin) * width);
        kernels::centroid_dots(c, rows + begin * dim_, end - begin, dots.data());
        for (size_t i = begin; i < end; ++i) out[i] = best_of(dots.data() + (i - begin) * width);
    });
}

void CoarseQuantizer::assign(const float* rows, size_t n, unsigned threads, uint32_t* out) const {
    // Scratch for the call, one per thread at a time, reused from chunk to chunk (fresh pages
    // for every chunk cost more than the products) and gone with the call.
    std::mutex lock;
    std::vector<std::unique_ptr<ProductScratch>> idle;
    parallel::for_chunks(n, BOUNDED_ROWS_PER_CHUNK, threads, [&](size_t begin, size_t end) {
        std::unique_ptr<ProductScratch> scratch;
        {
            std::lock_guard hold(lock);
            if (!idle.empty()) {
                scratch = std::move(idle.back());
                idle.pop_back();
            }
        }
        if (!scratch) scratch = std::make_unique<ProductScratch>();
        assign_chunk(rows + begin * dim_, end - begin, out + begin, *scratch);
        std::lock_guard hold(lock);
        idle.push_back(std::move(scratch));
    });
}

void CoarseQuantizer::bounded_products(const float* rows, size_t n, size_t wanted, ProductScratch& s) const {
    constexpr size_t L = kernels::CENTROID_LANES;
    const size_t pairs = (dim_ + 1) / 2, blocks = (lists_ + L - 1) / L, width = blocks * L;
    s.values.assign(n * 2 * pairs, 0);
    s.row.resize(n);
    s.scale.resize(n);
    s.norms.resize(n);
    for (size_t i = 0; i < n; ++i) {
        const float* x = rows + i * dim_;
        const float largest = largest_of(x, dim_);
        s.scale[i] = largest > 0.0f ? static_cast<double>(largest) / kernels::CENTROID_LEVELS : 0.0;
        s.row[i] = largest > 0.0f ? integers_at(x, dim_, s.scale[i], s.values.data() + i * 2 * pairs) : Integers{};
        s.norms[i] = widen(std::sqrt(widen(squared_norm_of(x, dim_))));
    }
    s.integer.resize(n * width);
    kernels::centroid_integer_dots({integer_lanes_.data(), pairs, blocks}, s.values.data(), n, s.integer.data());
    // For row x and centroid c, with X and C their integers (scales sx and sc) and I = <X, C>:
    //   |<x, c> - sx sc I| <= |x - sx X| |c| + sx |X| |c - sc C|       (Cauchy-Schwarz),
    // and the float32 product differs from <x, c> by at most dim 2^-24 |x| |c| (each of its
    // roundings is relative while no value overflows or falls below the normal range; the
    // last term takes the latter). So each key lies within a margin of its centre sx sc I
    // (minus |c|^2 / 2 when nearest). At least `wanted` keys reach the wanted-th highest
    // lower bound, so a list whose upper bound is below it cannot be among the wanted
    // highest keys: only the others get their float32 products.
    const double tiny = static_cast<double>(dim_ + 2) * 0x1p-148;
    s.upper.resize(lists_);
    s.lower.resize(lists_);
    s.needing.resize(blocks);
    for (auto& who : s.needing) who.clear();
    s.needed.assign(n * blocks, 0);
    for (size_t i = 0; i < n; ++i) {
        // Products that could overflow float32 take the rule itself.
        if (!bounded_ || !(s.norms[i] * largest_norm_ <= 1e37)) {
            for (size_t b = 0; b < blocks; ++b) {
                s.needed[i * blocks + b] = 1;
                s.needing[b].push_back(i);
            }
            continue;
        }
        const double unit = s.scale[i] * integer_scale_;
        const int64_t* sums = s.integer.data() + i * width;
        const double spread = (s.row[i].error + s.norms[i] * (static_cast<double>(dim_) * 0x1p-24 * 1.01)) * (1.0 + 0x1p-20);
        const double row_norm = s.row[i].norm * (1.0 + 0x1p-20);
        const kernels::CentroidBoundTotals totals = kernels::centroid_bounds(
            {key_shift_.data(), norm_up_.data(), integer_error_.data(), lists_}, {unit, spread, row_norm, tiny}, sums,
            s.upper.data(), s.lower.data());
        double highest_lower = totals.highest_lower;
        const double widest = totals.widest;
        if (wanted > 1) {
            std::nth_element(s.lower.begin(), s.lower.begin() + static_cast<std::ptrdiff_t>(wanted - 1), s.lower.end(),
                             std::greater<double>());
            highest_lower = s.lower[wanted - 1];
        }
        // The roundings of these sums and differences, all at once.
        const double reach = highest_lower - 2.0 * (widest + largest_half_norm_) * 0x1p-40;
        for (size_t b = 0; b < blocks; ++b) {
            const double* upper = s.upper.data() + b * L;
            bool reaches = false;
            for (size_t k = 0; k < std::min(L, lists_ - b * L); ++k) reaches |= upper[k] >= reach;
            if (reaches) {
                s.needed[i * blocks + b] = 1;
                s.needing[b].push_back(i);
            }
        }
    }
    // The float32 products of each needed block, for the rows that need it together; lists
    // not computed hold NaN.
    s.products.assign(n * width, std::numeric_limits<float>::quiet_NaN());
    for (size_t b = 0; b < blocks; ++b) {
        const std::vector<size_t>& who = s.needing[b];
        if (who.empty()) continue;
        s.gathered.resize(who.size() * dim_);
        for (size_t r = 0; r < who.size(); ++r) std::copy_n(rows + who[r] * dim_, dim_, s.gathered.data() + r * dim_);
        s.block_products.resize(who.size() * L);
        kernels::centroid_dots({lanes_.data() + b * dim_ * L, dim_, 1}, s.gathered.data(), who.size(), s.block_products.data());
        for (size_t r = 0; r < who.size(); ++r) {
            std::copy_n(s.block_products.data() + r * L, L, s.products.data() + who[r] * width + b * L);
        }
    }
}

void CoarseQuantizer::assign_chunk(const float* rows, size_t n, uint32_t* out, ProductScratch& scratch) const {
    bounded_products(rows, n, 1, scratch);
    // Each row's choice among the lists computed is its choice among all.
    constexpr size_t L = kernels::CENTROID_LANES;
    const size_t blocks = (lists_ + L - 1) / L;
    for (size_t i = 0; i < n; ++i) {
        out[i] = best_of(scratch.products.data() + i * blocks * L, scratch.needed.data() + i * blocks);
    }
}

void CoarseQuantizer::probe(const float* queries, size_t n, size_t probes, uint32_t* lists, float* products) const {
    constexpr size_t L = kernels::CENTROID_LANES;
    const size_t p = std::clamp<size_t>(probes, 1, lists_), width = (lists_ + L - 1) / L * L;
    ProductScratch scratch;
    std::vector<uint32_t> order(lists_);
    std::vector<double> keys(lists_);
    for (size_t begin = 0; begin < n; begin += BOUNDED_ROWS_PER_CHUNK) {
        const size_t here = std::min(BOUNDED_ROWS_PER_CHUNK, n - begin);
        // Where the probes are a good part of the lists, most blocks would be needed anyway.
        if (p * 16 >= lists_) {
            scratch.products.resize(here * width);
            kernels::centroid_dots(blocks(), queries + begin * dim_, here, scratch.products.data());
        } else {
            bounded_products(queries + begin * dim_, here, p, scratch);
        }
        for (size_t q = 0; q < here; ++q) {
            const float* d = scratch.products.data() + q * width;
            for (size_t l = 0; l < lists_; ++l) keys[l] = key(l, d[l]);
            std::iota(order.begin(), order.end(), uint32_t{0});
            // Lists left out hold NaN keys, which come last: the first p are those of all lists.
            std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(p), order.end(),
                              [&](uint32_t a, uint32_t b) { return probes_before(keys[a], a, keys[b], b); });
            for (size_t i = 0; i < p; ++i) {
                lists[(begin + q) * p + i] = order[i];
                products[(begin + q) * p + i] = d[order[i]];
            }
        }
    }
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
    std::vector<double> row_norms(m), row_objective(m, 0.0);
    parallel::for_chunks(m, ASSIGN_ROWS_PER_CHUNK, threads, [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
            row_norms[i] = std::sqrt(squared_norm(train.data() + i * dim_, dim_));
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
        // One stretch of coordinates per thread: each reads its stretch of every row.
        const size_t stretch = (dim_ + parallel::thread_count(threads) - 1) / parallel::thread_count(threads);
        parallel::for_chunks(dim_, std::max(stretch, MIN_COORDINATES_PER_CHUNK), threads, [&](size_t from, size_t to) {
            for (size_t i = 0; i < m; ++i) {
                const float* x = train.data() + i * dim_;
                double* s = sums.data() + size_t{owner[i]} * dim_;
                for (size_t j = from; j < to; ++j) s[j] += x[j];
            }
        });
        // The objective is only reported: it is summed only for a caller that asks.
        if (step) parallel::for_chunks(m, ASSIGN_ROWS_PER_CHUNK, threads, [&](size_t begin, size_t end) {
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
