// CompactQuantizer: Hadamard rotation, then a Lloyd-Max code of every coordinate of
// the rotated unit vector, plus two scales. Fixed by (dim, bits, seed); its codes,
// decodings and scores use only +, -, *, / and sqrt, in the order written here and in
// docs/compact-format.md, so they are the same bits on every IEEE-754 machine.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "error.hpp"
#include "format/compact_format.hpp"
#include "compact/hadamard.hpp"
#include "compact/levels.hpp"

namespace quillane {

// A query rotated once, to score many codes.
struct CompactPrepared {
    std::vector<float> rotated;  // R q
};

class CompactQuantizer {
public:
    static constexpr uint64_t MAX_DIM = 65536;
    static constexpr uint8_t MAX_BITS = 8;

    static Result<CompactQuantizer> make(uint64_t dim, uint8_t bits, uint64_t seed);

    // The code's bytes. A vector whose rotation overflows float32 is refused as
    // non-finite input; one whose scales overflow, with "scale is infinite".
    Result<std::vector<uint8_t>> encode(std::span<const float> x) const;
    Result<std::vector<float>> decode(std::span<const uint8_t> code) const;
    Result<float> inner_product(std::span<const uint8_t> code, std::span<const float> query) const;

    // The reader's checks in order (format/compact_format.hpp), then that the code is
    // this quantizer's: dimension, bit width, fingerprint.
    Result<format::CompactHeader> check_code(std::span<const uint8_t> code) const;

    // inner_product split in two: the query's checks and rotation once, then per code
    // only the sum. `code` must have passed check_code.
    Result<CompactPrepared> prepare_query(std::span<const float> query) const;
    float score(const CompactPrepared& prepared, const uint8_t* code) const;
    // The same from a code's scale and packed codes wherever they lie.
    float score_parts(const CompactPrepared& prepared, float scale, const uint8_t* packed) const;
    // The sums of score_parts (before the scale) of n codes' packed codes, into dots[i]:
    // scored together, which the vector paths do faster than one by one.
    void dots(const CompactPrepared& prepared, const uint8_t* const* packed, size_t n, double* dots) const;

    uint64_t dim() const { return dim_; }
    uint8_t bits() const { return bits_; }
    uint64_t seed() const { return seed_; }
    uint32_t fingerprint() const { return fingerprint_; }
    format::CompactLayout layout() const { return {dim_, bits_}; }
    uint64_t code_size_bytes() const { return layout().size(); }
    const compact::HadamardRotation& rotation() const { return rotation_; }
    const compact::ScalarQuantizer& levels() const { return levels_; }

private:
    CompactQuantizer(uint64_t dim, uint8_t bits, uint64_t seed);

    uint64_t dim_;
    uint8_t bits_;
    uint64_t seed_;
    uint32_t fingerprint_;
    compact::HadamardRotation rotation_;
    const compact::ScalarQuantizer& levels_;
};

// The 32-bit fingerprint that ties a code to (dim, bits, seed).
uint32_t compact_fingerprint(uint64_t dim, uint8_t bits, uint64_t seed);

// sum_i level[c_i] * y_i: products in double (exact), summed as every compact sum is:
// term i into partial sum i % 8 (ascending i, from +0.0), combined as
// ((s0 + s1) + (s2 + s3)) + ((s4 + s5) + (s6 + s7)).
double compact_dot(const compact::ScalarQuantizer& q, const uint8_t* packed, size_t dim,
                   const float* y);

}  // namespace quillane
