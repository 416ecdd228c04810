// The compact code family as the flat index sees it (see turbo_family.hpp). Search runs
// in two passes: an integer pass over every record with int8 approximations of levels
// and query, whose error is bounded per record; then exact scores for only the records
// that could rank in the top k. The result is exactly that of scoring every record.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <queue>
#include <span>
#include <vector>

#include "compact/quantizer.hpp"
#include "format/bytes.hpp"
#include "error.hpp"
#include "index/allow.hpp"
#include "index/family_parameters.hpp"
#include "index/metric.hpp"
#include "index/topk.hpp"
#include "kernels/compact_scan.hpp"

namespace quillane {

class CompactFamily {
public:
    using Quantizer = CompactQuantizer;
    struct Prepared {
        CompactPrepared exact;
        std::vector<int8_t> query;  // the rotated query in int8 steps, zero-padded
        double step;                // its step: rotated query ~ step * query
        double rounding_norm;       // |rotated query - step * query|, rounded up
        double rounded_norm;        // |step * query|, rounded up
        double norm;                // |rotated query|, rounded up
        std::vector<float> unit;    // cosine: the query scaled to unit length
        float squared_norm = 0.0f;  // l2: f32(squared_norm(query))
    };
    // The scan needs nothing beyond the records themselves.
    struct Summary {
        void merge(const Summary&) {}
    };
    // Queries searched together: each block of records is read and expanded once for all
    // of them.
    static constexpr size_t QUERIES_PER_BLOCK = 64;
    static constexpr size_t SCAN_SLACK_BYTES = kernels::COMPACT_SCAN_SLACK_BYTES;

    // How a record holds its code: whole (a flat index: the bytes encode returns), or
    // without the code's first 8 bytes (version, bits, dim, fingerprint: the same for
    // every entry of one index), as an inverted index's lists hold it.
    enum class Form : uint8_t { whole, listed };
    static constexpr size_t LISTED_SKIP = format::CompactLayout::scale;

    explicit CompactFamily(CompactQuantizer quantizer, Metric metric = Metric::ip, Form form = Form::whole);

    // In index files (see turbo_family.hpp).
    static constexpr uint8_t FILE_TAG = 2;
    static constexpr const char* NAME = "compact";
    FamilyParameters parameters() const {
        return {quantizer_.dim(), quantizer_.bits(), 0, quantizer_.seed(), static_cast<uint8_t>(metric_)};
    }
    static Status check_parameters(const FamilyParameters& p);
    static size_t record_size_of(const FamilyParameters& p, Form form = Form::whole) {
        return format::CompactLayout{p.dim, p.bits}.size() - (form == Form::listed ? LISTED_SKIP : 0) + 4 +
               (p.metric == uint8_t(Metric::l2) ? 4 : 0);
    }
    static Result<CompactFamily> build(const FamilyParameters& p) {
        QL_TRY_ASSIGN(CompactQuantizer quantizer, CompactQuantizer::make(p.dim, p.bits, p.seed));
        return CompactFamily(std::move(quantizer), static_cast<Metric>(p.metric));
    }
    static void summary_words(const Summary&, uint32_t* words) { words[0] = words[1] = 0; }
    static Summary summary_from_words(const uint32_t*) { return {}; }
    // The code's checks, and that its two bounds are what encoding would store.
    Result<Summary> check_record(std::span<const uint8_t> record) const;

    const CompactQuantizer& quantizer() const { return quantizer_; }
    Metric metric() const { return metric_; }
    uint64_t dim() const { return quantizer_.dim(); }
    size_t code_size() const { return quantizer_.code_size_bytes(); }
    Form form() const { return form_; }
    // A record: the code (in its form), then two 16-bit bounds of the first pass's error
    // for it (|L[c]| and |L[c] - step * L8[c]| over its levels, both rounded up; the high
    // halves of float32 values); under l2, then the vector's squared norm (f32).
    size_t record_size() const { return code_bytes() + 4 + (metric_ == Metric::l2 ? 4 : 0); }
    // Where a record's fields start.
    size_t code_bytes() const { return code_size() - skip_; }
    size_t packed_at() const { return format::CompactLayout::packed - skip_; }
    float scale_of(const uint8_t* record) const { return bytes::load_f32(record + format::CompactLayout::scale - skip_); }
    // A record's code as encode returned it (its skipped bytes written back).
    std::vector<uint8_t> whole_code(const uint8_t* record) const;

    // The vector as this metric codes it (cosine: scaled to unit length), into dim()
    // floats at out. Finite values; under cosine not all zero (InvariantFailure: callers
    // refuse zero vectors first).
    void in_metric_space(const float* x, float* out) const;
    Result<std::vector<uint8_t>> encode_record(std::span<const float> vector) const;
    // The record of a vector already in metric space; with a centroid, its code is that of
    // the residual v - centroid (the squared norm stays that of v).
    Result<std::vector<uint8_t>> encode_metric_record(std::span<const float> v, const float* centroid) const;
    // The vector a record's code decodes to (plus the centroid its residual is from, when
    // given): the decoding of CompactQuantizer::decode, then f32(r_j + c_j).
    Result<std::vector<float>> decode_record(const uint8_t* record, const float* centroid) const;
    // Rankings order keys, highest first; a key is the score under ip and cosine, minus the
    // squared distance under l2 (so the smallest distances come first). The score a caller sees.
    float reported(float key) const { return metric_ == Metric::l2 ? -key : key; }
    Summary empty_summary() const { return {}; }
    // InvariantFailure for a record whose code this quantizer would not read.
    Summary summarize(std::span<const uint8_t> record) const;

    Result<Prepared> prepare(std::span<const float> query) const;
    // CompactQuantizer::score of one code.
    float score(const Prepared& prepared, std::span<const uint8_t> code) const {
        return quantizer_.score(prepared.exact, code.data());
    }
    // For each prepared query, the first min(top_k, n) records by score (index/topk.hpp's
    // order); the first pass runs over blocks of records, each block against every query
    // while it is in cache.
    std::vector<std::vector<Scored>> top_k_many(std::span<const Prepared> prepared,
                                                const Summary& summary, const uint8_t* records,
                                                const uint64_t* ids, size_t n,
                                                uint64_t top_k) const;

    // The same search over several arenas of records (an inverted index's lists), each
    // query keeping one ranking across them. A segment's keys order equal scores (when
    // asked to) and are what the ranking returns as ids.
    struct Segment {
        const uint8_t* records;  // n records, then SCAN_SLACK_BYTES
        size_t n;
        const uint64_t* keys;
        // A filtered search ranks record i only if `allow` allows its entry number:
        // numbers[i] when given, else first + i.
        const AllowSet* allow = nullptr;
        const uint64_t* numbers = nullptr;
        uint64_t first = 0;
        // An inverted list's insertion numbers: when given, each record's key and entry
        // number both (keys and numbers are not read).
        const uint32_t* orders = nullptr;
        uint64_t key(size_t i) const { return orders ? orders[i] : keys[i]; }
        bool allowed(size_t i) const {
            return allow == nullptr || allow->allows(orders ? orders[i] : numbers ? numbers[i] : first + i);
        }
    };
    // One query's first pass so far: the k highest lower bounds, and every record whose
    // upper bound reached the k-th of them when it was seen. The k-th highest lower bound
    // only rises, so every record whose upper bound reaches its final value is kept.
    class Ranking {
    public:
        explicit Ranking(size_t k) : k_(k) {}

    private:
        friend class CompactFamily;
        struct Candidate {
            const uint8_t* record;
            uint64_t key;
            double offset;
            bool shifted;
            double upper;
        };
        struct Visit {
            Segment segment;
            double offset;
            bool shifted;
        };
        void offer(const Candidate& c, double lower);

        size_t k_;
        std::priority_queue<double, std::vector<double>, std::greater<double>> lowest_kept_;
        std::vector<Candidate> maybe_;
        std::vector<Visit> visited_;
        double kth_ = -std::numeric_limits<double>::infinity();  // once k are kept, the k-th
    };
    // The first pass of each query over one segment, into its ranking; offsets (when
    // given) shift query q's scores to f32(offsets[q] + f64(score)) (an inverted list
    // holds codes of residuals from its centroid c, offset <c, q>).
    void first_pass(std::span<const Prepared* const> prepared, std::span<Ranking* const> rankings,
                    const Segment& segment, const double* offsets) const;
    // top_k_many over contiguous parts of one arena searched apart (by several threads):
    // each part's first pass into rankings of its own (one per query, each keeping k), then
    // each query's rankings of every part, in order, merged and finished: the rows
    // top_k_many gives. rank_segment is the one-part case.
    std::vector<Ranking> first_pass_part(std::span<const Prepared> prepared, const Segment& segment, size_t k) const;
    std::vector<Scored> finish_parts(const Prepared& prepared, std::span<Ranking* const> parts) const;
    // Approximate keys of n records of an arena (`records`: its first record; record_size()
    // apart, then SCAN_SLACK_BYTES), the one numbered rows[i] for keys[i], for one prepared
    // query: the first pass's centre estimates (integer sums of int8 levels times the int8
    // query, into `sums`), as keys. Cheap, to steer a walk; the same bits on every path
    // (integer sums), never a result.
    void approximate_keys(const Prepared& prepared, const uint8_t* records, const uint32_t* rows, size_t n,
                          int32_t* sums, float* keys) const;
    // One record's exact key (the ranking's score), its estimate shifted by *offset when given.
    float exact_key(const Prepared& prepared, const uint8_t* record, const double* offset) const;
    // keys[i] = exact_key(prepared, records[i], offsets ? offsets[i] : nullptr) for i < n,
    // the records scored together.
    void exact_keys(const Prepared& prepared, const uint8_t* const* records, const double* const* offsets, size_t n,
                    float* keys) const;
    // top_k_many restricted to the entries `allow` allows (entry numbers: positions from 0),
    // each row as long as the allowed entries, up to top_k. A listed set is scored entry by
    // entry; a bitmap filters the two passes.
    std::vector<std::vector<Scored>> top_k_allowed(std::span<const Prepared> prepared, const uint8_t* records,
                                                   const uint64_t* ids, size_t n, uint64_t top_k,
                                                   const AllowSet& allow) const;
    // The first k candidates of a ranking by exact score (index/topk.hpp's order among the
    // candidates in the order seen, or by key when by_key), each with its key as id.
    std::vector<Scored> finish(const Prepared& prepared, Ranking& ranking, bool by_key) const;

private:
    // Both passes over one segment for each query: its first min(k, allowed) entries.
    std::vector<std::vector<Scored>> rank_segment(std::span<const Prepared> prepared, const Segment& segment,
                                                  size_t k) const;
    // The two bounds stored after a code, from its packed codes.
    std::array<uint16_t, 2> bounds_of(const uint8_t* packed) const;

    // A record's ranking key from its estimate e (index/metric.hpp): e, or -l2 under l2.
    double key_of(const uint8_t* record, const Prepared& prepared, double e) const;

    CompactQuantizer quantizer_;
    Metric metric_;
    Form form_;
    size_t skip_;  // bytes of the code's front a record leaves out
    double level_step_;            // levels ~ level_step_ * levels8_
    std::vector<int8_t> levels8_;  // 2^bits
    // Per level: ceil(L^2 2^40) and ceil((L - step L8)^2 2^40); for 4-bit codes also per
    // byte (the sums of its two levels').
    std::vector<std::array<uint64_t, 2>> square_units_, byte_units_;
    // The many-query pass's levels (kernels::CompactManyInputs): levels ~ step * levels,
    // within +-63; each level's squared error is at most error_unit * error_units.
    struct ManyQueryLevels {
        double step;
        std::vector<int8_t> levels;
        std::vector<uint8_t> error_units;
        double error_unit;
    } many_;
};

}  // namespace quillane
