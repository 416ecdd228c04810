// The many-query first pass's multiply with AMX tiles (AMX-TILE, AMX-INT8): tdpbusd
// multiplies 16 records' unsigned level bytes by 16 queries' signed values over 64
// coordinates at once, four products per int32 lane as dpbusd sums them, so every sum is
// the same integer as on the other paths. Blocks of 32 records by 32 queries: two record
// tiles, two query tiles, four tiles of sums. The expansion of records is AVX-512's.
#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "compact_each_avx512.hpp"
#include "compact_scan.hpp"
#include "implementations.hpp"

#define QL_AMX __attribute__((target("amx-tile,amx-int8,avx512f,avx512bw")))

namespace quillane::kernels::amx {

namespace {

// Every tile 16 rows of 64 bytes.
struct alignas(64) TileConfig {
    uint8_t palette = 1;
    uint8_t start_row = 0;
    uint8_t reserved[14] = {};
    uint16_t bytes_per_row[16] = {64, 64, 64, 64, 64, 64, 64, 64};
    uint8_t rows[16] = {16, 16, 16, 16, 16, 16, 16, 16};
};

// Rows of 16 int32 transposed in place: four rounds, round d swapping bit d between the
// row and the column of every element.
QL_AMX void transpose16(__m512i* rows) {
    for (int d = 8; d >= 1; d /= 2) {
        alignas(64) int32_t low_index[16], high_index[16];
        for (int c = 0; c < 16; ++c) {
            low_index[c] = (c & d) == 0 ? c : 16 + c - d;
            high_index[c] = (c & d) == 0 ? c + d : 16 + c;
        }
        const __m512i low = _mm512_load_si512(low_index), high = _mm512_load_si512(high_index);
        for (int i = 0; i < 16; ++i) {
            if ((i & d) != 0) continue;
            const __m512i a = rows[i], b = rows[i + d];
            rows[i] = _mm512_permutex2var_epi32(a, low, b);
            rows[i + d] = _mm512_permutex2var_epi32(a, high, b);
        }
    }
}

class AmxTiles final : public avx512::TileMultiplier {
public:
    QL_AMX ~AmxTiles() override {
        if (configured_) _tile_release();
    }
    size_t records_per_tile() const override { return 32; }

    // The queries in the tiles' layout: group g (queries 16 g .. 16 g + 15, an even number
    // of groups, zeros past count), step s is 16 rows of 64 bytes, row t holding the four
    // values 64 s + 4 t .. + 3 of each query of the group in turn: the transpose of the
    // group's rows taken as 16 int32 each.
    QL_AMX void prepare(const int8_t* const* queries, size_t count, size_t row_steps) override {
        count_ = count;
        steps_ = row_steps;
        groups_ = (count + 31) / 32 * 2;
        laid_.assign(groups_ * steps_ * 1024, 0);
        for (size_t g = 0; g < groups_; ++g) {
            for (size_t s = 0; s < steps_; ++s) {
                __m512i rows[16];
                for (size_t q = 0; q < 16; ++q) {
                    const size_t query = 16 * g + q;
                    rows[q] = query < count ? _mm512_loadu_si512(queries[query] + 64 * s) : _mm512_setzero_si512();
                }
                transpose16(rows);
                for (size_t t = 0; t < 16; ++t) _mm512_storeu_si512(laid_.data() + (g * steps_ + s) * 1024 + 64 * t, rows[t]);
            }
        }
        // A constant in memory: GCC 12 does not see that ldtilecfg reads all 64 bytes, and
        // dropped the stores of a local one.
        static constexpr TileConfig config{};
        _tile_loadconfig(&config);
        configured_ = true;
    }

    QL_AMX void multiply(const uint8_t* tile, size_t row_steps, size_t here, const int32_t* offsets, int32_t* out,
                         size_t n) override {
        const size_t stride = 64 * row_steps;
        alignas(64) int32_t sums[4][16 * 16];
        for (size_t g = 0; g < groups_; g += 2) {
            _tile_zero(0);
            _tile_zero(1);
            _tile_zero(2);
            _tile_zero(3);
            const int8_t* first = laid_.data() + g * steps_ * 1024;
            const int8_t* second = first + steps_ * 1024;
            for (size_t s = 0; s < steps_; ++s) {
                _tile_loadd(4, tile + 64 * s, stride);
                _tile_loadd(5, tile + 16 * stride + 64 * s, stride);
                _tile_loadd(6, first + 1024 * s, 64);
                _tile_loadd(7, second + 1024 * s, 64);
                _tile_dpbusd(0, 4, 6);
                _tile_dpbusd(1, 4, 7);
                _tile_dpbusd(2, 5, 6);
                _tile_dpbusd(3, 5, 7);
            }
            _tile_stored(0, sums[0], 64);
            _tile_stored(1, sums[1], 64);
            _tile_stored(2, sums[2], 64);
            _tile_stored(3, sums[3], 64);
            // Tile 2 h + k holds records 16 h .. 16 h + 15 by queries of group g + k.
            for (size_t h = 0; h < 2; ++h) {
                for (size_t k = 0; k < 2; ++k) {
                    for (size_t q = 0; q < 16; ++q) {
                        const size_t query = 16 * (g + k) + q;
                        if (query >= count_) break;
                        for (size_t r = 16 * h; r < std::min(here, 16 * h + 16); ++r) {
                            out[query * n + r] = sums[2 * h + k][(r - 16 * h) * 16 + q] - offsets[query];
                        }
                    }
                }
            }
        }
    }

private:
    std::vector<int8_t> laid_;
    size_t count_ = 0, steps_ = 0, groups_ = 0;
    bool configured_ = false;
};

}  // namespace

void compact_approx_scan_each(const CompactApproxInputs& in, const int8_t* const* queries, size_t count,
                              const uint8_t* records, size_t n, int32_t* out) {
    AmxTiles tiles;
    avx512::scan_each_with(in, queries, count, records, n, out, tiles);
}

}  // namespace quillane::kernels::amx
