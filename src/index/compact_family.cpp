#include "compact_family.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <queue>

#include "format/bytes.hpp"
#include "index/widen.hpp"
#include "kernels/compact_bounds.hpp"

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

}  // namespace

CompactFamily::CompactFamily(CompactQuantizer quantizer, Metric metric, Form form)
    : quantizer_(std::move(quantizer)), metric_(metric), form_(form), skip_(form == Form::listed ? LISTED_SKIP : 0) {
    const compact::ScalarQuantizer& q = quantizer_.levels();
    double largest = 0.0;
    for (uint32_t c = 0; c < q.count(); ++c) largest = std::max(largest, std::fabs(double{q.levels[c]}));
    level_step_ = largest / 127.0;
    for (uint32_t c = 0; c < q.count(); ++c) {
        const double r = std::nearbyint(q.levels[c] / level_step_);
        levels8_.push_back(static_cast<int8_t>(std::clamp(r, -127.0, 127.0)));
    }
    // Squares in units of 2^-40, rounded up: integer sums of them are exact, so the
    // bounds are the same whatever the order of summation, and never below the truth.
    for (uint32_t c = 0; c < q.count(); ++c) {
        const double l = q.levels[c], e = l - level_step_ * levels8_[c];
        square_units_.push_back({static_cast<uint64_t>(std::ceil(l * l * 0x1p40)),
                                 static_cast<uint64_t>(std::ceil(e * e * 0x1p40))});
    }
    many_.step = largest / 63.0;
    double worst = 0.0;
    std::vector<double> squares;
    for (uint32_t c = 0; c < q.count(); ++c) {
        const double r = std::clamp(std::nearbyint(q.levels[c] / many_.step), -63.0, 63.0);
        many_.levels.push_back(static_cast<int8_t>(r));
        const double e = q.levels[c] - many_.step * r;
        squares.push_back(e * e);
        worst = std::max(worst, e * e);
    }
    // Units of a 255th of the largest squared error, widened so that each unit count,
    // rounded up, times the unit is at least the square (the sums' bound is widened again).
    many_.error_unit = widen(worst / 255.0);
    for (double square : squares) {
        const double units = many_.error_unit > 0.0 ? std::ceil(square / many_.error_unit) : 0.0;
        many_.error_units.push_back(static_cast<uint8_t>(std::min(units, 255.0)));
    }
    if (q.bits == 4) {
        for (uint32_t b = 0; b < 256; ++b) {
            const auto& lo = square_units_[b & 0x0F];
            const auto& hi = square_units_[b >> 4];
            byte_units_.push_back({lo[0] + hi[0], lo[1] + hi[1]});
        }
    }
}

void CompactFamily::in_metric_space(const float* x, float* out) const {
    if (metric_ != Metric::cosine) {
        std::copy_n(x, dim(), out);
        return;
    }
    if (all_zero(x, dim())) throw InvariantFailure("a zero vector has no direction: refused under cosine");
    unit_into(x, dim(), out);
}

Result<std::vector<uint8_t>> CompactFamily::encode_record(std::span<const float> vector) const {
    if (metric_ != Metric::cosine) return encode_metric_record(vector, nullptr);
    // The quantizer's own checks first, so that errors read as they do under ip.
    QL_TRY(check_dimension(dim(), vector.size()));
    QL_TRY(check_finite(vector));
    std::vector<float> unit(dim());
    in_metric_space(vector.data(), unit.data());
    return encode_metric_record(unit, nullptr);
}

Result<std::vector<uint8_t>> CompactFamily::encode_metric_record(std::span<const float> v,
                                                                 const float* centroid) const {
    std::vector<uint8_t> record;
    if (centroid != nullptr) {
        std::vector<float> residual(v.size());
        for (size_t j = 0; j < v.size(); ++j) residual[j] = v[j] - centroid[j];
        QL_TRY_ASSIGN(record, quantizer_.encode(residual));
    } else {
        QL_TRY_ASSIGN(record, quantizer_.encode(v));
    }
    const auto bounds = bounds_of(record.data() + format::CompactLayout::packed);
    record.erase(record.begin(), record.begin() + static_cast<std::ptrdiff_t>(skip_));
    bytes::put_u16(record, bounds[0]);
    bytes::put_u16(record, bounds[1]);
    if (metric_ == Metric::l2) bytes::put_f32(record, static_cast<float>(squared_norm(v.data(), v.size())));
    return record;
}

Result<std::vector<float>> CompactFamily::decode_record(const uint8_t* record, const float* centroid) const {
    QL_TRY_ASSIGN(std::vector<float> decoded, quantizer_.decode(whole_code(record)));
    if (centroid != nullptr) {
        for (size_t j = 0; j < decoded.size(); ++j) decoded[j] += centroid[j];
    }
    return decoded;
}

double CompactFamily::key_of(const uint8_t* record, const Prepared& prepared, double e) const {
    if (metric_ != Metric::l2) return e;
    return -static_cast<double>(l2_from_ip(bytes::load_f32(record + code_bytes() + 4), prepared.squared_norm, e));
}

std::vector<uint8_t> CompactFamily::whole_code(const uint8_t* record) const {
    std::vector<uint8_t> code;
    code.reserve(code_size());
    if (skip_ > 0) {
        code.push_back(format::COMPACT_VERSION);
        code.push_back(quantizer_.bits());
        bytes::put_u16(code, static_cast<uint16_t>(dim() - 1));
        bytes::put_u32(code, quantizer_.fingerprint());
    }
    code.insert(code.end(), record, record + code_bytes());
    return code;
}

std::array<uint16_t, 2> CompactFamily::bounds_of(const uint8_t* packed) const {
    const size_t n = dim();
    uint64_t levels = 0, errors = 0;  // at most 2^16 terms below 2^45 each: no overflow
    if (quantizer_.bits() == 4) {
        // Two coordinates per byte, looked up together.
        for (size_t i = 0; i < n / 2; ++i) {
            levels += byte_units_[packed[i]][0];
            errors += byte_units_[packed[i]][1];
        }
        if (n % 2) {
            levels += square_units_[packed[n / 2] & 0x0F][0];
            errors += square_units_[packed[n / 2] & 0x0F][1];
        }
    } else {
        for (size_t i = 0; i < n; ++i) {
            const auto& units = square_units_[format::unpack_code(packed, quantizer_.bits(), i)];
            levels += units[0];
            errors += units[1];
        }
    }
    const auto norm = [](uint64_t units) { return bound16(widen(std::sqrt(widen(static_cast<double>(units) * 0x1p-40)))); };
    return {norm(levels), norm(errors)};
}

CompactFamily::Summary CompactFamily::summarize(std::span<const uint8_t> record) const {
    if (record.size() != record_size() || !quantizer_.check_code(whole_code(record.data()))) {
        throw InvariantFailure("encoded code does not read back");
    }
    return {};
}

Status CompactFamily::check_parameters(const FamilyParameters& p) {
    if (p.projections != 0) return deserialization_failed("compact codes have no projections");
    if (p.metric > uint8_t(Metric::l2)) return deserialization_failed("unknown metric " + std::to_string(p.metric));
    auto made = CompactQuantizer::make(p.dim, p.bits, 0);  // O(dim): only the checks matter
    if (!made) return std::unexpected(made.error());
    return {};
}

Result<CompactFamily::Summary> CompactFamily::check_record(std::span<const uint8_t> record) const {
    QL_TRY(quantizer_.check_code(whole_code(record.data())));
    const auto bounds = bounds_of(record.data() + packed_at());
    if (bytes::load_u16(record.data() + code_bytes()) != bounds[0] ||
        bytes::load_u16(record.data() + code_bytes() + 2) != bounds[1]) {
        return deserialization_failed("its error bounds are not those of its code");
    }
    if (metric_ == Metric::l2) {
        const float x2 = bytes::load_f32(record.data() + code_bytes() + 4);
        if (!(x2 >= 0.0f) || !std::isfinite(x2)) return deserialization_failed("its squared norm is not a finite non-negative value");
    }
    return Summary{};
}

Result<CompactFamily::Prepared> CompactFamily::prepare(std::span<const float> query) const {
    std::vector<float> unit;
    if (metric_ == Metric::cosine) {
        QL_TRY(check_dimension(dim(), query.size()));
        QL_TRY(check_finite(query));
        unit.resize(dim());
        in_metric_space(query.data(), unit.data());
        query = unit;
    }
    QL_TRY_ASSIGN(CompactPrepared exact, quantizer_.prepare_query(query));
    Prepared p{std::move(exact), {}, 1.0, 0.0, 0.0, 0.0, std::move(unit), 0.0f};
    if (metric_ == Metric::l2) p.squared_norm = static_cast<float>(squared_norm(query.data(), query.size()));
    const std::vector<float>& z = p.exact.rotated;
    // The step keeps every value within 127 steps and the magnitudes of each of the
    // many-query kernel's lanes of four values within 256 steps, so within 258 after
    // rounding: what that kernel needs.
    const size_t padded = (dim() + kernels::COMPACT_QUERY_PAD - 1) / kernels::COMPACT_QUERY_PAD *
                          kernels::COMPACT_QUERY_PAD;
    std::vector<double> lane_sums(padded / 4, 0.0);
    double largest = 0.0, norm = 0.0;
    for (size_t i = 0; i < dim(); ++i) {
        const double a = std::fabs(double{z[i]});
        largest = std::max(largest, a);
        lane_sums[kernels::compact_lane(i)] += a;
        norm += double{z[i]} * z[i];
    }
    const double widest = *std::max_element(lane_sums.begin(), lane_sums.end());
    const double step = std::max(largest / 127.0, widest / (kernels::COMPACT_LANE_LIMIT - 2));
    if (step > 0.0) p.step = step;
    p.query.assign(padded, 0);
    for (size_t i = 0; i < dim(); ++i) {
        p.query[i] = static_cast<int8_t>(std::clamp(std::nearbyint(z[i] / p.step), -127.0, 127.0));
    }
    // Rounding of the divisions (or a step that underflowed to zero) can leave a lane over
    // its limit; its largest values then give up steps until it fits (the error terms
    // below are those of the values kept, so the bounds stay true).
    for (size_t lane = 0; lane < padded / 4; ++lane) {
        int8_t* values[4];
        for (size_t v = 0; v < 4; ++v) values[v] = &p.query[kernels::compact_lane_member(lane, v)];
        const auto magnitude = [](const int8_t* v) { return std::abs(int{*v}); };
        int total = 0;
        for (const int8_t* v : values) total += magnitude(v);
        while (total > static_cast<int>(kernels::COMPACT_LANE_LIMIT)) {
            int8_t* larger = *std::max_element(values, values + 4, [&](const int8_t* a, const int8_t* b) {
                return magnitude(a) < magnitude(b);
            });
            *larger = static_cast<int8_t>(*larger > 0 ? *larger - 1 : *larger + 1);
            --total;
        }
    }
    double rounding = 0.0, rounded = 0.0;
    for (size_t i = 0; i < dim(); ++i) {
        const double r = p.query[i];
        const double e = z[i] - p.step * r;
        rounding += e * e;
        rounded += (p.step * r) * (p.step * r);
    }
    p.rounding_norm = widen(std::sqrt(widen(rounding)));
    p.rounded_norm = widen(std::sqrt(widen(rounded)));
    p.norm = widen(std::sqrt(widen(norm)));
    return p;
}

void CompactFamily::Ranking::offer(const Candidate& c, double lower) {
    if (c.upper < kth_) return;  // below the k-th lower bound already: neither kept nor a candidate
    if (lowest_kept_.size() < k_) {
        lowest_kept_.push(lower);
        if (lowest_kept_.size() == k_) kth_ = lowest_kept_.top();
    } else if (lower > kth_) {
        lowest_kept_.pop();
        lowest_kept_.push(lower);
        kth_ = lowest_kept_.top();
    }
    if (c.upper >= kth_) maybe_.push_back(c);
}

std::vector<std::vector<Scored>> CompactFamily::top_k_many(std::span<const Prepared> prepared,
                                                           const Summary&, const uint8_t* records,
                                                           const uint64_t* ids, size_t n,
                                                           uint64_t top_k) const {
    return rank_segment(prepared, {records, n, ids}, static_cast<size_t>(std::min<uint64_t>(top_k, n)));
}

std::vector<std::vector<Scored>> CompactFamily::rank_segment(std::span<const Prepared> prepared,
                                                             const Segment& segment, size_t k) const {
    std::vector<std::vector<Scored>> found(prepared.size());
    if (k == 0) return found;
    std::vector<Ranking> rankings = first_pass_part(prepared, segment, k);
    for (size_t q = 0; q < prepared.size(); ++q) found[q] = finish(prepared[q], rankings[q], false);
    return found;
}

std::vector<CompactFamily::Ranking> CompactFamily::first_pass_part(std::span<const Prepared> prepared,
                                                                   const Segment& segment, size_t k) const {
    std::vector<Ranking> rankings(prepared.size(), Ranking(k));
    if (k == 0) return rankings;
    std::vector<const Prepared*> pointers;
    std::vector<Ranking*> ranking_pointers;
    for (size_t q = 0; q < prepared.size(); ++q) {
        pointers.push_back(&prepared[q]);
        ranking_pointers.push_back(&rankings[q]);
    }
    first_pass(pointers, ranking_pointers, segment, nullptr);
    return rankings;
}

// A whole arena's k highest lower bounds are the k highest of its parts' (a record a part
// did not keep lies below k of that part's), and every record whose upper bound reaches
// their k-th reached each part's bar when it was offered: the merged ranking is the one
// a single first pass over the parts in order would leave.
std::vector<Scored> CompactFamily::finish_parts(const Prepared& prepared, std::span<Ranking* const> parts) const {
    Ranking merged(parts.empty() ? 0 : parts.front()->k_);
    if (merged.k_ == 0) return {};
    for (Ranking* part : parts) {
        for (auto kept = part->lowest_kept_; !kept.empty(); kept.pop()) {
            merged.lowest_kept_.push(kept.top());
            if (merged.lowest_kept_.size() > merged.k_) merged.lowest_kept_.pop();
        }
        merged.maybe_.insert(merged.maybe_.end(), part->maybe_.begin(), part->maybe_.end());
        merged.visited_.insert(merged.visited_.end(), part->visited_.begin(), part->visited_.end());
    }
    return finish(prepared, merged, false);
}

void CompactFamily::approximate_keys(const Prepared& prepared, const uint8_t* records, const uint32_t* rows,
                                     size_t n, int32_t* sums, float* keys) const {
    const size_t stride = record_size();
    const kernels::CompactApproxInputs in{prepared.query.data(), levels8_.data(), dim(), quantizer_.bits(), stride};
    kernels::compact_approx_gather(in, records + packed_at(), rows, n, sums);
    const double unit = level_step_ * prepared.step;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* record = records + size_t{rows[i]} * stride;
        keys[i] = static_cast<float>(key_of(record, prepared, (static_cast<double>(scale_of(record)) * unit) * sums[i]));
    }
}

float CompactFamily::exact_key(const Prepared& prepared, const uint8_t* record, const double* offset) const {
    float key;
    exact_keys(prepared, &record, offset ? &offset : nullptr, 1, &key);
    return key;
}

void CompactFamily::exact_keys(const Prepared& prepared, const uint8_t* const* records, const double* const* offsets,
                               size_t n, float* keys) const {
    constexpr size_t CHUNK = 64;
    std::array<const uint8_t*, CHUNK> packed;
    std::array<double, CHUNK> dots;
    for (size_t first = 0; first < n; first += CHUNK) {
        const size_t here = std::min(CHUNK, n - first);
        for (size_t i = 0; i < here; ++i) packed[i] = records[first + i] + packed_at();
        quantizer_.dots(prepared.exact, packed.data(), here, dots.data());
        for (size_t i = 0; i < here; ++i) {
            // The score f32(scale * sum), shifted by the offset in f64 and rounded again.
            const uint8_t* record = records[first + i];
            const double* offset = offsets ? offsets[first + i] : nullptr;
            const float score = static_cast<float>(static_cast<double>(scale_of(record)) * dots[i]);
            const float e = offset ? static_cast<float>(*offset + static_cast<double>(score)) : score;
            keys[first + i] = static_cast<float>(key_of(record, prepared, e));
        }
    }
}

std::vector<std::vector<Scored>> CompactFamily::top_k_allowed(std::span<const Prepared> prepared,
                                                              const uint8_t* records, const uint64_t* ids,
                                                              size_t n, uint64_t top_k,
                                                              const AllowSet& allow) const {
    std::vector<std::vector<Scored>> found(prepared.size());
    const size_t k = static_cast<size_t>(std::min<uint64_t>(top_k, n));
    if (k == 0) return found;
    if (allow.listed()) {
        const std::vector<uint64_t>& entries = allow.list();
        std::vector<float> keys(entries.size());
        std::vector<uint64_t> entry_ids(entries.size());
        std::vector<const uint8_t*> allowed(entries.size());
        for (size_t e = 0; e < entries.size(); ++e) {
            entry_ids[e] = ids[entries[e]];
            allowed[e] = records + entries[e] * record_size();
        }
        for (size_t q = 0; q < prepared.size(); ++q) {
            exact_keys(prepared[q], allowed.data(), nullptr, allowed.size(), keys.data());
            found[q] = top_k_of(keys.data(), entry_ids.data(), entries.size(), k);
        }
        return found;
    }
    return rank_segment(prepared, {records, n, ids, &allow, nullptr, 0}, k);
}

void CompactFamily::first_pass(std::span<const Prepared* const> prepared, std::span<Ranking* const> rankings,
                               const Segment& segment, const double* offsets) const {
    const size_t n = segment.n, count = prepared.size();
    if (n == 0 || count == 0) return;
    const uint8_t* records = segment.records;
    const size_t stride = record_size();
    for (size_t q = 0; q < count; ++q) rankings[q]->visited_.push_back({segment, offsets ? offsets[q] : 0.0, offsets != nullptr});
    // For record i with scale F, level norm |L|, level error norm |eL| and exact sum T:
    //   |T - step_l * step_q * A| <= |L| |z - step_q Q| + |eL| |step_q Q|   (Cauchy-Schwarz),
    // and the returned score f32(F * T) differs from F * T by less than 2^-24 of itself;
    // the bound below is wider than both. Every record whose score could reach the k-th
    // highest score has an upper bound at or above the k-th highest lower bound.
    // One query's block stays in L1 between the scan and the bounds; many queries take
    // larger blocks, so that each kernel call's work on the queries is spread wider.
    constexpr size_t BLOCK = 1024;
    const size_t block = count > 1 ? BLOCK : 256;
    std::vector<int32_t> approx(count * block);
    std::vector<const int8_t*> queries;
    for (const Prepared* p : prepared) queries.push_back(p->query.data());
    // One query scans with the int8 levels and the stored error norms; several share the
    // many-query pass, whose levels are coarser and whose error norms it sums as it goes,
    // unless the kernels give the one-query sums of many queries at once.
    const bool each = count > 1 && kernels::compact_scans_each_at_once();
    const bool many = count > 1 && !each;
    const kernels::CompactApproxInputs one_query{queries[0], levels8_.data(), dim(), quantizer_.bits(), stride};
    const kernels::CompactManyInputs many_queries{many_.levels.data(), many_.error_units.data(), dim(),
                                                  quantizer_.bits(), stride};
    const double level_step = many ? many_.step : level_step_;
    // What each query's bounds need of a record, formed once per block: its scale, and its
    // two norms times |scale|, widened.
    std::array<double, BLOCK> scale, scaled_levels, scaled_errors, centre, margin, upper;
    std::array<uint32_t, BLOCK> reaching;
    std::array<uint32_t, BLOCK> error_units;
    const kernels::CompactBoundRecords block_records{scale.data(), scaled_levels.data(), scaled_errors.data()};
    for (size_t first = 0; first < n; first += block) {
        const size_t here = std::min(block, n - first);
        if (many) {
            kernels::compact_approx_scan_many(many_queries, queries.data(), count, records + first * stride + packed_at(),
                                              here, approx.data(), error_units.data());
        } else if (each) {
            kernels::compact_approx_scan_each(one_query, queries.data(), count, records + first * stride + packed_at(),
                                              here, approx.data());
        } else {
            kernels::compact_approx_scan(one_query, records + first * stride + packed_at(), here, approx.data());
        }
        // The stored bounds follow each record's packed codes; the many-query pass
        // replaces the level errors by what it summed.
        kernels::compact_record_terms({records + first * stride, stride, format::CompactLayout::scale - skip_, code_bytes()},
                                      here, {scale.data(), scaled_levels.data(), scaled_errors.data()});
        if (many) {
            for (size_t b = 0; b < here; ++b) {
                const double errors = widen(std::sqrt(widen(error_units[b] * many_.error_unit)));
                scaled_errors[b] = std::fabs(scale[b]) * errors * (1.0 + 0x1p-20);
            }
        }
        for (size_t q = 0; q < count; ++q) {
            const Prepared& p = *prepared[q];
            const kernels::CompactBoundQuery bound_query{level_step * p.step,
                                                         p.rounding_norm + p.norm * 0x1p-30,
                                                         p.rounded_norm};
            Ranking& ranking = *rankings[q];
            const int32_t* sums = approx.data() + q * here;
            const kernels::CompactBounds out{centre.data(), margin.data(), upper.data(), reaching.data()};
            if (offsets == nullptr && metric_ != Metric::l2) {
                // Only records reaching the k-th lower bound known now are offered: it only rises.
                const size_t offered = kernels::compact_bounds(block_records, bound_query, sums, here, ranking.kth_, out);
                for (size_t r = 0; r < offered; ++r) {
                    const size_t i = first + reaching[r];
                    if (!segment.allowed(i)) continue;
                    ranking.offer({records + i * stride, segment.key(i), 0.0, false, upper[r]}, centre[r] - margin[r]);
                }
                continue;
            }
            // Shifted scores: the bounds move by the offset, widened for the rounding of
            // that sum and of the shifted score to float32. Under l2 the key falls as the
            // estimate does, so the key of each bound bounds the record's key, and every
            // record is listed (its key needs its norm); under ip and cosine the key is the
            // estimate, and the kernel drops in vector lanes what offer would drop (the
            // k-th lower bound only rises while the block is offered).
            const bool shifted = offsets != nullptr;
            const double offset = shifted ? offsets[q] : 0.0;
            const kernels::CompactBoundQuery listing{bound_query.unit, bound_query.per_level, bound_query.rounded_norm,
                                                     true, offset};
            const double bar = metric_ == Metric::l2 ? -std::numeric_limits<double>::infinity() : ranking.kth_;
            const size_t listed = kernels::compact_bounds(block_records, listing, sums, here, bar, out);
            for (size_t at = 0; at < listed; ++at) {
                const size_t i = first + reaching[at];
                if (!segment.allowed(i)) continue;
                const uint8_t* record = records + i * stride;
                double lower = -std::numeric_limits<double>::infinity(), higher = std::numeric_limits<double>::infinity();
                // A NaN upper bound (a damaged, unverified record) bounds nothing.
                if (!std::isnan(upper[at])) {
                    lower = offset + (centre[at] - margin[at]), higher = offset + upper[at];
                    if (shifted) {
                        const double slack = kernels::shifted_slack(lower, higher);
                        lower -= slack;
                        higher += slack;
                    }
                    lower = key_of(record, p, lower);
                    higher = key_of(record, p, higher);
                    // A damaged, unverified squared norm bounds nothing.
                    if (std::isnan(lower)) lower = -std::numeric_limits<double>::infinity();
                    if (std::isnan(higher)) higher = std::numeric_limits<double>::infinity();
                }
                ranking.offer({record, segment.key(i), offset, shifted, higher}, lower);
            }
        }
    }
}

std::vector<Scored> CompactFamily::finish(const Prepared& prepared, Ranking& ranking, bool by_key) const {
    const size_t k = ranking.k_, stride = record_size();
    std::vector<Ranking::Candidate> chosen;
    if (ranking.lowest_kept_.size() == k) {
        const double threshold = ranking.lowest_kept_.top();  // the k-th highest lower bound
        for (const Ranking::Candidate& c : ranking.maybe_) {
            if (c.upper >= threshold) chosen.push_back(c);
        }
    }
    // Fewer than k candidates happen only when the stored bounds are not those of their
    // codes (a damaged file read without verification, or one edited under its mapping):
    // every record visited is scored then, so the answer still has k entries.
    if (chosen.size() < k) {
        chosen.clear();
        for (const Ranking::Visit& v : ranking.visited_) {
            for (size_t i = 0; i < v.segment.n; ++i) {
                if (!v.segment.allowed(i)) continue;
                chosen.push_back({v.segment.records + i * stride, v.segment.key(i), v.offset, v.shifted, 0.0});
            }
        }
    }
    // Candidates in their keys' order, so that the heap's ties fall in that order.
    if (by_key) {
        std::stable_sort(chosen.begin(), chosen.end(),
                         [](const Ranking::Candidate& a, const Ranking::Candidate& b) { return a.key < b.key; });
    }
    std::vector<float> scores(chosen.size());
    std::vector<uint64_t> keys(chosen.size());
    // Candidates were streamed past long ago: each group of records is fetched from memory
    // while the one before it is scored (together).
    constexpr size_t GROUP = 8;
    const auto fetch = [&](size_t first) {
        for (size_t c = first; c < std::min(first + GROUP, chosen.size()); ++c) {
            for (size_t line = 0; line < stride; line += 64) __builtin_prefetch(chosen[c].record + line);
        }
    };
    fetch(0);
    std::array<const uint8_t*, GROUP> group;
    std::array<const double*, GROUP> offsets;
    for (size_t first = 0; first < chosen.size(); first += GROUP) {
        fetch(first + GROUP);
        const size_t here = std::min(GROUP, chosen.size() - first);
        for (size_t c = 0; c < here; ++c) {
            const Ranking::Candidate& candidate = chosen[first + c];
            group[c] = candidate.record;
            offsets[c] = candidate.shifted ? &candidate.offset : nullptr;
            keys[first + c] = candidate.key;
        }
        exact_keys(prepared, group.data(), offsets.data(), here, scores.data() + first);
    }
    return top_k_of(scores.data(), keys.data(), scores.size(), k);
}

}  // namespace quillane
