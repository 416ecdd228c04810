// quillane.rerank: candidates of any search ordered by the exact metric on the original
// vectors; what search_batch(..., rerank=...) does after its search, for callers (the Dask
// layer) that gather candidates themselves.
#include "arrays.hpp"
#include "classes.hpp"
#include "construction.hpp"
#include "store_binding.hpp"

namespace quillane::py {

namespace {

// rerank's vectors must have a width: a one-dimensional or empty-width array says so.
PyObject* refuse_dimensionless(PyObject* given, const char* param) {
    if (!read_matrix(given, param, NPY_FLOAT, 1)) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;  // not an array, or not floating
        PyErr_Clear();
    }
    Ref shape(PyObject_GetAttrString(given, "shape"));
    if (!shape) return nullptr;
    PyErr_Format(PyExc_ValueError, "argument '%s': expected a two-dimensional array of shape (N, dim), dim >= 1, got "
                 "shape %R", param, shape.get());
    return nullptr;
}

}  // namespace

PyObject* rerank_function(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Param params[] = {{"queries", true},       {"candidates", true},   {"vectors", true},
                                           {"top_k", true},         {"metric", false, true}, {"threads", false, true}};
        PyObject* given[6];
        if (!bind_arguments("rerank()", params, args, kwargs, given)) return nullptr;
        const auto top_k = to_count(given[3], "top_k");
        if (!top_k) return nullptr;
        const auto metric = to_metric(given[4]);
        if (!metric) return nullptr;
        const auto threads = to_threads(given[5]);
        if (!threads) return nullptr;
        const size_t dim = matrix_width(given[2]);
        if (dim == 0) return refuse_dimensionless(given[2], "vectors");
        const auto vectors = read_matrix(given[2], "vectors", NPY_FLOAT, dim);
        if (!vectors) return nullptr;
        const auto queries = read_matrix(given[0], "queries", NPY_FLOAT, dim);
        if (!queries) return nullptr;
        const auto* rows = static_cast<const float*>(queries->data);
        for (size_t i = 0; i < queries->rows; ++i) {
            if (Status s = check_finite({rows + i * dim, dim}); !s) {
                PyErr_Format(PyExc_ValueError, "rerank(): row %zu: argument 'queries': %s", i, s.error().message().c_str());
                return nullptr;
            }
        }
        if (!refuse_unfit_rows({*metric, false}, rows, queries->rows, dim, true, "queries")) return nullptr;
        const size_t width = matrix_width(given[1]);
        const auto candidates = read_matrix(given[1], "candidates", NPY_ULONG, width);
        if (!candidates) return nullptr;
        if (candidates->rows != queries->rows) {
            PyErr_Format(PyExc_ValueError, "rerank(): %zu rows of candidates for %zu queries", candidates->rows,
                         queries->rows);
            return nullptr;
        }
        const size_t k = static_cast<size_t>(std::min<uint64_t>(*top_k, width));
        return reranked("rerank()", *metric, static_cast<const float*>(queries->data), queries->rows, dim,
                        static_cast<const uint64_t*>(candidates->data), width, static_cast<const float*>(vectors->data),
                        vectors->rows, k, *threads);
    });
}

}  // namespace quillane::py
