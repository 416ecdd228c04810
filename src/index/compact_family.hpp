// The compact code family as the flat index sees it (see turbo_family.hpp).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "compact/quantizer.hpp"
#include "error.hpp"
#include "kernels/compact_scan.hpp"

namespace quillane {

class CompactFamily {
public:
    using Quantizer = CompactQuantizer;
    using Prepared = CompactPrepared;
    // The scan needs nothing beyond the codes themselves.
    struct Summary {
        void merge(const Summary&) {}
    };
    static constexpr size_t SCAN_SLACK_BYTES = kernels::COMPACT_SCAN_SLACK_BYTES;

    explicit CompactFamily(CompactQuantizer quantizer) : quantizer_(std::move(quantizer)) {}

    const CompactQuantizer& quantizer() const { return quantizer_; }
    uint64_t dim() const { return quantizer_.dim(); }
    size_t code_size() const { return quantizer_.code_size_bytes(); }

    Result<std::vector<uint8_t>> encode(std::span<const float> vector) const {
        return quantizer_.encode(vector);
    }
    Summary empty_summary() const { return {}; }
    // InvariantFailure for a code this quantizer would not read.
    Summary summarize(std::span<const uint8_t> code) const {
        if (!quantizer_.check_code(code)) throw InvariantFailure("encoded code does not read back");
        return {};
    }

    Result<Prepared> prepare(std::span<const float> query) const {
        return quantizer_.prepare_query(query);
    }
    void scan(const Prepared& prepared, const Summary&, const uint8_t* codes, size_t n,
              float* scores) const {
        const kernels::CompactScanInputs inputs{prepared.rotated.data(), quantizer_.levels().levels,
                                                quantizer_.dim(), quantizer_.bits(), code_size()};
        kernels::compact_scan(inputs, codes, n, scores);
    }
    float score(const Prepared& prepared, std::span<const uint8_t> code) const {
        return quantizer_.score(prepared, code.data());
    }

private:
    CompactQuantizer quantizer_;
};

}  // namespace quillane
