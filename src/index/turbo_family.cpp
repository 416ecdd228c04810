#include "turbo_family.hpp"

#include <algorithm>

#include "format/turbo_format.hpp"

namespace quillane {

kernels::LevelWindow TurboFamily::summarize(std::span<const uint8_t> code) const {
    const format::TurboLayout layout = quantizer_.layout();
    if (!format::is_regular_turbo_code(code, layout, quantizer_.bits())) {
        throw InvariantFailure("encoded code is not in the quantizer's regular form");
    }
    const uint32_t last = static_cast<uint32_t>(quantizer_.polar().cos_levels().size() - 1);
    kernels::LevelWindow w = empty_summary();
    for (size_t j = 0; j < layout.pairs(); ++j) {
        const uint32_t level = std::min<uint32_t>(format::angle_index(code, layout, j), last);
        w.lowest = std::min(w.lowest, level);
        w.highest = std::max(w.highest, level);
    }
    return w;
}

void TurboFamily::scan(const PreparedQuery& prepared, const kernels::LevelWindow& window,
                       const uint8_t* codes, size_t n, float* scores) const {
    const PolarQuantizer& polar = quantizer_.polar();
    const kernels::TurboScanInputs inputs{quantizer_.layout(),
                                          prepared.rotated.data(),
                                          prepared.projections.data(),
                                          polar.cos_levels().data(),
                                          polar.sin_levels().data(),
                                          static_cast<uint32_t>(polar.cos_levels().size() - 1),
                                          window};
    kernels::turbo_scan(inputs, codes, n, scores);
}

float TurboFamily::score(const PreparedQuery& prepared, std::span<const uint8_t> bytes) const {
    auto code = TurboCode::from_bytes(bytes);
    if (!code) throw InvariantFailure("a stored code does not parse");
    auto s = quantizer_.score(*code, prepared);
    if (!s) throw InvariantFailure("a stored code does not fit its quantizer");
    return *s;
}

std::vector<std::vector<Scored>> TurboFamily::top_k_many(std::span<const PreparedQuery> prepared,
                                                         const kernels::LevelWindow& window,
                                                         const uint8_t* records,
                                                         const uint64_t* ids, size_t n,
                                                         uint64_t top_k) const {
    const size_t stride = record_size();
    // About 256 KiB of codes per block: they stay in the core's own cache across queries.
    const size_t block = std::max<size_t>(8, (size_t{1} << 18) / stride);
    std::vector<float> scores(prepared.size() * n);
    for (size_t first = 0; first < n; first += block) {
        const size_t count = std::min(block, n - first);
        for (size_t q = 0; q < prepared.size(); ++q) {
            scan(prepared[q], window, records + first * stride, count, scores.data() + q * n + first);
        }
    }
    std::vector<std::vector<Scored>> found;
    found.reserve(prepared.size());
    for (size_t q = 0; q < prepared.size(); ++q) {
        found.push_back(top_k_of(scores.data() + q * n, ids, n, top_k));
    }
    return found;
}

}  // namespace quillane
