// LaneMatrix products as scalar loops over the panels: the portable path.
#include "implementations.hpp"
#include "matvec.hpp"

namespace quillane::kernels::portable {

void lane_multiply(const LaneMatrix& m, const float* x, float* out) {
    for (const LaneMatrix::Panel& p : m.panels()) {
        const float* base = m.data() + p.offset;
        for (size_t l = 0; l < p.width && p.first_output + l < m.outputs(); ++l) {
            float acc = -0.0f;
            for (size_t k = 0; k < m.inner(); ++k) acc = acc + base[k * p.width + l] * x[k];
            out[p.first_output + l] = acc;
        }
    }
}

}  // namespace quillane::kernels::portable
