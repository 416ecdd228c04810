// Codebook: 2^bits Lloyd-Max levels for N(0, 1) after exactly 30 rounds.
#pragma once

#include <cstdint>
#include <vector>

#include "error.hpp"

namespace quillane {

class Codebook {
public:
    static Result<Codebook> make(uint8_t bits);

    // Number of boundaries strictly below `value`, by the fixed bisection.
    uint16_t quantize(float value) const;
    // The level at min(index, levels - 1).
    float dequantize(uint16_t index) const;

    const std::vector<float>& levels() const { return levels_; }
    const std::vector<float>& boundaries() const { return boundaries_; }
    uint8_t bits() const { return bits_; }

private:
    Codebook(std::vector<float> levels, std::vector<float> boundaries, uint8_t bits)
        : levels_(std::move(levels)), boundaries_(std::move(boundaries)), bits_(bits) {}

    std::vector<float> levels_;
    std::vector<float> boundaries_;
    uint8_t bits_;
};

// The float32 density, distribution function and erf approximation the fit uses.
float normal_pdf(float x);
float normal_cdf(float x);
float erf_approx(float z);
float cell_centroid(float lo, float hi);

}  // namespace quillane
