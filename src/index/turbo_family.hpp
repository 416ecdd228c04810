// The two-stage code family as the flat index sees it: how a vector becomes stored
// bytes, what the scan needs to know of the stored codes, how a query is prepared, the
// scan kernel and the exact score of one stored code.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "error.hpp"
#include "index/family_parameters.hpp"
#include "index/topk.hpp"
#include "kernels/turbo_scan.hpp"
#include "turbo.hpp"

namespace quillane {

class TurboFamily {
public:
    using Quantizer = TurboQuantizer;
    using Prepared = PreparedQuery;
    // What the scan needs to know of the stored codes: the codebook levels they use.
    using Summary = kernels::LevelWindow;
    // Queries searched together: each group of codes is read once for all of them.
    static constexpr size_t QUERIES_PER_BLOCK = 16;
    static constexpr size_t SCAN_SLACK_BYTES = kernels::TURBO_SCAN_SLACK_BYTES;

    explicit TurboFamily(TurboQuantizer quantizer) : quantizer_(std::move(quantizer)) {}

    // In index files: the family's tag and name, its quantizer's integers, its summary
    // as two words, and the checks of a stored record.
    static constexpr uint8_t FILE_TAG = 1;
    static constexpr const char* NAME = "two-stage";
    FamilyParameters parameters() const {
        return {quantizer_.dim(), quantizer_.bits(), quantizer_.num_projections(), quantizer_.seed()};
    }
    // The constructor's error for these integers, without building anything.
    static Status check_parameters(const FamilyParameters& p) {
        return TurboQuantizer::check_parameters(p.dim, p.bits, p.projections);
    }
    static size_t record_size_of(const FamilyParameters& p) {
        return format::TurboLayout::of(p.dim, p.projections).size();
    }
    static Result<TurboFamily> build(const FamilyParameters& p) {
        QL_TRY_ASSIGN(TurboQuantizer quantizer, TurboQuantizer::make(p.dim, p.bits, p.projections, p.seed));
        return TurboFamily(std::move(quantizer));
    }
    static void summary_words(const Summary& s, uint32_t* words) {
        words[0] = s.lowest;
        words[1] = s.highest;
    }
    static Summary summary_from_words(const uint32_t* words) { return {words[0], words[1]}; }
    // The summary of a record, or why this family's encoder could not have written it.
    Result<Summary> check_record(std::span<const uint8_t> record) const;

    const TurboQuantizer& quantizer() const { return quantizer_; }
    uint64_t dim() const { return quantizer_.dim(); }
    size_t code_size() const { return quantizer_.code_size_bytes(); }

    // A record is the code alone.
    size_t record_size() const { return code_size(); }
    Result<std::vector<uint8_t>> encode_record(std::span<const float> vector) const {
        return quantizer_.encode_to_bytes(vector);
    }
    Summary empty_summary() const { return {UINT32_MAX, 0}; }
    // The summary of one code this family's encode wrote (InvariantFailure for any other).
    Summary summarize(std::span<const uint8_t> code) const;

    // Rankings order scores themselves.
    float reported(float score) const { return score; }
    Result<Prepared> prepare(std::span<const float> query) const {
        return quantizer_.prepare_query(query);
    }
    // scores[i] for the n codes at `codes`, each exactly score(prepared, code i).
    void scan(const Prepared& prepared, const Summary& summary, const uint8_t* codes, size_t n,
              float* scores) const;
    // TurboQuantizer::score of the parsed code.
    float score(const Prepared& prepared, std::span<const uint8_t> code) const;
    // For each prepared query, the first min(top_k, n) records by score (index/topk.hpp's
    // order): every score from one scan for all the queries, then the bounded heap.
    std::vector<std::vector<Scored>> top_k_many(std::span<const Prepared> prepared,
                                                const Summary& summary, const uint8_t* records,
                                                const uint64_t* ids, size_t n,
                                                uint64_t top_k) const;

private:
    kernels::TurboScanInputs scan_inputs(const kernels::LevelWindow& window) const;

    TurboQuantizer quantizer_;
};

}  // namespace quillane
