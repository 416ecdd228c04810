// QJL stage: signs of m Gaussian projections of the residual, plus its norm.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "error.hpp"
#include "kernels/matvec.hpp"

namespace quillane {

struct QjlSketch {
    std::vector<uint8_t> signs;  // bit j = bit (j % 8) of byte j / 8, set when projection j >= 0
    uint64_t num_projections = 0;
    float norm = 0.0f;

    // Byte form: see format/turbo_layout.hpp.
    std::vector<uint8_t> to_bytes() const;
    static Result<QjlSketch> from_bytes(std::span<const uint8_t> bytes);
};

// Equal when the norm has the same bit pattern.
bool operator==(const QjlSketch& a, const QjlSketch& b);

class QjlQuantizer {
public:
    static constexpr uint64_t MAX_PROJECTIONS = 65535;

    // Does not check dim: the quantizer has accepted it already.
    static Result<QjlQuantizer> make(uint64_t dim, uint64_t num_projections, uint64_t seed);

    Result<QjlSketch> sketch(std::span<const float> residual) const;
    // Needs at least ceil(m / 8) sign bytes; the caller guarantees it.
    Result<float> estimate(const QjlSketch& sketch, std::span<const float> y) const;

    // sum over j of +-projections[j] by the sketch's sign bits, from +0.0 in ascending j:
    // the sum that qjl_correction (estimate.hpp) scales.
    float signed_sum(const QjlSketch& sketch, std::span<const float> projections) const;

    // <P_j, v>, sequential from -0.0.
    float project(size_t j, std::span<const float> v) const;
    // Every <P_j, v> at once (the same bits as project, computed in lanes).
    std::vector<float> project_all(std::span<const float> v) const;

    const std::vector<float>& projection_matrix() const { return projection_matrix_; }
    uint64_t dim() const { return dim_; }
    uint64_t num_projections() const { return num_projections_; }
    uint64_t seed() const { return seed_; }
    size_t sign_bytes() const { return (num_projections_ + 7) / 8; }

private:
    QjlQuantizer(std::vector<float> p, uint64_t dim, uint64_t m, uint64_t seed);

    std::vector<float> projection_matrix_;
    kernels::LaneMatrix lanes_;  // the projections of one vector in lanes
    uint64_t dim_;
    uint64_t num_projections_;
    uint64_t seed_;
};

}  // namespace quillane
