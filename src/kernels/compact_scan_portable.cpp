// The compact scan as plain loops: the portable path.
#include "compact/quantizer.hpp"
#include "compact_scan.hpp"
#include "dispatch.hpp"
#include "implementations.hpp"

namespace quillane::kernels {

void compact_scan(const CompactScanInputs& in, const uint8_t* codes, size_t n, float* scores) {
    active().compact_scan(in, codes, n, scores);
}

namespace portable {

void compact_scan(const CompactScanInputs& in, const uint8_t* codes, size_t n, float* scores) {
    const compact::ScalarQuantizer q{in.levels, nullptr, in.bits};
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* code = codes + i * in.stride;
        const double dot = compact_dot(q, code + format::CompactLayout::packed, in.dim, in.rotated);
        scores[i] = static_cast<float>(static_cast<double>(format::code_scale(code)) * dot);
    }
}

}  // namespace portable

}  // namespace quillane::kernels
