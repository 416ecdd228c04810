// The methods both index classes share, generic over the core index type: the
// instance layout, add, search, len and dealloc. Each class file adds its
// constructor, repr, docstrings and type spec.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "arrays.hpp"
#include "binding.hpp"
#include "index/compact_family.hpp"
#include "index/flat_index.hpp"
#include "index/turbo_family.hpp"
#include "index/metric.hpp"
#include "io/index_file.hpp"
#include "io/graph_file.hpp"
#include "io/ivf_file.hpp"

namespace quillane::py {

// The readers of each index type's files, chosen by a tag of the type.
template <class Family>
io::FileResult<FlatIndex<Family>> load_file(std::type_identity<FlatIndex<Family>>, const std::string& path, bool map,
                                            bool verify) {
    return io::load_index<Family>(path, map, verify);
}
template <class Family>
io::FileResult<FlatIndex<Family>> read_bytes(std::type_identity<FlatIndex<Family>>, std::span<const uint8_t> data,
                                             bool verify) {
    return io::read_index<Family>(data, verify);
}
inline io::FileResult<ivf::IvfIndex> load_file(std::type_identity<ivf::IvfIndex>, const std::string& path, bool map,
                                               bool verify) {
    return io::load_ivf_index(path, map, verify);
}
inline io::FileResult<ivf::IvfIndex> read_bytes(std::type_identity<ivf::IvfIndex>, std::span<const uint8_t> data,
                                                bool verify) {
    return io::read_ivf_index(data, verify);
}
inline io::FileResult<graph::GraphIndex> load_file(std::type_identity<graph::GraphIndex>, const std::string& path,
                                                   bool map, bool verify) {
    return io::load_graph_index(path, map, verify);
}
inline io::FileResult<graph::GraphIndex> read_bytes(std::type_identity<graph::GraphIndex>,
                                                    std::span<const uint8_t> data, bool verify) {
    return io::read_graph_index(data, verify);
}

// The project's own index classes (all but the specified VectorIndex): they pad short
// results with NO_ID, and so refuse it as a stored id, and name the argument in every refusal.
template <class Index> constexpr bool project_class = true;
template <> inline constexpr bool project_class<FlatIndex<TurboFamily>> = false;
// How each index class takes float arguments: the specified class exactly as given.
template <class Index> constexpr Floats floats_of = project_class<Index> ? Floats::converted : Floats::exact;

inline std::string padding_id_message(size_t row, bool batch) {
    return (batch ? "row " + std::to_string(row) + ": " : std::string()) +
           "id 18446744073709551615 is quillane.NO_ID, which marks padding in search results and cannot be stored";
}

template <class Index> Metric metric_of(const Index& index) {
    if constexpr (requires { index.metric(); }) {
        return index.metric();
    } else if constexpr (requires { index.family().metric(); }) {
        return index.family().metric();
    } else {
        return Metric::ip;
    }
}

// What an index takes beyond finite values of its dimension: under cosine no zero vector;
// under l2 a flat index keeps f32(|x|^2), so that square must be finite; an inverted file
// multiplies vectors, centroids and queries in float32 (under ip and l2), so norms are kept
// within 2^62, which keeps every product, squared norm and estimate within 2^126.
struct Fit {
    Metric metric = Metric::ip;
    bool inverted_file = false;
};
template <class Index> Fit fit_of(const Index& index) {
    return {metric_of(index), std::is_same_v<Index, ivf::IvfIndex>};
}
inline constexpr double INVERTED_FILE_SQUARED_NORM_LIMIT = 0x1p124;

// A number in three significant digits, for messages (PyErr_Format has no %g).
inline std::string short_number(double x) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", x);
    return text;
}

// ValueError for the first row (in order, up to the first with a non-finite value, which the
// index refuses as it always has) that the index cannot take, with "row i: " before it for a
// batch's rows.
inline bool refuse_unfit_rows(Fit fit, const float* rows, size_t n, size_t dim, bool batch, const char* param) {
    if (fit.metric == Metric::ip && !fit.inverted_file) return true;
    for (size_t i = 0; i < n; ++i) {
        const float* x = rows + i * dim;
        if (!check_finite({x, dim})) return true;
        const std::string row = batch ? "row " + std::to_string(i) + ": " : "";
        if (fit.metric == Metric::cosine) {
            if (!all_zero(x, dim)) continue;
            PyErr_Format(PyExc_ValueError, "%sa vector whose every value is zero has no direction: the cosine "
                         "metric cannot store or search it", row.c_str());
            return false;
        }
        const double square = squared_norm(x, dim);
        if (fit.inverted_file && square > INVERTED_FILE_SQUARED_NORM_LIMIT) {
            PyErr_Format(PyExc_ValueError, "%sargument '%s': its norm (%s) exceeds 2**62 (about 4.6e18), beyond "
                         "which an inverted file's products overflow float32: scale the vectors down",
                         row.c_str(), param, short_number(std::sqrt(square)).c_str());
            return false;
        }
        if (fit.metric == Metric::l2 && std::isinf(static_cast<float>(square))) {
            PyErr_Format(PyExc_ValueError, "%sargument '%s': its squared norm (%s) exceeds the float32 range, in "
                         "which the l2 metric keeps it: scale the vectors down", row.c_str(), param,
                         short_number(square).c_str());
            return false;
        }
    }
    return true;
}
// The same for one vector of the index's dimension (any other is refused by the index).
inline bool refuse_unfit_vector(Fit fit, std::span<const float> v, size_t dim, const char* param) {
    return v.size() != dim || refuse_unfit_rows(fit, v.data(), 1, dim, false, param);
}

// (ids, scores) of one ranked row, as two arrays.
inline PyObject* ranked_arrays(const std::vector<Scored>& scored) {
    std::vector<uint64_t> ids(scored.size());
    std::vector<float> scores(scored.size());
    for (size_t i = 0; i < scored.size(); ++i) {
        ids[i] = scored[i].id;
        scores[i] = scored[i].score;
    }
    Ref ids_array(to_array(std::move(ids)));
    if (!ids_array) return nullptr;
    Ref scores_array(to_array(std::move(scores)));
    if (!scores_array) return nullptr;
    return PyTuple_Pack(2, ids_array.get(), scores_array.get());
}

// The (ids, scores) pair of rows x width matrices, or nullptr with an exception set.
inline PyObject* id_score_matrices(std::vector<uint64_t> ids, std::vector<float> scores, size_t rows, size_t width) {
    Ref ids_array(to_matrix(std::move(ids), rows, width));
    if (!ids_array) return nullptr;
    Ref scores_array(to_matrix(std::move(scores), rows, width));
    if (!scores_array) return nullptr;
    return PyTuple_Pack(2, ids_array.get(), scores_array.get());
}

// The (ids, scores) matrices of `rows` searches of min(top_k, size) entries each, filled
// by search(ids, scores) without the interpreter lock; or its lowest failing row raised.
template <class Search> PyObject* batch_results(size_t rows, uint64_t top_k, size_t size, Search&& search) {
    const size_t k = static_cast<size_t>(std::min<uint64_t>(top_k, size));
    const auto total = result_size(rows, k);
    if (!total) return nullptr;
    std::vector<uint64_t> ids(*total);
    std::vector<float> scores(*total);
    const auto failure = without_gil([&] { return search(ids.data(), scores.data()); });
    if (failure) {
        raise_row_failure(*failure);
        return nullptr;
    }
    return id_score_matrices(std::move(ids), std::move(scores), rows, k);
}

// `Names::add`, `Names::search`, `Names::add_batch` and `Names::search_batch` are the
// qualified method names for messages.
template <class Index, class Names> struct IndexBinding {
    struct Object {
        PyObject_HEAD
        alignas(Index) unsigned char storage[sizeof(Index)];
        HoldCounter holds;

        Index& value() { return *std::launder(reinterpret_cast<Index*>(storage)); }
    };

    static Object* self_of(PyObject* self) { return reinterpret_cast<Object*>(self); }

    // A new instance holding an index of `quantizer`.
    template <class Quantizer> static PyObject* create(PyTypeObject* type, Quantizer&& quantizer) {
        PyObject* self = alloc_instance(type);
        if (self == nullptr) return nullptr;
        auto* obj = self_of(self);
        new (obj->storage) Index(std::forward<Quantizer>(quantizer));
        new (&obj->holds) HoldCounter();
        return self;
    }

    // A new instance holding `index`.
    static PyObject* adopt(PyTypeObject* type, Index&& index) {
        PyObject* self = alloc_instance(type);
        if (self == nullptr) return nullptr;
        auto* obj = self_of(self);
        new (obj->storage) Index(std::move(index));
        new (&obj->holds) HoldCounter();
        return self;
    }

    static void dealloc(PyObject* self) {
        auto* obj = self_of(self);
        obj->value().~Index();
        obj->holds.~HoldCounter();
        free_instance(self);
    }

    static PyObject* add(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            static constexpr Param params[] = {{"id", true}, {"vector", true}};
            PyObject* given[2];
            if (!bind_arguments(Names::add, params, args, kwargs, given)) return nullptr;
            auto* obj = self_of(self);
            Hold hold(obj->holds, Hold::Exclusive);
            if (!hold.held() || !refuse_read_only(obj->value())) return nullptr;
            // VectorIndex keeps its specified messages.
            const auto id = project_class<Index> ? to_count(given[0], "id") : to_u64(given[0], "id");
            if (!id) return nullptr;
            std::optional<ArrayArg> vector = project_class<Index>
                              ? read_vector(given[1], "vector", NPY_FLOAT, obj->value().quantizer().dim())
                              : read_array(given[1], "vector", NPY_FLOAT);
            if (!vector) return nullptr;
            if (project_class<Index> && !require_length(*vector, obj->value().quantizer().dim(), "vector")) return nullptr;
            if (!(project_class<Index> ? require_contiguous(*vector, "vector") : require_contiguous(*vector))) {
                return nullptr;
            }
            const Index& index = obj->value();
            if (project_class<Index> && *id == NO_ID) {
                PyErr_Format(PyExc_ValueError, "%s: %s", Names::add, padding_id_message(0, false).c_str());
                return nullptr;
            }
            if (!refuse_unfit_vector(fit_of(index), vector->elements<float>(), index.quantizer().dim(), "vector")) {
                return nullptr;
            }
            if (auto added = obj->value().add(*id, vector->elements<float>()); !added) {
                if (project_class<Index>) {
                    raise_input_failure(added.error(), vector->elements<float>(), "vector");
                } else {
                    raise_quant_error(added.error());
                }
                return nullptr;
            }
            Py_RETURN_NONE;
        });
    }

    static PyObject* search(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            static constexpr Param params[] = {{"query", true}, {"top_k", true}};
            PyObject* given[2];
            if (!bind_arguments(Names::search, params, args, kwargs, given)) return nullptr;
            auto* obj = self_of(self);
            Hold hold(obj->holds, Hold::Shared);
            if (!hold.held()) return nullptr;
            auto query = read_array(given[0], "query", NPY_FLOAT);
            if (!query) return nullptr;
            const auto top_k = to_u64(given[1], "top_k");
            if (!top_k || !require_contiguous(*query)) return nullptr;
            auto scored = obj->value().search(query->elements<float>(), *top_k);
            if (!scored) {
                raise_quant_error(scored.error());
                return nullptr;
            }
            return ranked_arrays(*scored);
        });
    }

    // Every row as add would, all or nothing, with the interpreter lock released.
    static PyObject* add_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            static constexpr Param params[] = {{"ids", true}, {"vectors", true}, {"threads", false, true}};
            PyObject* given[3];
            if (!bind_arguments(Names::add_batch, params, args, kwargs, given)) return nullptr;
            auto* obj = self_of(self);
            Hold hold(obj->holds, Hold::Exclusive);
            if (!hold.held() || !refuse_read_only(obj->value())) return nullptr;
            const auto threads = to_threads(given[2]);
            if (!threads) return nullptr;
            Index& index = obj->value();
            const auto vectors = read_matrix(given[1], "vectors", NPY_FLOAT, index.quantizer().dim(), floats_of<Index>);
            if (!vectors) return nullptr;
            const auto ids = read_ids(given[0], "ids", vectors->rows, project_class<Index>);
            if (!ids) return nullptr;
            for (size_t i = 0; project_class<Index> && i < ids->size(); ++i) {
                if ((*ids)[i] == NO_ID) {
                    PyErr_Format(PyExc_ValueError, "%s: %s", Names::add_batch, padding_id_message(i, true).c_str());
                    return nullptr;
                }
            }
            const auto* rows = static_cast<const float*>(vectors->data);
            const size_t dim = index.quantizer().dim();
            if (!refuse_unfit_rows(fit_of(index), rows, vectors->rows, dim, true, "vectors")) return nullptr;
            const auto failure = without_gil([&] { return index.add_batch(ids->data(), rows, vectors->rows, *threads); });
            if (failure) {
                if (project_class<Index>) {
                    raise_row_input_failure(*failure, rows, dim, "vectors");
                } else {
                    raise_row_failure(*failure);
                }
                return nullptr;
            }
            Py_RETURN_NONE;
        });
    }

    // Row i of each result is search(queries[i], top_k), with the interpreter lock released.
    static PyObject* search_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            static constexpr Param params[] = {{"queries", true}, {"top_k", true}, {"threads", false, true}};
            PyObject* given[3];
            if (!bind_arguments(Names::search_batch, params, args, kwargs, given)) return nullptr;
            auto* obj = self_of(self);
            Hold hold(obj->holds, Hold::Shared);
            if (!hold.held()) return nullptr;
            const auto top_k = to_u64(given[1], "top_k");
            if (!top_k) return nullptr;
            const auto threads = to_threads(given[2]);
            if (!threads) return nullptr;
            const Index& index = obj->value();
            const auto queries = read_matrix(given[0], "queries", NPY_FLOAT, index.quantizer().dim(), floats_of<Index>);
            if (!queries) return nullptr;
            return batch_results(queries->rows, *top_k, index.size(), [&](uint64_t* ids, float* scores) {
                return index.search_batch(static_cast<const float*>(queries->data), queries->rows, *top_k,
                                          *threads, ids, scores);
            });
        });
    }

    // `change`: what the caller wanted to do, as the message ends ("add to it").
    static bool refuse_read_only(const Index& index, const char* change = "add to it") {
        if (!index.read_only()) return true;
        PyErr_Format(PyExc_ValueError,
                     "this index is memory-mapped from a file and read-only; load it with "
                     "mmap=False to %s", change);
        return false;
    }

    // Writes the index file atomically, without the interpreter lock.
    static PyObject* save(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            static constexpr Param params[] = {{"path", true}};
            PyObject* given[1];
            if (!bind_arguments(Names::save, params, args, kwargs, given)) return nullptr;
            auto* obj = self_of(self);
            Hold hold(obj->holds, Hold::Shared);
            if (!hold.held()) return nullptr;
            const auto path = to_path(given[0]);
            if (!path) return nullptr;
            const Index& index = obj->value();
            const auto saved = without_gil([&] { return io::save_index(index, *path); });
            if (!saved) return raise_file_error(saved.error(), *path);
            Py_RETURN_NONE;
        });
    }

    // The index file's bytes.
    static PyObject* to_bytes(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            PyObject* given[1];
            if (!bind_arguments(Names::to_bytes, {}, args, kwargs, given)) return nullptr;
            auto* obj = self_of(self);
            Hold hold(obj->holds, Hold::Shared);
            if (!hold.held()) return nullptr;
            const Index& index = obj->value();
            const uint64_t size = io::image_size(index);
            if (size > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
            Ref bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
            if (!bytes) return nullptr;
            auto* out = reinterpret_cast<uint8_t*>(PyBytes_AsString(bytes.get()));
            if (out == nullptr) return nullptr;
            without_gil([&] {
                io::write_index(index, out);
                return 0;
            });
            return bytes.release();
        });
    }

    // cls.load(path, *, mmap=False, verify=True)
    static PyObject* load(PyObject* cls, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            static constexpr Param params[] = {{"path", true}, {"mmap", false, true}, {"verify", false, true}};
            PyObject* given[3];
            if (!bind_arguments(Names::load, params, args, kwargs, given)) return nullptr;
            const auto path = to_path(given[0]);
            if (!path) return nullptr;
            const int map = given[1] ? PyObject_IsTrue(given[1]) : 0;
            if (map < 0) return nullptr;
            const int verify = given[2] ? PyObject_IsTrue(given[2]) : 1;
            if (verify < 0) return nullptr;
            auto loaded = without_gil([&] { return load_file(std::type_identity<Index>{}, *path, map, verify); });
            if (!loaded) return raise_file_error(loaded.error(), *path);
            return adopt(reinterpret_cast<PyTypeObject*>(cls), std::move(*loaded));
        });
    }

    // cls.from_bytes(data, *, verify=True): data is bytes or bytearray.
    static PyObject* from_bytes(PyObject* cls, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            static constexpr Param params[] = {{"data", true}, {"verify", false, true}};
            PyObject* given[2];
            if (!bind_arguments(Names::from_bytes, params, args, kwargs, given)) return nullptr;
            const int verify = given[1] ? PyObject_IsTrue(given[1]) : 1;
            if (verify < 0) return nullptr;
            const uint8_t* data = nullptr;
            Py_ssize_t size = 0;
            if (PyBytes_Check(given[0])) {
                char* p = nullptr;
                if (PyBytes_AsStringAndSize(given[0], &p, &size) < 0) return nullptr;
                data = reinterpret_cast<const uint8_t*>(p);
            } else if (PyByteArray_Check(given[0])) {
                data = reinterpret_cast<const uint8_t*>(PyByteArray_AsString(given[0]));
                size = PyByteArray_Size(given[0]);
            } else {
                PyErr_Format(PyExc_TypeError, "argument 'data': expected bytes or bytearray, got '%s'",
                             type_qualname(given[0]).c_str());
                return nullptr;
            }
            // Read with the lock held: the bytes object cannot change meanwhile.
            auto loaded = read_bytes(std::type_identity<Index>{}, {data, static_cast<size_t>(size)}, verify);
            if (!loaded) return raise_file_error(loaded.error(), "");
            return adopt(reinterpret_cast<PyTypeObject*>(cls), std::move(*loaded));
        });
    }

    // Pickling and copying go through the file bytes:
    // (quillane._index_from_bytes, (class name, bytes)).
    static PyObject* reduce(PyObject* self, PyObject*) {
        return guarded([&]() -> PyObject* {
            Ref empty(PyTuple_New(0));
            if (!empty) return nullptr;
            Ref bytes(to_bytes(self, empty.get(), nullptr));
            if (!bytes) return nullptr;
            Ref module(PyImport_ImportModule("quillane"));
            if (!module) return nullptr;
            Ref restore(PyObject_GetAttrString(module.get(), "_index_from_bytes"));
            if (!restore) return nullptr;
            return Py_BuildValue("O(sO)", restore.get(), Names::class_name, bytes.get());
        });
    }

    static Py_ssize_t len(PyObject* self) {
        auto* obj = self_of(self);
        Hold hold(obj->holds, Hold::Shared);
        if (!hold.held()) return -1;
        return static_cast<Py_ssize_t>(obj->value().size());
    }

    // A getter's value from the held index.
    template <class Get> static PyObject* get(PyObject* self, Get value) {
        return guarded([&]() -> PyObject* {
            auto* obj = self_of(self);
            Hold hold(obj->holds, Hold::Shared);
            if (!hold.held()) return nullptr;
            return value(obj->value());
        });
    }

    // repr text from the held index, or nullptr with the hold's error set.
    template <class Text> static PyObject* repr(PyObject* self, Text text) {
        auto* obj = self_of(self);
        Hold hold(obj->holds, Hold::Shared);
        if (!hold.held()) return nullptr;
        return PyUnicode_FromString(text(obj->value()).c_str());
    }
};

}  // namespace quillane::py

// The qualified method names of an index class, for messages; CLASS a string literal.
#define QL_INDEX_NAMES(CLASS)                                             \
    struct Names {                                                        \
        static constexpr const char* class_name = CLASS;                  \
        static constexpr const char* add = CLASS ".add()";                \
        static constexpr const char* search = CLASS ".search()";          \
        static constexpr const char* add_batch = CLASS ".add_batch()";    \
        static constexpr const char* search_batch = CLASS ".search_batch()"; \
        static constexpr const char* save = CLASS ".save()";              \
        static constexpr const char* to_bytes = CLASS ".to_bytes()";      \
        static constexpr const char* load = CLASS ".load()";              \
        static constexpr const char* from_bytes = CLASS ".from_bytes()";  \
        static constexpr const char* remove = CLASS ".remove()";          \
        static constexpr const char* reconstruct = CLASS ".reconstruct()"; \
    }

// The method table entry of the flat search_batch without filters (VectorIndex's).
#define QL_INDEX_SEARCH_BATCH \
    {"search_batch", method(&Binding::search_batch), METH_VARARGS | METH_KEYWORDS, \
     "search_batch($self, queries, top_k, *, threads=None)\n--\n\nSearch every row of a C-contiguous float32 array of shape (m, dim).\n\nReturns:\n    Tuple of (ids: numpy uint64 array, scores: numpy float32 array), both of shape (m, k) with k = min(top_k, len(index)); row i equals search(queries[i], top_k). threads as for add_batch."},

// The method table entries of both flat index classes after add and search.
#define QL_INDEX_SHARED_METHODS(CLASS) \
    {"add_batch", method(&Binding::add_batch), METH_VARARGS | METH_KEYWORDS, \
     "add_batch($self, ids, vectors, *, threads=None)\n--\n\nAdd every row of a C-contiguous float32 array of shape (n, dim) under the matching id of a one-dimensional integer array of n ids, as n calls of add would, all or nothing: a refused row (ValueError \"row i: ...\", the lowest such row) adds nothing. threads: None uses every core this process may run on, 1 the calling thread only; the index is the same either way."}, \
    {"save", method(&Binding::save), METH_VARARGS | METH_KEYWORDS, \
     "save($self, path)\n--\n\nWrite the index to a file, atomically: the path holds the old file or the new one, never a part (docs/index-file-format.md)."}, \
    {"to_bytes", method(&Binding::to_bytes), METH_VARARGS | METH_KEYWORDS, \
     "to_bytes($self)\n--\n\nThe bytes of the index file that save writes."}, \
    {"load", method(&Binding::load), METH_VARARGS | METH_KEYWORDS | METH_CLASS, \
     "load($cls, path, *, mmap=False, verify=True)\n--\n\nThe " CLASS " in an index file. mmap=True scans the codes straight from the mapped file (the index is then read-only); verify=False skips the body checksum and the check of every record, for fast opening of trusted files. A file that is not a valid " CLASS " file raises ValueError saying what is wrong. mmap=False reads the file into memory of its own, so a file changed meanwhile raises an error. With mmap=True, a file truncated while mapped ends the process (SIGBUS) at the next search: replace mapped files only through save, which writes a new file and renames it over the old."}, \
    {"from_bytes", method(&Binding::from_bytes), METH_VARARGS | METH_KEYWORDS | METH_CLASS, \
     "from_bytes($cls, data, *, verify=True)\n--\n\nThe " CLASS " in the bytes of an index file (bytes or bytearray)."}, \
    {"__reduce__", method(&Binding::reduce), METH_NOARGS, "Pickling and copying, through to_bytes and from_bytes."},
