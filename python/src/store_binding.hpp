// What both compact index classes offer as the store of an application, beside add and
// search: remove, the stored ids, `id in index` and reconstruct.
#pragma once

#include <span>
#include <vector>

#include "arrays.hpp"
#include "binding.hpp"
#include "index/compact_family.hpp"
#include "index/flat_index.hpp"
#include "index/allow.hpp"
#include "index/id_map.hpp"
#include "index/rerank.hpp"
#include "index_binding.hpp"
#include "graph/graph_index.hpp"
#include "ivf/ivf_index.hpp"

namespace quillane::py {

// The ids in insertion order, and where each is: the entry numbers that each index's
// decode takes (positions of a flat index, insertion numbers of an inverted file).
inline std::span<const uint64_t> stored_ids(const FlatIndex<CompactFamily>& index) { return index.id_list(); }
inline std::span<const uint64_t> stored_ids(const ivf::IvfIndex& index) { return index.ids(); }
inline const IdMap& id_map_of(const FlatIndex<CompactFamily>& index) { return index.id_map(); }
inline const IdMap& id_map_of(const ivf::IvfIndex& index) { return index.lookup().ids; }
inline std::span<const uint64_t> stored_ids(const graph::GraphIndex& index) { return index.flat().id_list(); }
inline const IdMap& id_map_of(const graph::GraphIndex& index) { return index.flat().id_map(); }

// ValueError naming `function` and the first of `count` candidate ids (NO_ID skipped) with
// no row among the `rows` of `vectors`, or whose row cannot be ranked by `metric`; the
// array is called `array` ("vectors"), one of its rows `row` ("the vector").
inline bool refuse_ids_without_fit_rows(const char* function, const char* array, const char* row, Metric metric,
                                        const uint64_t* candidates, size_t count, const float* vectors, size_t rows,
                                        size_t dim) {
    if (const auto bad = first_id_without_row(candidates, count, rows)) {
        PyErr_Format(PyExc_ValueError,
                     "%s: id %llu has no row in %s, which have %zu rows (row i must hold the vector stored under id i)",
                     function, static_cast<unsigned long long>(*bad), array, rows);
        return false;
    }
    if (const auto bad = first_id_with_unfit_row(metric, candidates, count, vectors, dim)) {
        const bool finite = check_finite({vectors + *bad * dim, dim}).has_value();
        PyErr_Format(PyExc_ValueError, "%s: %s of id %llu (its row %llu) %s", function, row,
                     static_cast<unsigned long long>(*bad), static_cast<unsigned long long>(*bad),
                     finite ? "is zero, which has no direction: the cosine metric cannot rank it"
                            : "holds a value that is not finite (NaN or Inf)");
        return false;
    }
    return true;
}

// quillane.rerank's work: the candidates checked against the vectors' rows, re-ranked
// without the interpreter lock into (ids, scores) rows of k.
inline PyObject* reranked(const char* function, Metric metric, const float* queries, size_t nq, size_t dim,
                          const uint64_t* candidates, size_t width, const float* vectors, size_t rows, size_t k,
                          unsigned threads) {
    if (!refuse_ids_without_fit_rows(function, "the rerank vectors", "the rerank vector", metric, candidates,
                                     nq * width, vectors, rows, dim)) {
        return nullptr;
    }
    const auto total = result_size(nq, k);
    if (!total) return nullptr;
    std::vector<uint64_t> best(*total);
    std::vector<float> scores(*total);
    without_gil([&] {
        rerank(metric, queries, nq, dim, candidates, width, vectors, k, threads, best.data(), scores.data());
        return 0;
    });
    return id_score_matrices(std::move(best), std::move(scores), nq, k);
}

// The AllowSet of an index for allow=ids (its entry numbers under those ids).
template <class Index> AllowSet allow_set(const Index& index, const std::vector<uint64_t>& ids) {
    return AllowSet::of(id_map_of(index), ids.data(), ids.size(), index.size());
}

// The keywords every store search takes beside its own (nullptr when absent).
struct StoreOptions {
    PyObject* allow = nullptr;
    PyObject* rerank = nullptr;
    PyObject* rerank_factor = nullptr;
};

// allow=None or absent: nullopt in `out`; else the ids of a one-dimensional integer array.
inline bool read_allow(PyObject* given, std::optional<std::vector<uint64_t>>& out) {
    if (given == nullptr || given == Py_None) return true;
    out = read_ids(given, "allow", ANY_LENGTH);
    return out.has_value();
}

// A store search of nq queries: `search(width, allow, ids, scores)` fills rows of `width`
// (a filtered search pads them), without the interpreter lock; with `rerank`, each row's
// rerank_factor * top_k candidates are ordered again by the exact metric on the given
// vectors. The (ids, scores) matrices, or nullptr with an exception set.
template <class Index, class Search>
PyObject* store_search_batch(const Index& index, const char* function, const float* queries, size_t nq,
                             uint64_t top_k, unsigned threads, const StoreOptions& options, Search&& search) {
    const size_t dim = index.family().dim(), n = index.size();
    uint64_t factor = 4;
    if (options.rerank_factor != nullptr) {
        const auto f = to_count(options.rerank_factor, "rerank_factor");
        if (!f) return nullptr;
        if (*f == 0) {
            PyErr_Format(PyExc_ValueError, "%s: rerank_factor must be at least 1, got 0", function);
            return nullptr;
        }
        factor = *f;
    }
    std::optional<MatrixArg> vectors;
    if (options.rerank != nullptr && options.rerank != Py_None) {
        vectors = read_matrix(options.rerank, "rerank", NPY_FLOAT, dim);
        if (!vectors) return nullptr;
    }
    std::optional<std::vector<uint64_t>> allowed;
    if (!read_allow(options.allow, allowed)) return nullptr;
    const size_t k = static_cast<size_t>(std::min<uint64_t>(top_k, n));
    size_t width = k;
    if (vectors) width = k == 0 ? 0 : (factor > n / k ? n : k * factor);
    const auto total = result_size(nq, width);
    if (!total) return nullptr;
    std::vector<uint64_t> ids(*total);
    std::vector<float> scores(*total);
    const auto failure = without_gil([&] {
        std::optional<AllowSet> allow;
        if (allowed) allow = allow_set(index, *allowed);
        return search(width, allow ? &*allow : nullptr, ids.data(), scores.data());
    });
    if (failure) {
        raise_row_input_failure(*failure, queries, dim, "queries");
        return nullptr;
    }
    if (vectors) {
        return reranked(function, metric_of(index), queries, nq, dim, ids.data(), width,
                        static_cast<const float*>(vectors->data), vectors->rows, k, threads);
    }
    return id_score_matrices(std::move(ids), std::move(scores), nq, width);
}

// `Names::remove` and `Names::reconstruct` are the qualified method names for messages.
template <class Binding, class Names> struct StoreBinding {
    using Index = std::remove_cvref_t<decltype(std::declval<typename Binding::Object&>().value())>;

    static PyObject* remove(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            static constexpr Param params[] = {{"ids", true}};
            PyObject* given[1];
            if (!bind_arguments(Names::remove, params, args, kwargs, given)) return nullptr;
            auto* obj = Binding::self_of(self);
            Hold hold(obj->holds, Hold::Exclusive);
            if (!hold.held() || !Binding::refuse_read_only(obj->value(), "remove from it")) return nullptr;
            const auto ids = read_ids(given[0], "ids", ANY_LENGTH);
            if (!ids) return nullptr;
            Index& index = obj->value();
            const size_t removed = without_gil([&] { return index.remove(ids->data(), ids->size()); });
            return PyLong_FromSize_t(removed);
        });
    }

    // search(query, top_k, *, allow=None) of a flat index.
    static PyObject* search(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            static constexpr Param params[] = {{"query", true}, {"top_k", true}, {"allow", false, true}};
            PyObject* given[3];
            if (!bind_arguments(Names::search, params, args, kwargs, given)) return nullptr;
            auto* obj = Binding::self_of(self);
            Hold hold(obj->holds, Hold::Shared);
            if (!hold.held()) return nullptr;
            const size_t dim = obj->value().family().dim();
            std::optional<ArrayArg> query = read_vector(given[0], "query", NPY_FLOAT, dim);
            // An empty index answers any query with nothing.
            if (!query || (obj->value().size() > 0 && !require_length(*query, dim, "query"))) return nullptr;
            const auto top_k = to_count(given[1], "top_k");
            if (!top_k || !require_contiguous(*query, "query")) return nullptr;
            std::optional<std::vector<uint64_t>> allowed;
            if (!read_allow(given[2], allowed)) return nullptr;
            const Index& index = obj->value();
            if (!refuse_unfit_vector(fit_of(index), query->elements<float>(), index.family().dim(), "query")) {
                return nullptr;
            }
            auto scored = without_gil([&] {
                if (!allowed) return index.search(query->elements<float>(), *top_k);
                return index.search_allowed(query->elements<float>(), *top_k, allow_set(index, *allowed));
            });
            if (!scored) {
                raise_input_failure(scored.error(), query->elements<float>(), "query");
                return nullptr;
            }
            return ranked_arrays(*scored);
        });
    }

    // search_batch(queries, top_k, *, allow=None, rerank=None, rerank_factor=4, threads=None)
    // of a flat index.
    static PyObject* search_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            static constexpr Param params[] = {{"queries", true},          {"top_k", true},
                                               {"allow", false, true},     {"rerank", false, true},
                                               {"rerank_factor", false, true}, {"threads", false, true}};
            PyObject* given[6];
            if (!bind_arguments(Names::search_batch, params, args, kwargs, given)) return nullptr;
            auto* obj = Binding::self_of(self);
            Hold hold(obj->holds, Hold::Shared);
            if (!hold.held()) return nullptr;
            const auto top_k = to_count(given[1], "top_k");
            if (!top_k) return nullptr;
            const auto threads = to_threads(given[5]);
            if (!threads) return nullptr;
            const Index& index = obj->value();
            const size_t dim = index.family().dim();
            const auto queries = read_matrix(given[0], "queries", NPY_FLOAT, dim);
            if (!queries) return nullptr;
            const auto* rows = static_cast<const float*>(queries->data);
            if (!refuse_unfit_rows(fit_of(index), rows, queries->rows, dim, true, "queries")) return nullptr;
            return store_search_batch(index, Names::search_batch, rows, queries->rows, *top_k, *threads,
                                      {given[2], given[3], given[4]},
                                      [&](size_t width, const AllowSet* allow, uint64_t* ids, float* scores) {
                                          if (allow == nullptr) {
                                              return index.search_batch(rows, queries->rows, width, *threads, ids,
                                                                        scores);
                                          }
                                          return index.search_batch_allowed(rows, queries->rows, width, *threads,
                                                                            *allow, ids, scores);
                                      });
        });
    }

    static PyObject* ids(PyObject* self, PyObject*) {
        return guarded([&]() -> PyObject* {
            auto* obj = Binding::self_of(self);
            Hold hold(obj->holds, Hold::Shared);
            if (!hold.held()) return nullptr;
            const std::span<const uint64_t> stored = stored_ids(obj->value());
            return to_array(std::vector<uint64_t>(stored.begin(), stored.end()));
        });
    }

    // Any integer that operator.index accepts (NumPy's too), converted before the hold is
    // taken since __index__ may run Python code; anything else, or an integer outside
    // 0..2**64-1, is simply not in the index.
    static int contains(PyObject* self, PyObject* key) {
        uint64_t id = 0;
        {
            Ref index(PyIndex_Check(key) ? PyNumber_Index(key) : nullptr);
            if (!index) {
                if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
                PyErr_Clear();
                return 0;
            }
            const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
            if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
                PyErr_Clear();
                return 0;
            }
            id = value;
        }
        Ref found(guarded([&]() -> PyObject* {
            auto* obj = Binding::self_of(self);
            Hold hold(obj->holds, Hold::Shared);
            if (!hold.held()) return nullptr;
            return PyBool_FromLong(id_map_of(obj->value()).contains(id));
        }));
        if (!found) return -1;
        return found.get() == Py_True ? 1 : 0;
    }

    // (n, dim) float32: the decoding of each id's first stored entry; KeyError(id) for an
    // id not stored.
    static PyObject* reconstruct(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            static constexpr Param params[] = {{"ids", true}};
            PyObject* given[1];
            if (!bind_arguments(Names::reconstruct, params, args, kwargs, given)) return nullptr;
            auto* obj = Binding::self_of(self);
            Hold hold(obj->holds, Hold::Shared);
            if (!hold.held()) return nullptr;
            const auto ids = read_ids(given[0], "ids", ANY_LENGTH);
            if (!ids) return nullptr;
            const Index& index = obj->value();
            const size_t dim = index.family().dim();
            const IdMap& map = id_map_of(index);
            std::vector<uint64_t> entries(ids->size());
            for (size_t i = 0; i < ids->size(); ++i) {
                entries[i] = map.first((*ids)[i]);
                if (entries[i] == IdMap::NONE) {
                    Ref key(PyLong_FromUnsignedLongLong((*ids)[i]));
                    if (key) PyErr_SetObject(PyExc_KeyError, key.get());
                    return nullptr;
                }
            }
            std::vector<float> out(entries.size() * dim);
            for (size_t i = 0; i < entries.size(); ++i) {
                auto decoded = index.decode(entries[i]);
                if (!decoded) {
                    raise_quant_error(decoded.error());
                    return nullptr;
                }
                std::copy(decoded->begin(), decoded->end(), out.begin() + static_cast<std::ptrdiff_t>(i * dim));
            }
            return to_matrix(std::move(out), entries.size(), dim);
        });
    }
};

}  // namespace quillane::py

// The method table entries of the store methods.
#define QL_STORE_METHODS(Store) \
    {"remove", method(&Store::remove), METH_VARARGS | METH_KEYWORDS, \
     "remove($self, ids)\n--\n\nRemove every entry stored under any of the ids of a one-dimensional integer array (an id stored several times, in every place); returns how many entries were removed. Removed entries are never returned again, their memory goes back to the system, and saved files hold none of them. The other entries keep their insertion order."}, \
    {"ids", method(&Store::ids), METH_NOARGS, \
     "ids($self)\n--\n\nThe id of every entry, in insertion order (numpy uint64 array)."}, \
    {"reconstruct", method(&Store::reconstruct), METH_VARARGS | METH_KEYWORDS, \
     "reconstruct($self, ids)\n--\n\nThe decoding of the entry stored under each id of a one-dimensional integer array (its first, for an id stored several times): a float32 array of shape (n, dim); under cosine, the decoding of the unit vector. An id not stored raises KeyError(id)."},
