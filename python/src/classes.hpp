// The Python classes, created once per process at registration.
#pragma once

#include "binding.hpp"

namespace quillane::py {

PyTypeObject* turbo_quantizer_type();  // builtins.TurboQuantizer
PyTypeObject* vector_index_type();     // builtins.VectorIndex
PyTypeObject* compact_quantizer_type();  // quillane.CompactQuantizer (the project's own classes live in quillane)
PyTypeObject* compact_index_type();      // quillane.CompactIndex
PyTypeObject* ivf_index_type();          // quillane.IvfIndex
PyTypeObject* graph_index_type();        // quillane.GraphIndex

// quillane.rerank(queries, candidates, vectors, top_k, *, metric="ip", threads=None)
PyObject* rerank_function(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace quillane::py
