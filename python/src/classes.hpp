// The two Python classes, created once per process at registration.
#pragma once

#include "binding.hpp"

namespace quillane::py {

PyTypeObject* turbo_quantizer_type();  // builtins.TurboQuantizer
PyTypeObject* vector_index_type();     // builtins.VectorIndex

}  // namespace quillane::py
