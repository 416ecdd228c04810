#include "matvec.hpp"

#include <algorithm>

#include "dispatch.hpp"

namespace quillane::kernels {

void strided_matvec_reference(const float* a, size_t stride, size_t outputs, size_t inner,
                              const float* x, float* out) {
    for (size_t i = 0; i < outputs; ++i) {
        float acc = -0.0f;
        for (size_t k = 0; k < inner; ++k) acc = acc + a[k * stride + i] * x[k];
        out[i] = acc;
    }
}

LaneMatrix::LaneMatrix(const float* a, size_t stride, size_t outputs, size_t inner)
    : outputs_(outputs), inner_(inner) {
    const size_t padded = (outputs + 7) / 8 * 8;
    data_.assign(padded * inner, 0.0f);
    size_t offset = 0;
    for (size_t first = 0; first < padded; first += 32) {
        const size_t width = std::min<size_t>(32, padded - first);
        panels_.push_back({first, width, offset});
        for (size_t k = 0; k < inner; ++k) {
            for (size_t l = 0; l < width && first + l < outputs; ++l) {
                data_[offset + k * width + l] = a[k * stride + first + l];
            }
        }
        offset += width * inner;
    }
}

void LaneMatrix::multiply(std::span<const float> x, float* out) const {
    active().lane_multiply(*this, x.data(), out);
}

}  // namespace quillane::kernels
