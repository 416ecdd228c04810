// The Python classes, created once per process at registration.
#pragma once

#include "binding.hpp"

namespace quillane::py {

PyTypeObject* turbo_quantizer_type();  // builtins.TurboQuantizer
PyTypeObject* vector_index_type();     // builtins.VectorIndex
PyTypeObject* compact_quantizer_type();  // builtins.CompactQuantizer
PyTypeObject* compact_index_type();      // builtins.CompactIndex
PyTypeObject* ivf_index_type();          // builtins.IvfIndex

}  // namespace quillane::py
