#include "turbo_family.hpp"

#include <algorithm>

#include "format/turbo_format.hpp"

namespace quillane {

kernels::LevelWindow TurboFamily::summarize(std::span<const uint8_t> code) const {
    auto summary = check_record(code);
    if (!summary) throw InvariantFailure("encoded code is not in the quantizer's regular form");
    return *summary;
}

Result<kernels::LevelWindow> TurboFamily::check_record(std::span<const uint8_t> code) const {
    const format::TurboLayout layout = quantizer_.layout();
    if (!format::is_regular_turbo_code(code, layout, quantizer_.bits())) {
        return deserialization_failed("not a code in the quantizer's regular form");
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

kernels::TurboScanInputs TurboFamily::scan_inputs(const kernels::LevelWindow& window) const {
    const PolarQuantizer& polar = quantizer_.polar();
    return {quantizer_.layout(), polar.cos_levels().data(), polar.sin_levels().data(),
            static_cast<uint32_t>(polar.cos_levels().size() - 1), window};
}

void TurboFamily::scan(const PreparedQuery& prepared, const kernels::LevelWindow& window,
                       const uint8_t* codes, size_t n, float* scores) const {
    const kernels::TurboScanQuery query{prepared.rotated.data(), prepared.projections.data(), scores};
    kernels::turbo_scan(scan_inputs(window), &query, 1, codes, n);
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
    // One scan for all the queries: it reads each group of codes once for all of them.
    std::vector<float> scores(prepared.size() * n);
    std::vector<kernels::TurboScanQuery> queries;
    for (size_t q = 0; q < prepared.size(); ++q) {
        queries.push_back({prepared[q].rotated.data(), prepared[q].projections.data(), scores.data() + q * n});
    }
    kernels::turbo_scan(scan_inputs(window), queries.data(), queries.size(), records, n);
    std::vector<std::vector<Scored>> found;
    found.reserve(prepared.size());
    for (size_t q = 0; q < prepared.size(); ++q) {
        found.push_back(top_k_of(scores.data() + q * n, ids, n, top_k));
    }
    return found;
}

}  // namespace quillane
