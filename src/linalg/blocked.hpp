// The rotation's factorisation reorganised for cache and vector lanes, through the
// chosen factorisation kernels. Every matrix element sees exactly the operations of
// the plain algorithm (householder.hpp), in the same order: a column receives the
// reflections (or elimination steps) of the columns before it in ascending order
// whether they are applied right after each column is factored or, as here, a block
// of columns at a time.
#pragma once

#include <cstddef>
#include <vector>

namespace quillane::linalg {

// householder_q's result, bit for bit.
std::vector<float> householder_q_blocked(std::vector<float> g, size_t n);
// determinant's value for n >= 4.
float lu_determinant_blocked(const std::vector<float>& q, size_t n);

}  // namespace quillane::linalg
