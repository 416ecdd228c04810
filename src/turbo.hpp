// TurboQuantizer: rotation, then polar stage, then a QJL sketch of the residual.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "error.hpp"
#include "format/turbo_layout.hpp"
#include "polar.hpp"
#include "qjl.hpp"
#include "rotation.hpp"

namespace quillane {

struct TurboCode {
    PolarCode polar;
    QjlSketch qjl;

    // Byte form: see format/turbo_layout.hpp.
    std::vector<uint8_t> to_bytes() const;
    static Result<TurboCode> from_bytes(std::span<const uint8_t> bytes);

    friend bool operator==(const TurboCode&, const TurboCode&) = default;
};

// A query rotated and projected once, to score many codes with the bits that
// TurboQuantizer::inner_product gives for each of them.
struct PreparedQuery {
    std::vector<float> rotated;      // R q
    std::vector<float> projections;  // <P_j, R q> for every projection j
};

// Writer precondition of the envelope: the polar payload length must fit in 32 bits.
void check_polar_payload_size(uint64_t size);

class TurboQuantizer {
public:
    static constexpr uint64_t MAX_DIM = PolarQuantizer::MAX_DIM;
    static constexpr uint64_t MAX_PROJECTIONS = QjlQuantizer::MAX_PROJECTIONS;

    // Every parameter is checked before anything is built; throws std::bad_alloc
    // when the matrices do not fit in memory.
    static Result<TurboQuantizer> make(uint64_t dim, uint8_t bits, uint64_t num_projections,
                                       uint64_t seed);
    // The construction error these arguments give, without building anything.
    static Status check_parameters(uint64_t dim, uint8_t bits, uint64_t num_projections);

    Result<TurboCode> encode(std::span<const float> x) const;
    std::vector<float> decode(const TurboCode& code) const;
    Result<float> inner_product(const TurboCode& code, std::span<const float> query) const;

    // encode, then the byte form; a code whose residual norm overflowed to infinity could
    // never be read back, so it is refused with the reader's "norm is infinite".
    Result<std::vector<uint8_t>> encode_to_bytes(std::span<const float> x) const;

    // The same three operations through the plain scalar loops only: the reference
    // every vector path is measured and tested against.
    Result<TurboCode> encode_reference(std::span<const float> x) const;
    std::vector<float> decode_reference(const TurboCode& code) const;
    Result<float> inner_product_reference(const TurboCode& code,
                                          std::span<const float> query) const;

    // inner_product split in two: the query's checks, rotation and projections once,
    // then per code only the polar sum and the signed projection sum.
    Result<PreparedQuery> prepare_query(std::span<const float> query) const;
    Result<float> score(const TurboCode& code, const PreparedQuery& prepared) const;
    // A sketch from a quantizer with fewer projections lacks sign bits this one reads.
    Status check_sign_bytes(const TurboCode& code) const;

    const RandomRotation& rotation() const { return rotation_; }
    const PolarQuantizer& polar() const { return polar_; }
    const QjlQuantizer& qjl() const { return qjl_; }
    uint64_t dim() const { return dim_; }
    uint64_t num_projections() const { return num_projections_; }
    uint64_t seed() const { return seed_; }
    uint8_t bits() const { return bits_; }
    format::TurboLayout layout() const { return format::TurboLayout::of(dim_, num_projections_); }
    // The length of every code this quantizer writes.
    uint64_t code_size_bytes() const { return layout().size(); }

private:
    Status check_query(std::span<const float> query) const;
    // prepare_query after the query's own checks.
    Result<PreparedQuery> rotate_and_project(std::span<const float> query) const;
    // score after its check.
    float estimate(const TurboCode& code, const PreparedQuery& prepared) const;

    TurboQuantizer(RandomRotation rotation, PolarQuantizer polar, QjlQuantizer qjl, uint64_t dim,
                   uint64_t m, uint64_t seed, uint8_t bits)
        : rotation_(std::move(rotation)), polar_(std::move(polar)), qjl_(std::move(qjl)),
          dim_(dim), num_projections_(m), seed_(seed), bits_(bits) {}

    RandomRotation rotation_;
    PolarQuantizer polar_;
    QjlQuantizer qjl_;
    uint64_t dim_;
    uint64_t num_projections_;
    uint64_t seed_;
    uint8_t bits_;
};

}  // namespace quillane
