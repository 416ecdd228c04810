// The centroid products on each instruction set: rows several at a time against one block
// of 16 centroids, each lane a centroid; the same products and sums in the same order.
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "dispatch.hpp"
#include "implementations.hpp"
#include "centroid_dots.hpp"

// GCC 12's AVX-512 headers start some intrinsics from an undefined register, which its
// uninitialised-value warnings report at every use.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace quillane::kernels {

void centroid_dots(const CentroidBlocks& c, const float* rows, size_t n, float* out) {
    active().centroid_dots(c, rows, n, out);
}

void centroid_integer_dots(const CentroidIntegerBlocks& c, const int16_t* rows, size_t n, int64_t* out) {
    active().centroid_integer_dots(c, rows, n, out);
}

CentroidBoundTotals centroid_bounds(const CentroidBoundLists& lists, const CentroidBoundRow& row, const int64_t* sums,
                                    double* upper, double* lower) {
    return active().centroid_bounds(lists, row, sums, upper, lower);
}

namespace {

constexpr size_t L = CENTROID_LANES;
constexpr size_t GROUP = 8;  // rows sharing each load of the centroids

using DotsFn = void (*)(const CentroidBlocks& c, const float* const* x, float* out, size_t width);

// Groups of 8 rows, then of 4, 2 and 1 (each row's products are the same in any group;
// several rows keep several sums in flight).
void in_groups(const CentroidBlocks& c, const float* rows, size_t n, float* out, const DotsFn (&groups)[4]) {
    const size_t width = c.blocks * L;
    size_t i = 0;
    for (size_t g = 0, size = GROUP; g < 4; ++g, size /= 2) {
        for (; i + size <= n; i += size) {
            const float* x[GROUP];
            for (size_t r = 0; r < size; ++r) x[r] = rows + (i + r) * c.dim;
            groups[g](c, x, out + i * width, width);
        }
    }
}

using IntegerDotsFn = void (*)(const CentroidIntegerBlocks& c, const int16_t* const* x, int64_t* out, size_t width);

// The integer products the same way: groups of rows, then the rest one at a time.
template <size_t ROWS>
void integer_groups(const CentroidIntegerBlocks& c, const int16_t* rows, size_t n, int64_t* out, IntegerDotsFn group,
                    IntegerDotsFn one) {
    const size_t width = c.blocks * L, stride = 2 * c.pairs;
    size_t i = 0;
    for (; i + ROWS <= n; i += ROWS) {
        const int16_t* x[ROWS];
        for (size_t r = 0; r < ROWS; ++r) x[r] = rows + (i + r) * stride;
        group(c, x, out + i * width, width);
    }
    for (; i < n; ++i) {
        const int16_t* x = rows + i * stride;
        one(c, &x, out + i * width, width);
    }
}

// The bounds of lists [from, n) one at a time: the portable path, and every vector path's tail.
CentroidBoundTotals bounds_from(const CentroidBoundLists& c, const CentroidBoundRow& r, const int64_t* sums, double* upper,
                                double* lower, size_t from, CentroidBoundTotals t) {
    for (size_t l = from; l < c.n; ++l) {
        const double centre = r.unit * static_cast<double>(sums[l]) - c.shift[l];
        const double margin = (r.spread * c.norm[l] + r.scaled * c.error[l]) + r.tiny;
        upper[l] = centre + margin;
        lower[l] = centre - margin;
        t.highest_lower = std::max(t.highest_lower, lower[l]);
        t.widest = std::max(t.widest, std::fabs(centre) + margin);
    }
    return t;
}

constexpr CentroidBoundTotals NO_BOUNDS = {-std::numeric_limits<double>::infinity(), 0.0};

// A row's two values at pair p as one 32-bit word, to broadcast.
inline int32_t pair_of(const int16_t* x, size_t p) {
    int32_t word;
    std::memcpy(&word, x + 2 * p, sizeof word);
    return word;
}

}  // namespace

namespace portable {
void centroid_dots(const CentroidBlocks& c, const float* rows, size_t n, float* out) {
    const size_t width = c.blocks * L;
    for (size_t i = 0; i < n; ++i) {
        const float* x = rows + i * c.dim;
        for (size_t b = 0; b < c.blocks; ++b) {
            float acc[L] = {};
            const float* block = c.lanes + b * c.dim * L;
            for (size_t j = 0; j < c.dim; ++j) {
                for (size_t l = 0; l < L; ++l) acc[l] = acc[l] + x[j] * block[j * L + l];
            }
            for (size_t l = 0; l < L; ++l) out[i * width + b * L + l] = acc[l];
        }
    }
}

CentroidBoundTotals centroid_bounds(const CentroidBoundLists& c, const CentroidBoundRow& r, const int64_t* sums,
                                    double* upper, double* lower) {
    return bounds_from(c, r, sums, upper, lower, 0, NO_BOUNDS);
}

void centroid_integer_dots(const CentroidIntegerBlocks& c, const int16_t* rows, size_t n, int64_t* out) {
    const size_t width = c.blocks * L;
    for (size_t i = 0; i < n; ++i) {
        const int16_t* x = rows + i * 2 * c.pairs;
        for (size_t b = 0; b < c.blocks; ++b) {
            int64_t acc[L] = {};
            const int16_t* block = c.lanes + b * c.pairs * L * 2;
            for (size_t p = 0; p < c.pairs; ++p) {
                for (size_t l = 0; l < L; ++l) {
                    acc[l] += int64_t{x[2 * p]} * block[(p * L + l) * 2] + int64_t{x[2 * p + 1]} * block[(p * L + l) * 2 + 1];
                }
            }
            for (size_t l = 0; l < L; ++l) out[i * width + b * L + l] = acc[l];
        }
    }
}
}  // namespace portable

namespace avx2 {
template <size_t ROWS>
__attribute__((target("avx2"))) void dots_of(const CentroidBlocks& c, const float* const* x, float* out, size_t width) {
    for (size_t b = 0; b < c.blocks; ++b) {
        const float* block = c.lanes + b * c.dim * L;
        __m256 lo[ROWS], hi[ROWS];
        for (size_t r = 0; r < ROWS; ++r) lo[r] = hi[r] = _mm256_setzero_ps();
        for (size_t j = 0; j < c.dim; ++j) {
            const __m256 c0 = _mm256_loadu_ps(block + j * L), c1 = _mm256_loadu_ps(block + j * L + 8);
            for (size_t r = 0; r < ROWS; ++r) {
                const __m256 v = _mm256_broadcast_ss(x[r] + j);
                lo[r] = _mm256_add_ps(lo[r], _mm256_mul_ps(v, c0));
                hi[r] = _mm256_add_ps(hi[r], _mm256_mul_ps(v, c1));
            }
        }
        for (size_t r = 0; r < ROWS; ++r) {
            _mm256_storeu_ps(out + r * width + b * L, lo[r]);
            _mm256_storeu_ps(out + r * width + b * L + 8, hi[r]);
        }
    }
}

// One row against BLOCKS blocks at a time: as many sums in flight as dots_of<8> keeps,
// each lane's the same.
template <size_t BLOCKS>
__attribute__((target("avx2"))) void across_blocks(const CentroidBlocks& c, const float* x, size_t first, float* out) {
    __m256 lo[BLOCKS], hi[BLOCKS];
    for (size_t k = 0; k < BLOCKS; ++k) lo[k] = hi[k] = _mm256_setzero_ps();
    for (size_t j = 0; j < c.dim; ++j) {
        const __m256 v = _mm256_broadcast_ss(x + j);
        for (size_t k = 0; k < BLOCKS; ++k) {
            const float* at = c.lanes + ((first + k) * c.dim + j) * L;
            lo[k] = _mm256_add_ps(lo[k], _mm256_mul_ps(v, _mm256_loadu_ps(at)));
            hi[k] = _mm256_add_ps(hi[k], _mm256_mul_ps(v, _mm256_loadu_ps(at + 8)));
        }
    }
    for (size_t k = 0; k < BLOCKS; ++k) {
        _mm256_storeu_ps(out + (first + k) * L, lo[k]);
        _mm256_storeu_ps(out + (first + k) * L + 8, hi[k]);
    }
}

// ROWS rows, each alone across the blocks.
template <size_t ROWS>
__attribute__((target("avx2"))) void rows_across(const CentroidBlocks& c, const float* const* x, float* out, size_t width) {
    for (size_t r = 0; r < ROWS; ++r) {
        size_t b = 0;
        for (; b + 4 <= c.blocks; b += 4) across_blocks<4>(c, x[r], b, out + r * width);
        for (; b < c.blocks; ++b) across_blocks<1>(c, x[r], b, out + r * width);
    }
}

__attribute__((target("avx2"))) void centroid_dots(const CentroidBlocks& c, const float* rows, size_t n, float* out) {
    in_groups(c, rows, n, out, {dots_of<8>, dots_of<4>, rows_across<2>, rows_across<1>});
}

// Lanes 0-7 and 8-15 of a block in two registers; each pair's two products summed by madd.
template <size_t ROWS>
__attribute__((target("avx2"))) void integer_dots_of(const CentroidIntegerBlocks& c, const int16_t* const* x, int64_t* out,
                                                     size_t width) {
    for (size_t b = 0; b < c.blocks; ++b) {
        const int16_t* block = c.lanes + b * c.pairs * L * 2;
        for (size_t from = 0; from < c.pairs; from += CENTROID_PAIRS_PER_FLUSH) {
            const size_t to = std::min(c.pairs, from + CENTROID_PAIRS_PER_FLUSH);
            __m256i lo[ROWS], hi[ROWS];
            for (size_t r = 0; r < ROWS; ++r) lo[r] = hi[r] = _mm256_setzero_si256();
            for (size_t p = from; p < to; ++p) {
                const __m256i c0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + p * L * 2));
                const __m256i c1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + p * L * 2 + 16));
                for (size_t r = 0; r < ROWS; ++r) {
                    const __m256i v = _mm256_set1_epi32(pair_of(x[r], p));
                    lo[r] = _mm256_add_epi32(lo[r], _mm256_madd_epi16(v, c0));
                    hi[r] = _mm256_add_epi32(hi[r], _mm256_madd_epi16(v, c1));
                }
            }
            for (size_t r = 0; r < ROWS; ++r) {
                int64_t* o = out + r * width + b * L;
                const __m256i parts[4] = {_mm256_cvtepi32_epi64(_mm256_castsi256_si128(lo[r])),
                                          _mm256_cvtepi32_epi64(_mm256_extracti128_si256(lo[r], 1)),
                                          _mm256_cvtepi32_epi64(_mm256_castsi256_si128(hi[r])),
                                          _mm256_cvtepi32_epi64(_mm256_extracti128_si256(hi[r], 1))};
                for (size_t q = 0; q < 4; ++q) {
                    auto* at = reinterpret_cast<__m256i*>(o + 4 * q);
                    _mm256_storeu_si256(at, from == 0 ? parts[q] : _mm256_add_epi64(_mm256_loadu_si256(at), parts[q]));
                }
            }
        }
    }
}

__attribute__((target("avx2"))) void centroid_integer_dots(const CentroidIntegerBlocks& c, const int16_t* rows, size_t n,
                                                           int64_t* out) {
    integer_groups<4>(c, rows, n, out, integer_dots_of<4>, integer_dots_of<1>);
}

// Four lists at a time; the integers (below 2^51 in magnitude) become doubles exactly by
// adding 1.5 * 2^52 to their bits and taking it off as a double.
__attribute__((target("avx2"))) CentroidBoundTotals centroid_bounds(const CentroidBoundLists& c, const CentroidBoundRow& r,
                                                                    const int64_t* sums, double* upper, double* lower) {
    const __m256d unit = _mm256_set1_pd(r.unit), spread = _mm256_set1_pd(r.spread), scaled = _mm256_set1_pd(r.scaled),
                  tiny = _mm256_set1_pd(r.tiny), magic = _mm256_set1_pd(0x1.8p52), sign = _mm256_set1_pd(-0.0);
    const __m256i magic_bits = _mm256_castpd_si256(magic);
    __m256d highest = _mm256_set1_pd(-std::numeric_limits<double>::infinity()), widest = _mm256_setzero_pd();
    size_t l = 0;
    for (; l + 4 <= c.n; l += 4) {
        const __m256i integer = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sums + l));
        const __m256d value = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_add_epi64(integer, magic_bits)), magic);
        const __m256d centre = _mm256_sub_pd(_mm256_mul_pd(unit, value), _mm256_loadu_pd(c.shift + l));
        const __m256d margin = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(spread, _mm256_loadu_pd(c.norm + l)),
                                                           _mm256_mul_pd(scaled, _mm256_loadu_pd(c.error + l))),
                                             tiny);
        const __m256d low = _mm256_sub_pd(centre, margin);
        _mm256_storeu_pd(upper + l, _mm256_add_pd(centre, margin));
        _mm256_storeu_pd(lower + l, low);
        highest = _mm256_max_pd(highest, low);
        widest = _mm256_max_pd(widest, _mm256_add_pd(_mm256_andnot_pd(sign, centre), margin));
    }
    alignas(32) double h[4], w[4];
    _mm256_store_pd(h, highest);
    _mm256_store_pd(w, widest);
    CentroidBoundTotals t = NO_BOUNDS;
    for (size_t k = 0; k < 4; ++k) {
        t.highest_lower = std::max(t.highest_lower, h[k]);
        t.widest = std::max(t.widest, w[k]);
    }
    return bounds_from(c, r, sums, upper, lower, l, t);
}
}  // namespace avx2

namespace avx512 {
template <size_t ROWS>
__attribute__((target("avx512f"))) void dots_of(const CentroidBlocks& c, const float* const* x, float* out, size_t width) {
    for (size_t b = 0; b < c.blocks; ++b) {
        const float* block = c.lanes + b * c.dim * L;
        __m512 acc[ROWS];
        for (size_t r = 0; r < ROWS; ++r) acc[r] = _mm512_setzero_ps();
        for (size_t j = 0; j < c.dim; ++j) {
            const __m512 cj = _mm512_loadu_ps(block + j * L);
            for (size_t r = 0; r < ROWS; ++r) acc[r] = _mm512_add_ps(acc[r], _mm512_mul_ps(_mm512_set1_ps(x[r][j]), cj));
        }
        for (size_t r = 0; r < ROWS; ++r) _mm512_storeu_ps(out + r * width + b * L, acc[r]);
    }
}

// One row against BLOCKS blocks at a time: as many sums in flight as dots_of<8> keeps,
// each lane's the same.
template <size_t BLOCKS>
__attribute__((target("avx512f"))) void across_blocks(const CentroidBlocks& c, const float* x, size_t first, float* out) {
    __m512 acc[BLOCKS];
    for (size_t k = 0; k < BLOCKS; ++k) acc[k] = _mm512_setzero_ps();
    for (size_t j = 0; j < c.dim; ++j) {
        const __m512 v = _mm512_set1_ps(x[j]);
        for (size_t k = 0; k < BLOCKS; ++k) {
            acc[k] = _mm512_add_ps(acc[k], _mm512_mul_ps(v, _mm512_loadu_ps(c.lanes + ((first + k) * c.dim + j) * L)));
        }
    }
    for (size_t k = 0; k < BLOCKS; ++k) _mm512_storeu_ps(out + (first + k) * L, acc[k]);
}

// ROWS rows, each alone across the blocks.
template <size_t ROWS>
__attribute__((target("avx512f"))) void rows_across(const CentroidBlocks& c, const float* const* x, float* out, size_t width) {
    for (size_t r = 0; r < ROWS; ++r) {
        size_t b = 0;
        for (; b + 8 <= c.blocks; b += 8) across_blocks<8>(c, x[r], b, out + r * width);
        for (; b < c.blocks; ++b) across_blocks<1>(c, x[r], b, out + r * width);
    }
}

__attribute__((target("avx512f"))) void centroid_dots(const CentroidBlocks& c, const float* rows, size_t n, float* out) {
    in_groups(c, rows, n, out, {dots_of<8>, dots_of<4>, rows_across<2>, rows_across<1>});
}

// A block's 16 lanes in one register; dpwssd sums each pair's two products into its lane.
template <size_t ROWS>
__attribute__((target("avx512f,avx512vnni"))) void integer_dots_of(const CentroidIntegerBlocks& c, const int16_t* const* x,
                                                                    int64_t* out, size_t width) {
    for (size_t b = 0; b < c.blocks; ++b) {
        const int16_t* block = c.lanes + b * c.pairs * L * 2;
        for (size_t from = 0; from < c.pairs; from += CENTROID_PAIRS_PER_FLUSH) {
            const size_t to = std::min(c.pairs, from + CENTROID_PAIRS_PER_FLUSH);
            __m512i acc[ROWS];
            for (size_t r = 0; r < ROWS; ++r) acc[r] = _mm512_setzero_si512();
            for (size_t p = from; p < to; ++p) {
                const __m512i cp = _mm512_loadu_si512(block + p * L * 2);
                for (size_t r = 0; r < ROWS; ++r) acc[r] = _mm512_dpwssd_epi32(acc[r], _mm512_set1_epi32(pair_of(x[r], p)), cp);
            }
            for (size_t r = 0; r < ROWS; ++r) {
                int64_t* o = out + r * width + b * L;
                const __m512i parts[2] = {_mm512_cvtepi32_epi64(_mm512_castsi512_si256(acc[r])),
                                          _mm512_cvtepi32_epi64(_mm512_extracti64x4_epi64(acc[r], 1))};
                for (size_t q = 0; q < 2; ++q) {
                    _mm512_storeu_si512(o + 8 * q, from == 0 ? parts[q] : _mm512_add_epi64(_mm512_loadu_si512(o + 8 * q), parts[q]));
                }
            }
        }
    }
}

// One row against BLOCKS blocks at a time (as many sums in flight as a group of rows).
template <size_t BLOCKS>
__attribute__((target("avx512f,avx512vnni"))) void integer_across(const CentroidIntegerBlocks& c, const int16_t* x,
                                                                   size_t first, int64_t* out) {
    for (size_t from = 0; from < c.pairs; from += CENTROID_PAIRS_PER_FLUSH) {
        const size_t to = std::min(c.pairs, from + CENTROID_PAIRS_PER_FLUSH);
        __m512i acc[BLOCKS];
        for (size_t k = 0; k < BLOCKS; ++k) acc[k] = _mm512_setzero_si512();
        for (size_t p = from; p < to; ++p) {
            const __m512i v = _mm512_set1_epi32(pair_of(x, p));
            for (size_t k = 0; k < BLOCKS; ++k) {
                acc[k] = _mm512_dpwssd_epi32(acc[k], v, _mm512_loadu_si512(c.lanes + ((first + k) * c.pairs + p) * L * 2));
            }
        }
        for (size_t k = 0; k < BLOCKS; ++k) {
            int64_t* o = out + (first + k) * L;
            const __m512i parts[2] = {_mm512_cvtepi32_epi64(_mm512_castsi512_si256(acc[k])),
                                      _mm512_cvtepi32_epi64(_mm512_extracti64x4_epi64(acc[k], 1))};
            for (size_t q = 0; q < 2; ++q) {
                _mm512_storeu_si512(o + 8 * q, from == 0 ? parts[q] : _mm512_add_epi64(_mm512_loadu_si512(o + 8 * q), parts[q]));
            }
        }
    }
}

__attribute__((target("avx512f,avx512vnni"))) void integer_one_row(const CentroidIntegerBlocks& c, const int16_t* const* x,
                                                                    int64_t* out, size_t) {
    size_t b = 0;
    for (; b + 8 <= c.blocks; b += 8) integer_across<8>(c, x[0], b, out);
    for (; b < c.blocks; ++b) integer_across<1>(c, x[0], b, out);
}

__attribute__((target("avx512f,avx512vnni"))) void centroid_integer_dots(const CentroidIntegerBlocks& c, const int16_t* rows,
                                                                         size_t n, int64_t* out) {
    integer_groups<GROUP>(c, rows, n, out, integer_dots_of<GROUP>, integer_one_row);
}

// Eight lists at a time.
__attribute__((target("avx512f,avx512dq"))) CentroidBoundTotals centroid_bounds(const CentroidBoundLists& c,
                                                                                const CentroidBoundRow& r,
                                                                                const int64_t* sums, double* upper,
                                                                                double* lower) {
    const __m512d unit = _mm512_set1_pd(r.unit), spread = _mm512_set1_pd(r.spread), scaled = _mm512_set1_pd(r.scaled),
                  tiny = _mm512_set1_pd(r.tiny);
    __m512d highest = _mm512_set1_pd(-std::numeric_limits<double>::infinity()), widest = _mm512_setzero_pd();
    size_t l = 0;
    for (; l + 8 <= c.n; l += 8) {
        const __m512d value = _mm512_cvtepi64_pd(_mm512_loadu_si512(sums + l));
        const __m512d centre = _mm512_sub_pd(_mm512_mul_pd(unit, value), _mm512_loadu_pd(c.shift + l));
        const __m512d margin = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(spread, _mm512_loadu_pd(c.norm + l)),
                                                           _mm512_mul_pd(scaled, _mm512_loadu_pd(c.error + l))),
                                             tiny);
        const __m512d low = _mm512_sub_pd(centre, margin);
        _mm512_storeu_pd(upper + l, _mm512_add_pd(centre, margin));
        _mm512_storeu_pd(lower + l, low);
        highest = _mm512_max_pd(highest, low);
        widest = _mm512_max_pd(widest, _mm512_add_pd(_mm512_abs_pd(centre), margin));
    }
    const CentroidBoundTotals t = {_mm512_reduce_max_pd(highest), _mm512_reduce_max_pd(widest)};
    return bounds_from(c, r, sums, upper, lower, l, t);
}
}  // namespace avx512

}  // namespace quillane::kernels
