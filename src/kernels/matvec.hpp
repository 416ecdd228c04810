// Matrix-vector products whose every output is a strictly sequential sum from -0.0.
// Outputs are independent, so a vector path gives each output its own lane, each lane
// summing its own row in column order: the bits of the scalar loop.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace quillane::kernels {

// out[i] = sum over k = 0 .. inner-1 of a[k * stride + i] * x[k], for i < outputs,
// accumulated from -0.0 in ascending k. The plain loop every fast path must match.
void strided_matvec_reference(const float* a, size_t stride, size_t outputs, size_t inner,
                              const float* x, float* out);

// The same product with the matrix stored in panels of up to 32 outputs: for each
// panel, row k holds its outputs' coefficients contiguously, so a panel streams
// through memory once while its lanes accumulate.
class LaneMatrix {
public:
    struct Panel {
        size_t first_output;
        size_t width;   // 8, 16, 24 or 32 lanes; lanes past outputs hold zeros
        size_t offset;  // into data()
    };

    LaneMatrix() = default;
    // Copies the matrix given in the strided form above.
    LaneMatrix(const float* a, size_t stride, size_t outputs, size_t inner);

    // Through the chosen kernels (dispatch.hpp).
    void multiply(std::span<const float> x, float* out) const;

    const float* data() const { return data_.data(); }
    const std::vector<Panel>& panels() const { return panels_; }
    size_t outputs() const { return outputs_; }
    size_t inner() const { return inner_; }

private:
    std::vector<float> data_;
    std::vector<Panel> panels_;
    size_t outputs_ = 0;
    size_t inner_ = 0;
};

}  // namespace quillane::kernels
