// The two-stage scan as plain loops: the portable path, and the tails of the others.
#include <algorithm>

#include "dispatch.hpp"
#include "estimate.hpp"
#include "format/bytes.hpp"
#include "implementations.hpp"
#include "turbo_scan.hpp"

namespace quillane::kernels {

void turbo_scan(const TurboScanInputs& in, const TurboScanQuery* queries, size_t count,
                const uint8_t* codes, size_t n) {
    active().turbo_scan(in, queries, count, codes, n);
}

namespace portable {

namespace {

float score_one(const TurboScanInputs& in, const TurboScanQuery& query, const uint8_t* code) {
    const format::TurboLayout& l = in.layout;
    float t = -0.0f;
    for (size_t j = 0; j < l.pairs(); ++j) {
        const uint32_t level = std::min<uint32_t>(bytes::load_u16(code + l.index(j)), in.last_level);
        const float r = bytes::load_f32(code + l.radius(j));
        const float y0 = in.cos_levels[level] * r;
        const float y1 = r * in.sin_levels[level];
        t = t + y0 * query.rotated[2 * j];
        t = t + y1 * query.rotated[2 * j + 1];
    }
    float acc = 0.0f;
    for (size_t j = 0; j < l.projections(); ++j) {
        const bool set = (code[l.signs() + j / 8] >> (j % 8)) & 1u;
        acc = acc + (set ? query.projections[j] : -query.projections[j]);
    }
    return turbo_estimate(t, bytes::load_f32(code + l.norm()), acc, l.projections());
}

}  // namespace

void turbo_scan(const TurboScanInputs& in, const TurboScanQuery* queries, size_t count,
                const uint8_t* codes, size_t n) {
    const size_t stride = in.layout.size();
    for (size_t q = 0; q < count; ++q) {
        for (size_t i = 0; i < n; ++i) queries[q].scores[i] = score_one(in, queries[q], codes + i * stride);
    }
}

}  // namespace portable

}  // namespace quillane::kernels
