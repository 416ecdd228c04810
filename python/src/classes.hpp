// The two Python classes, created once per process at registration.
#pragma once

#include "binding.hpp"
#include "turbo.hpp"

namespace quillane::py {

PyTypeObject* turbo_quantizer_type();  // builtins.TurboQuantizer
PyTypeObject* vector_index_type();     // builtins.VectorIndex

// "norm is infinite": a code that could never be read back is refused at encoding.
bool refuse_unreadable(const TurboCode& code);

}  // namespace quillane::py
