// The bounds of the integer first passes (index/compact_family, ivf/coarse) widen every
// norm they compute in double, so that no rounding of a sum of up to 2^16 terms, or of its
// root, can leave them below the truth, whatever the order of the sum.
#pragma once

namespace quillane {

inline double widen(double x) { return x * (1.0 + 1e-9) + 1e-300; }

}  // namespace quillane
