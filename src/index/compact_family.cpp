#include "compact_family.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <queue>

#include "format/bytes.hpp"

namespace quillane {

namespace {

// A non-negative bound in 16 bits, rounded up: the high half of a float32 (8 bits of
// precision are plenty for a bound; the record stays within code + 4 bytes).
uint16_t bound16(double x) {
    float f = static_cast<float>(x);
    if (static_cast<double>(f) < x) f = std::nextafter(f, std::numeric_limits<float>::infinity());
    uint32_t bits = std::bit_cast<uint32_t>(f);
    if ((bits & 0xFFFFu) != 0) bits += 0x10000u;
    return static_cast<uint16_t>(bits >> 16);
}

double load_bound16(const uint8_t* p) {
    return std::bit_cast<float>(uint32_t{bytes::load_u16(p)} << 16);
}

// A generous upward correction for the rounding of sums of up to 2^16 terms in double.
double widen(double x) { return x * (1.0 + 1e-9) + 1e-300; }

}  // namespace

CompactFamily::CompactFamily(CompactQuantizer quantizer) : quantizer_(std::move(quantizer)) {
    const compact::ScalarQuantizer& q = quantizer_.levels();
    double largest = 0.0;
    for (uint32_t c = 0; c < q.count(); ++c) largest = std::max(largest, std::fabs(double{q.levels[c]}));
    level_step_ = largest / 127.0;
    for (uint32_t c = 0; c < q.count(); ++c) {
        const double r = std::nearbyint(q.levels[c] / level_step_);
        levels8_.push_back(static_cast<int8_t>(std::clamp(r, -127.0, 127.0)));
    }
}

Result<std::vector<uint8_t>> CompactFamily::encode_record(std::span<const float> vector) const {
    QL_TRY_ASSIGN(std::vector<uint8_t> record, quantizer_.encode(vector));
    const compact::ScalarQuantizer& q = quantizer_.levels();
    // The sums by level: a histogram of the codes, then one term per level (any order of
    // summation is within what widen() allows).
    std::vector<uint8_t> cells(dim());
    format::unpack_codes(record.data() + format::CompactLayout::packed, q.bits, dim(), cells.data());
    std::vector<uint32_t> counts(q.count(), 0);
    for (uint8_t c : cells) ++counts[c];
    double levels = 0.0, errors = 0.0;
    for (uint32_t c = 0; c < q.count(); ++c) {
        const double l = q.levels[c], e = l - level_step_ * levels8_[c];
        levels += counts[c] * (l * l);
        errors += counts[c] * (e * e);
    }
    bytes::put_u16(record, bound16(widen(std::sqrt(widen(levels)))));
    bytes::put_u16(record, bound16(widen(std::sqrt(widen(errors)))));
    return record;
}

CompactFamily::Summary CompactFamily::summarize(std::span<const uint8_t> record) const {
    if (record.size() != record_size() || !quantizer_.check_code(record.first(code_size()))) {
        throw InvariantFailure("encoded code does not read back");
    }
    return {};
}

Result<CompactFamily::Prepared> CompactFamily::prepare(std::span<const float> query) const {
    QL_TRY_ASSIGN(CompactPrepared exact, quantizer_.prepare_query(query));
    Prepared p{std::move(exact), {}, 1.0, 0.0, 0.0, 0.0};
    const std::vector<float>& z = p.exact.rotated;
    double largest = 0.0, norm = 0.0;
    for (float v : z) {
        largest = std::max(largest, std::fabs(double{v}));
        norm += double{v} * v;
    }
    if (largest > 0.0) p.step = largest / 127.0;
    const size_t padded = (dim() + kernels::COMPACT_QUERY_PAD - 1) / kernels::COMPACT_QUERY_PAD *
                          kernels::COMPACT_QUERY_PAD;
    p.query.assign(padded, 0);
    double rounding = 0.0, rounded = 0.0;
    for (size_t i = 0; i < dim(); ++i) {
        const double r = std::clamp(std::nearbyint(z[i] / p.step), -127.0, 127.0);
        p.query[i] = static_cast<int8_t>(r);
        const double e = z[i] - p.step * r;
        rounding += e * e;
        rounded += (p.step * r) * (p.step * r);
    }
    p.rounding_norm = widen(std::sqrt(widen(rounding)));
    p.rounded_norm = widen(std::sqrt(widen(rounded)));
    p.norm = widen(std::sqrt(widen(norm)));
    return p;
}

namespace {

// One query's first pass: the k highest lower bounds so far, and every record whose
// upper bound reached the k-th of them when it was seen. The k-th highest lower bound
// only rises, so every record whose upper bound reaches its final value is kept.
struct FirstPass {
    std::priority_queue<double, std::vector<double>, std::greater<double>> lowest_kept;
    std::vector<std::pair<size_t, double>> maybe;  // record, upper bound

    void offer(size_t record, double lower, double upper, size_t k) {
        if (lowest_kept.size() < k) {
            lowest_kept.push(lower);
        } else if (lower > lowest_kept.top()) {
            lowest_kept.pop();
            lowest_kept.push(lower);
        }
        if (lowest_kept.size() < k || upper >= lowest_kept.top()) maybe.emplace_back(record, upper);
    }
};

}  // namespace

std::vector<std::vector<Scored>> CompactFamily::top_k_many(std::span<const Prepared> prepared,
                                                           const Summary&, const uint8_t* records,
                                                           const uint64_t* ids, size_t n,
                                                           uint64_t top_k) const {
    std::vector<std::vector<Scored>> found(prepared.size());
    const size_t k = static_cast<size_t>(std::min<uint64_t>(top_k, n));
    if (k == 0) return found;
    const size_t stride = record_size();
    // For record i with scale F, level norm |L|, level error norm |eL| and exact sum T:
    //   |T - step_l * step_q * A| <= |L| |z - step_q Q| + |eL| |step_q Q|   (Cauchy-Schwarz),
    // and the returned score f32(F * T) differs from F * T by less than 2^-24 of itself;
    // the bound below is wider than both. Every record whose score could reach the k-th
    // highest score has an upper bound at or above the k-th highest lower bound.
    constexpr size_t BLOCK = 256;
    const size_t count = prepared.size();
    std::vector<int32_t> approx(count * BLOCK);
    std::vector<const int8_t*> queries;
    for (const Prepared& p : prepared) queries.push_back(p.query.data());
    const kernels::CompactApproxInputs inputs{queries[0], levels8_.data(), dim(), quantizer_.bits(), stride};
    // What each query's bounds need of a record, formed once per block: its scale, and its
    // two norms times |scale|.
    std::array<double, BLOCK> scale, scaled_levels, scaled_errors;
    std::vector<FirstPass> passes(count);
    for (size_t first = 0; first < n; first += BLOCK) {
        const size_t here = std::min(BLOCK, n - first);
        if (count == 1) {
            kernels::compact_approx_scan(inputs, records + first * stride, here, approx.data());
        } else {
            kernels::compact_approx_scan_many(inputs, queries.data(), count, records + first * stride,
                                              here, approx.data());
        }
        for (size_t b = 0; b < here; ++b) {
            const uint8_t* record = records + (first + b) * stride;
            scale[b] = format::code_scale(record);
            scaled_levels[b] = std::fabs(scale[b]) * load_bound16(record + code_size());
            scaled_errors[b] = std::fabs(scale[b]) * load_bound16(record + code_size() + 2);
        }
        for (size_t q = 0; q < count; ++q) {
            const Prepared& p = prepared[q];
            const double unit = level_step_ * p.step;
            const double per_level = p.rounding_norm + p.norm * 0x1p-30;
            const int32_t* sums = approx.data() + q * here;
            for (size_t b = 0; b < here; ++b) {
                const double centre = scale[b] * unit * sums[b];
                const double margin = (scaled_levels[b] * per_level + scaled_errors[b] * p.rounded_norm) * (1.0 + 0x1p-20) +
                                      std::fabs(centre) * 0x1p-20 + std::numeric_limits<float>::min();
                passes[q].offer(first + b, centre - margin, centre + margin, k);
            }
        }
    }
    std::vector<float> scores;
    std::vector<uint64_t> candidate_ids;
    for (size_t q = 0; q < prepared.size(); ++q) {
        const double threshold = passes[q].lowest_kept.top();  // the k-th highest lower bound
        scores.clear();
        candidate_ids.clear();
        for (const auto& [i, upper] : passes[q].maybe) {
            if (upper < threshold) continue;
            scores.push_back(quantizer_.score(prepared[q].exact, records + i * stride));
            candidate_ids.push_back(ids[i]);
        }
        // Candidates keep insertion order, so the heap's ties still fall in insertion order.
        found[q] = top_k_of(scores.data(), candidate_ids.data(), scores.size(), k);
    }
    return found;
}

}  // namespace quillane
