// The batch methods both quantizer classes share: encode_batch, decode_batch and
// inner_product_batch over 2-D arrays, computed by the core's batch calls with the
// interpreter lock released. `Access` gives the instance's holds, its quantizer and
// the class name for messages.
#pragma once

#include <string>
#include <type_traits>

#include "arrays.hpp"
#include "batch/quantizers.hpp"
#include "binding.hpp"

namespace quillane::py {

template <class Access> struct QuantizerBatch {
    // The compact quantizer converts float arguments; the two-stage one takes them as given.
    static constexpr Floats FLOATS =
        std::is_same_v<std::remove_cvref_t<decltype(Access::quantizer(nullptr))>, CompactQuantizer> ? Floats::converted
                                                                                                   : Floats::exact;
    static std::string name(const char* method) { return std::string(Access::NAME) + "." + method + "()"; }

    static PyObject* encode_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            static constexpr Param params[] = {{"vectors", true}, {"threads", false, true}};
            PyObject* given[2];
            if (!bind_arguments(name("encode_batch").c_str(), params, args, kwargs, given)) return nullptr;
            Hold hold(Access::holds(self), Hold::Shared);
            if (!hold.held()) return nullptr;
            const auto threads = to_threads(given[1]);
            if (!threads) return nullptr;
            const auto& q = Access::quantizer(self);
            const size_t size = q.code_size_bytes();
            const auto vectors = read_matrix(given[0], "vectors", NPY_FLOAT, q.dim(), FLOATS);
            if (!vectors) return nullptr;
            const auto total = result_size(vectors->rows, size);
            if (!total) return nullptr;
            std::vector<uint8_t> codes(*total);
            const auto failure = without_gil([&] {
                return batch::encode(q, static_cast<const float*>(vectors->data), vectors->rows,
                                     codes.data(), *threads);
            });
            if (failure) {
                if constexpr (FLOATS == Floats::converted) {
                    raise_row_input_failure(*failure, static_cast<const float*>(vectors->data), q.dim(), "vectors");
                } else {
                    raise_row_failure(*failure);  // the two-stage family keeps its messages
                }
                return nullptr;
            }
            return to_matrix(std::move(codes), vectors->rows, size);
        });
    }

    static PyObject* decode_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            static constexpr Param params[] = {{"codes", true}, {"threads", false, true}};
            PyObject* given[2];
            if (!bind_arguments(name("decode_batch").c_str(), params, args, kwargs, given)) return nullptr;
            Hold hold(Access::holds(self), Hold::Shared);
            if (!hold.held()) return nullptr;
            const auto threads = to_threads(given[1]);
            if (!threads) return nullptr;
            const auto& q = Access::quantizer(self);
            const auto codes = read_matrix(given[0], "codes", NPY_UBYTE, q.code_size_bytes());
            if (!codes) return nullptr;
            const auto total = result_size(codes->rows, q.dim());
            if (!total) return nullptr;
            std::vector<float> vectors(*total);
            const auto failure = without_gil([&] {
                return batch::decode(q, static_cast<const uint8_t*>(codes->data), codes->rows,
                                     vectors.data(), *threads);
            });
            if (failure) {
                raise_row_failure(*failure);
                return nullptr;
            }
            return to_matrix(std::move(vectors), codes->rows, q.dim());
        });
    }

    static PyObject* inner_product_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            static constexpr Param params[] = {
                {"codes", true}, {"queries", true}, {"threads", false, true}};
            PyObject* given[3];
            if (!bind_arguments(name("inner_product_batch").c_str(), params, args, kwargs, given)) {
                return nullptr;
            }
            Hold hold(Access::holds(self), Hold::Shared);
            if (!hold.held()) return nullptr;
            const auto threads = to_threads(given[2]);
            if (!threads) return nullptr;
            const auto& q = Access::quantizer(self);
            const auto codes = read_matrix(given[0], "codes", NPY_UBYTE, q.code_size_bytes());
            if (!codes) return nullptr;
            const auto queries = read_matrix(given[1], "queries", NPY_FLOAT, q.dim(), FLOATS);
            if (!queries) return nullptr;
            const auto total = result_size(codes->rows, queries->rows);
            if (!total) return nullptr;
            std::vector<float> scores(*total);
            const auto failure = without_gil([&] {
                return batch::inner_product(q, static_cast<const uint8_t*>(codes->data), codes->rows,
                                            static_cast<const float*>(queries->data), queries->rows,
                                            scores.data(), *threads);
            });
            if (failure) {
                const std::string text = "row " + std::to_string(failure->row) + ", query " +
                                         std::to_string(failure->query) + ": " +
                                         failure->error.message();
                PyErr_SetString(PyExc_ValueError, text.c_str());
                return nullptr;
            }
            return to_matrix(std::move(scores), codes->rows, queries->rows);
        });
    }
};

}  // namespace quillane::py

// The method table entries of the batch methods, for QuantizerBatch<...> named Batch.
#define QL_QUANTIZER_BATCH_METHODS(Batch) \
    {"encode_batch", method(&Batch::encode_batch), METH_VARARGS | METH_KEYWORDS, \
     "encode_batch($self, vectors, *, threads=None)\n--\n\nEncode every row of a C-contiguous float32 array of shape (n, dim): a uint8 array of shape (n, code_size_bytes) whose row i is encode(vectors[i]). threads: None uses every core this process may run on, 1 the calling thread only; the result is the same either way. A refused row raises ValueError \"row i: ...\" for the lowest such row."}, \
    {"decode_batch", method(&Batch::decode_batch), METH_VARARGS | METH_KEYWORDS, \
     "decode_batch($self, codes, *, threads=None)\n--\n\nDecode every row of a C-contiguous uint8 array of shape (n, code_size_bytes): a float32 array of shape (n, dim) whose row i is decode(codes[i]). threads as for encode_batch."}, \
    {"inner_product_batch", method(&Batch::inner_product_batch), METH_VARARGS | METH_KEYWORDS, \
     "inner_product_batch($self, codes, queries, *, threads=None)\n--\n\nEstimates for every code (n, code_size_bytes) against every float32 query (m, dim): a float32 array of shape (n, m) whose entry [i, j] is inner_product(codes[i], queries[j]). threads as for encode_batch; a failure names the first failing pair in row-major order (\"row i, query j: ...\")."},
