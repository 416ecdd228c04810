// quillane.IvfIndex: an inverted-file index over compact residual codes.
#include <cstdio>
#include <string>

#include "arrays.hpp"
#include "classes.hpp"
#include "construction.hpp"
#include "index_binding.hpp"
#include "store_binding.hpp"
#include "tuning_binding.hpp"
#include "ivf/ivf_index.hpp"

namespace quillane::py {

namespace {

struct Names {
    static constexpr const char* class_name = "IvfIndex";
    static constexpr const char* train = "IvfIndex.train()";
    static constexpr const char* add = "IvfIndex.add()";
    static constexpr const char* add_batch = "IvfIndex.add_batch()";
    static constexpr const char* search = "IvfIndex.search()";
    static constexpr const char* search_batch = "IvfIndex.search_batch()";
    static constexpr const char* save = "IvfIndex.save()";
    static constexpr const char* to_bytes = "IvfIndex.to_bytes()";
    static constexpr const char* load = "IvfIndex.load()";
    static constexpr const char* from_bytes = "IvfIndex.from_bytes()";
    static constexpr const char* remove = "IvfIndex.remove()";
    static constexpr const char* reconstruct = "IvfIndex.reconstruct()";
};
using Binding = IndexBinding<ivf::IvfIndex, Names>;
using Store = StoreBinding<Binding, Names>;
using Object = Binding::Object;

constexpr uint64_t MAX_LISTS = 0xFFFFFFFFu;

const char NOT_TRAINED[] = "the index is not trained: call train(vectors) first";

bool value_error(const char* function, const std::string& text) {
    PyErr_Format(PyExc_ValueError, "%s: %s", function, text.c_str());
    return false;
}

// An optional keyword of `given`, or `fallback`.
std::optional<uint64_t> u64_or(PyObject* given, const char* name, uint64_t fallback) {
    if (given == nullptr) return fallback;
    return to_count(given, name);
}

PyObject* ivf_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Param params[] = {
            {"dim", true}, {"lists", true}, {"bits", false}, {"seed", false}, {"metric", false, true}};
        PyObject* given[5];
        if (!bind_arguments("IvfIndex.__new__()", params, args, kwargs, given)) return nullptr;
        const auto dim = to_count(given[0], "dim");
        if (!dim) return nullptr;
        const auto lists = to_count(given[1], "lists");
        if (!lists) return nullptr;
        uint8_t bits = 4;
        if (given[2] != nullptr) {
            const auto b = to_byte(given[2], "bits");
            if (!b) return nullptr;
            bits = *b;
        }
        const auto seed = u64_or(given[3], "seed", 42);
        if (!seed) return nullptr;
        const auto metric = to_metric(given[4]);
        if (!metric) return nullptr;
        if (*lists == 0 || *lists > MAX_LISTS) {
            value_error("IvfIndex()", "lists must be between 1 and 4294967295, got " + std::to_string(*lists));
            return nullptr;
        }
        auto index = ivf::IvfIndex::make(*dim, *lists, bits, *seed, *metric);
        if (!index) {
            raise_parameter_error(index.error());
            return nullptr;
        }
        return Binding::adopt(type, std::move(*index));
    });
}

// The rows' first non-finite value, as add_batch reports it.
bool check_rows(const float* rows, size_t n, size_t dim, const char* param) {
    for (size_t i = 0; i < n; ++i) {
        if (Status s = check_finite({rows + i * dim, dim}); !s) {
            raise_row_input_failure({i, s.error()}, rows, dim, param);
            return false;
        }
    }
    return true;
}

PyObject* ivf_train(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Param params[] = {
            {"vectors", true}, {"iterations", false, true}, {"threads", false, true}, {"verbose", false, true}};
        PyObject* given[4];
        if (!bind_arguments(Names::train, params, args, kwargs, given)) return nullptr;
        auto* obj = Binding::self_of(self);
        Hold hold(obj->holds, Hold::Exclusive);
        if (!hold.held()) return nullptr;
        ivf::IvfIndex& index = obj->value();
        if (!Binding::refuse_read_only(index, "train it")) return nullptr;
        const auto iterations = u64_or(given[1], "iterations", 10);
        if (!iterations) return nullptr;
        const auto threads = to_threads(given[2]);
        if (!threads) return nullptr;
        const int verbose = given[3] ? PyObject_IsTrue(given[3]) : 0;
        if (verbose < 0) return nullptr;
        const auto vectors = read_matrix(given[0], "vectors", NPY_FLOAT, index.dim());
        if (!vectors) return nullptr;
        if (index.coarse().trained()) {
            value_error(Names::train, "the index is already trained");
            return nullptr;
        }
        if (vectors->rows < index.coarse().lists()) {
            value_error(Names::train, std::to_string(vectors->rows) + " rows cannot train " +
                                          std::to_string(index.coarse().lists()) +
                                          " lists: give at least as many rows as lists");
            return nullptr;
        }
        if (*iterations > 1000000) {
            value_error(Names::train, "iterations must be at most 1000000, got " + std::to_string(*iterations));
            return nullptr;
        }
        const auto* rows = static_cast<const float*>(vectors->data);
        if (!check_rows(rows, vectors->rows, index.dim(), "vectors")) return nullptr;
        if (!refuse_unfit_rows(fit_of(index), rows, vectors->rows, index.dim(), true, "vectors")) return nullptr;
        without_gil([&] {
            index.train(rows, vectors->rows, static_cast<unsigned>(*iterations), *threads,
                        [&](const ivf::TrainingStep& step) {
                            if (!verbose) return;
                            std::fprintf(stderr, "IvfIndex.train: iteration %u of %llu, objective %.6g, %.2f s\n",
                                         step.iteration, static_cast<unsigned long long>(*iterations),
                                         step.objective, step.seconds);
                            std::fflush(stderr);
                        });
            return 0;
        });
        Py_RETURN_NONE;
    });
}

PyObject* ivf_set_centroids(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Param params[] = {{"centroids", true}};
        PyObject* given[1];
        if (!bind_arguments("IvfIndex.set_centroids()", params, args, kwargs, given)) return nullptr;
        auto* obj = Binding::self_of(self);
        Hold hold(obj->holds, Hold::Exclusive);
        if (!hold.held()) return nullptr;
        ivf::IvfIndex& index = obj->value();
        if (!Binding::refuse_read_only(index, "set its centroids")) return nullptr;
        const auto centroids = read_matrix(given[0], "centroids", NPY_FLOAT, index.dim());
        if (!centroids) return nullptr;
        if (index.coarse().trained()) return value_error("IvfIndex.set_centroids()", "the index is already trained"), nullptr;
        if (centroids->rows != index.coarse().lists()) {
            value_error("IvfIndex.set_centroids()", "expected " + std::to_string(index.coarse().lists()) +
                                                        " centroids (one per list), got " +
                                                        std::to_string(centroids->rows));
            return nullptr;
        }
        const auto* rows = static_cast<const float*>(centroids->data);
        if (!check_rows(rows, centroids->rows, index.dim(), "centroids")) return nullptr;
        if (!refuse_unfit_rows({Metric::ip, true}, rows, centroids->rows, index.dim(), true, "centroids")) return nullptr;
        index.set_centroids(std::vector<float>(rows, rows + centroids->rows * index.dim()));
        Py_RETURN_NONE;
    });
}

PyObject* ivf_add(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Param params[] = {{"id", true}, {"vector", true}};
        PyObject* given[2];
        if (!bind_arguments(Names::add, params, args, kwargs, given)) return nullptr;
        auto* obj = Binding::self_of(self);
        Hold hold(obj->holds, Hold::Exclusive);
        if (!hold.held()) return nullptr;
        const auto id = to_count(given[0], "id");
        if (!id) return nullptr;
        auto vector = read_vector(given[1], "vector", NPY_FLOAT, obj->value().dim());
        if (!vector || !require_length(*vector, obj->value().dim(), "vector") ||
            !require_contiguous(*vector, "vector")) {
            return nullptr;
        }
        ivf::IvfIndex& index = obj->value();
        if (!Binding::refuse_read_only(index)) return nullptr;
        if (!index.coarse().trained()) return value_error(Names::add, NOT_TRAINED), nullptr;
        if (*id == ivf::NO_ID) return value_error(Names::add, padding_id_message(0, false)), nullptr;
        if (!refuse_unfit_vector(fit_of(index), vector->elements<float>(), index.dim(), "vector")) return nullptr;
        if (auto added = index.add(*id, vector->elements<float>()); !added) {
            raise_input_failure(added.error(), vector->elements<float>(), "vector");
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyObject* ivf_add_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Param params[] = {{"ids", true}, {"vectors", true}, {"threads", false, true}};
        PyObject* given[3];
        if (!bind_arguments(Names::add_batch, params, args, kwargs, given)) return nullptr;
        auto* obj = Binding::self_of(self);
        Hold hold(obj->holds, Hold::Exclusive);
        if (!hold.held()) return nullptr;
        const auto threads = to_threads(given[2]);
        if (!threads) return nullptr;
        ivf::IvfIndex& index = obj->value();
        const auto vectors = read_matrix(given[1], "vectors", NPY_FLOAT, index.dim());
        if (!vectors) return nullptr;
        const auto ids = read_ids(given[0], "ids", vectors->rows);
        if (!ids) return nullptr;
        if (!Binding::refuse_read_only(index)) return nullptr;
        if (!index.coarse().trained()) return value_error(Names::add_batch, NOT_TRAINED), nullptr;
        for (size_t i = 0; i < ids->size(); ++i) {
            if ((*ids)[i] == ivf::NO_ID) return value_error(Names::add_batch, padding_id_message(i, true)), nullptr;
        }
        const auto* rows = static_cast<const float*>(vectors->data);
        if (!refuse_unfit_rows(fit_of(index), rows, vectors->rows, index.dim(), true, "vectors")) return nullptr;
        const auto failure = without_gil([&] { return index.add_batch(ids->data(), rows, vectors->rows, *threads); });
        if (failure) {
            raise_row_input_failure(*failure, rows, index.dim(), "vectors");
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyObject* ivf_search(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Param params[] = {
            {"query", true}, {"top_k", true}, {"probes", false, true}, {"allow", false, true}};
        PyObject* given[4];
        if (!bind_arguments(Names::search, params, args, kwargs, given)) return nullptr;
        auto* obj = Binding::self_of(self);
        Hold hold(obj->holds, Hold::Shared);
        if (!hold.held()) return nullptr;
        auto query = read_vector(given[0], "query", NPY_FLOAT, obj->value().dim());
        // An empty index answers any query with nothing, as the other indexes do.
        if (!query || (obj->value().size() > 0 && !require_length(*query, obj->value().dim(), "query"))) return nullptr;
        const auto top_k = to_count(given[1], "top_k");
        if (!top_k) return nullptr;
        const auto probes = u64_or(given[2], "probes", 8);
        if (!probes || !require_contiguous(*query, "query")) return nullptr;
        std::optional<std::vector<uint64_t>> allowed;
        if (!read_allow(given[3], allowed)) return nullptr;
        const ivf::IvfIndex& index = obj->value();
        if (!refuse_unfit_vector(fit_of(index), query->elements<float>(), index.dim(), "query")) return nullptr;
        auto scored = without_gil([&] {
            if (!allowed) return index.search(query->elements<float>(), *top_k, *probes);
            const AllowSet allow = allow_set(index, *allowed);
            return index.search(query->elements<float>(), *top_k, *probes, &allow);
        });
        if (!scored) {
            raise_input_failure(scored.error(), query->elements<float>(), "query");
            return nullptr;
        }
        return ranked_arrays(*scored);
    });
}

PyObject* ivf_search_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Param params[] = {{"queries", true},          {"top_k", true},
                                           {"probes", false, true},    {"allow", false, true},
                                           {"rerank", false, true},    {"rerank_factor", false, true},
                                           {"threads", false, true}};
        PyObject* given[7];
        if (!bind_arguments(Names::search_batch, params, args, kwargs, given)) return nullptr;
        auto* obj = Binding::self_of(self);
        Hold hold(obj->holds, Hold::Shared);
        if (!hold.held()) return nullptr;
        const auto top_k = to_count(given[1], "top_k");
        if (!top_k) return nullptr;
        const auto probes = u64_or(given[2], "probes", 8);
        if (!probes) return nullptr;
        const auto threads = to_threads(given[6]);
        if (!threads) return nullptr;
        const ivf::IvfIndex& index = obj->value();
        const auto queries = read_matrix(given[0], "queries", NPY_FLOAT, index.dim());
        if (!queries) return nullptr;
        const auto* rows = static_cast<const float*>(queries->data);
        if (!refuse_unfit_rows(fit_of(index), rows, queries->rows, index.dim(), true, "queries")) return nullptr;
        return store_search_batch(index, Names::search_batch, rows, queries->rows, *top_k, *threads,
                                  {given[3], given[4], given[5]},
                                  [&](size_t width, const AllowSet* allow, uint64_t* ids, float* scores) {
                                      return index.search_batch(rows, queries->rows, width, *probes, *threads, ids,
                                                                scores, allow);
                                  });
    });
}

PyObject* ivf_tune(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const ivf::IvfIndex& index = Binding::self_of(self)->value();
        const auto answer = [&](const TuneRequest& r, uint64_t probes, uint64_t* ids, float* scores) {
            index.search_batch(static_cast<const float*>(r.queries.data), r.queries.rows, r.k, probes, r.threads, ids,
                               scores);
        };
        return tune_method<Binding>(
            self, args, kwargs, "IvfIndex.tune()", 1,
            [](const ivf::IvfIndex& held) { return uint64_t{held.coarse().lists()}; },
            [&](const TuneRequest& r, uint64_t* ids) {
                std::vector<float> scores(r.queries.rows * r.k);
                answer(r, index.coarse().lists(), ids, scores.data());  // every list: the exhaustive ranking
            },
            answer);
    });
}

PyObject* ivf_list_sizes(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto* obj = Binding::self_of(self);
        Hold hold(obj->holds, Hold::Shared);
        if (!hold.held()) return nullptr;
        return to_array(obj->value().list_sizes());
    });
}

template <class Get> PyObject* get(PyObject* self, Get value) { return Binding::get(self, value); }

PyObject* ivf_get_dim(PyObject* self, void*) {
    return get(self, [](const ivf::IvfIndex& i) { return PyLong_FromUnsignedLongLong(i.dim()); });
}
PyObject* ivf_get_bits(PyObject* self, void*) {
    return get(self, [](const ivf::IvfIndex& i) { return PyLong_FromUnsignedLong(i.bits()); });
}
PyObject* ivf_get_seed(PyObject* self, void*) {
    return get(self, [](const ivf::IvfIndex& i) { return PyLong_FromUnsignedLongLong(i.seed()); });
}
PyObject* ivf_get_metric(PyObject* self, void*) {
    return get(self, [](const ivf::IvfIndex& i) { return PyUnicode_FromString(metric_name(i.metric())); });
}
PyObject* ivf_get_mapped(PyObject* self, void*) {
    return get(self, [](const ivf::IvfIndex& i) { return PyBool_FromLong(i.read_only()); });
}
PyObject* ivf_get_code_size(PyObject* self, void*) {
    return get(self, [](const ivf::IvfIndex& i) {
        return PyLong_FromUnsignedLongLong(i.family().quantizer().code_size_bytes());
    });
}
PyObject* ivf_get_lists(PyObject* self, void*) {
    return get(self, [](const ivf::IvfIndex& i) { return PyLong_FromUnsignedLongLong(i.coarse().lists()); });
}
PyObject* ivf_get_trained(PyObject* self, void*) {
    return get(self, [](const ivf::IvfIndex& i) { return PyBool_FromLong(i.coarse().trained()); });
}
PyObject* ivf_get_centroids(PyObject* self, void*) {
    return get(self, [](const ivf::IvfIndex& i) -> PyObject* {
        if (!i.coarse().trained()) Py_RETURN_NONE;
        std::vector<float> copy = i.coarse().centroids();
        return to_matrix(std::move(copy), i.coarse().lists(), i.dim());
    });
}

PyObject* ivf_repr(PyObject* self) {
    return Binding::repr(self, [](const ivf::IvfIndex& index) {
        return "IvfIndex(size=" + std::to_string(index.size()) + ", dim=" + std::to_string(index.dim()) +
               ", lists=" + std::to_string(index.coarse().lists()) + ", bits=" + std::to_string(index.bits()) +
               ", seed=" + std::to_string(index.seed()) + ", metric='" + metric_name(index.metric()) + "'" +
               ", trained=" + (index.coarse().trained() ? "True" : "False") + ")";
    });
}

PyMethodDef ivf_methods[] = {
    {"train", method(&ivf_train), METH_VARARGS | METH_KEYWORDS,
     "train($self, vectors, *, iterations=10, threads=None, verbose=False)\n--\n\n"
     "Find the lists' centroids by k-means on the rows of a C-contiguous float32 array of shape "
     "(n, dim), n >= lists; more than 256 rows per list are sampled by the seed. The same rows give "
     "the same centroids on every machine and at any thread count. verbose=True prints each "
     "iteration's objective and time to standard error. Once per index."},
    {"set_centroids", method(&ivf_set_centroids), METH_VARARGS | METH_KEYWORDS,
     "set_centroids($self, centroids)\n--\n\nUse the rows of a C-contiguous float32 array of shape (lists, dim) as "
     "the centroids instead of training (for example those of another IvfIndex, to build shards that search as "
     "one index). Once per index, instead of train."},
    {"add", method(&ivf_add), METH_VARARGS | METH_KEYWORDS,
     "add($self, id, vector)\n--\n\nStore a float32 vector under `id` in the list of its nearest "
     "centroid, as the compact code of its difference from that centroid."},
    {"add_batch", method(&ivf_add_batch), METH_VARARGS | METH_KEYWORDS,
     "add_batch($self, ids, vectors, *, threads=None)\n--\n\nAdd every row of a C-contiguous float32 "
     "array of shape (n, dim) under the matching id, as n calls of add would, all or nothing."},
    {"search", method(&ivf_search), METH_VARARGS | METH_KEYWORDS,
     "search($self, query, top_k, *, probes=8, allow=None)\n--\n\nThe top_k entries of the `probes` lists whose "
     "centroids have the highest inner product with the query, by the metric's estimate (highest "
     "first; smallest first under l2), ties in insertion order. allow: a one-dimensional integer array of ids; "
     "then only entries stored under one of them are ranked (still only in the probed lists: probes=lists "
     "ranks every allowed entry). Rows with fewer entries are padded with id quillane.NO_ID and "
     "a NaN score.\n\nReturns:\n    Tuple of (ids: numpy uint64 array, scores: numpy float32 array) "
     "of length min(top_k, len(index))."},
    {"search_batch", method(&ivf_search_batch), METH_VARARGS | METH_KEYWORDS,
     "search_batch($self, queries, top_k, *, probes=8, allow=None, rerank=None, rerank_factor=4, threads=None)"
     "\n--\n\nSearch every row of a C-contiguous float32 array of shape (m, dim); row i equals "
     "search(queries[i], top_k, probes=probes, allow=allow). Queries that probe the same list read its codes "
     "together. rerank, rerank_factor: as for CompactIndex.search_batch."},
    QL_STORE_METHODS(Store)
    {"tune", method(&ivf_tune), METH_VARARGS | METH_KEYWORDS,
     "tune($self, queries, *, target_recall=0.95, top_k=10, vectors=None, threads=None)\n--\n\nThe smallest "
     "probes whose search_batch of the sample `queries` finds target_recall of the answers wanted: with "
     "vectors (row i the original vector of id i), each query's exact top_k among the stored entries; "
     "without, the ranking of every list (probes=lists). Probes double from 1 until one is enough (or two doublings in "
     "a row gain nothing), then the gap is halved.\n\nReturns:\n    (probes, or None when no setting tried reaches the target, and a list of "
     "(probes, recall, queries per second) for every setting tried, in increasing order)."},
    {"list_sizes", method(&ivf_list_sizes), METH_NOARGS,
     "list_sizes($self)\n--\n\nThe number of entries of each list (numpy uint64 array)."},
    {"save", method(&Binding::save), METH_VARARGS | METH_KEYWORDS,
     "save($self, path)\n--\n\nWrite the index to a file, atomically: the path holds the old file or the new one, "
     "never a part (docs/index-file-format.md). The same index gives the same bytes whatever the thread counts "
     "that built it."},
    {"to_bytes", method(&Binding::to_bytes), METH_VARARGS | METH_KEYWORDS,
     "to_bytes($self)\n--\n\nThe bytes of the index file that save writes."},
    {"load", method(&Binding::load), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "load($cls, path, *, mmap=False, verify=True)\n--\n\nThe IvfIndex in an index file. mmap=True searches the "
     "lists straight from the mapped file (the index is then read-only; replace mapped files only through save); "
     "verify=False skips the body checksum and the check of every record and centroid. A file that is not a valid "
     "IvfIndex file raises ValueError saying what is wrong."},
    {"from_bytes", method(&Binding::from_bytes), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "from_bytes($cls, data, *, verify=True)\n--\n\nThe IvfIndex in the bytes of an index file (bytes or bytearray)."},
    {"__reduce__", method(&Binding::reduce), METH_NOARGS, "Pickling and copying, through to_bytes and from_bytes."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef ivf_getset[] = {
    {"dim", &ivf_get_dim, nullptr, "The vector dimension.", nullptr},
    {"bits", &ivf_get_bits, nullptr, "Bits per coordinate of the residual codes (1 to 8).", nullptr},
    {"seed", &ivf_get_seed, nullptr, "The seed of the rotation and of training.", nullptr},
    {"metric", &ivf_get_metric, nullptr, "What search ranks by: 'ip', 'cosine' or 'l2'.", nullptr},
    {"mapped", &ivf_get_mapped, nullptr, "Whether the index is a read-only view of a file loaded with mmap=True (no add, remove or train).", nullptr},
    {"code_size_bytes", &ivf_get_code_size, nullptr,
     "Bytes of each entry's residual code: 16 + ceil(dim * bits / 8) (the index keeps 20 more per entry, "
     "24 under l2).", nullptr},
    {"lists", &ivf_get_lists, nullptr, "The number of lists (centroids).", nullptr},
    {"trained", &ivf_get_trained, nullptr, "Whether train has run.", nullptr},
    {"centroids", &ivf_get_centroids, nullptr,
     "A copy of the centroids, float32 of shape (lists, dim), or None before training.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char ivf_doc[] =
    "IvfIndex(dim, lists, bits=4, seed=42, *, metric='ip')\n--\n\n"
    "IvfIndex: inverted-file search over compact codes.\n\n"
    "`lists` centroids, found by train, partition the space; each entry is stored in the list of\n"
    "its nearest centroid as the compact code of its difference from it, under a 64-bit id. A\n"
    "search opens the lists whose centroids best match the query and ranks only their entries.\n\n"
    "Args:\n"
    "    dim: Vector dimension (1 to 65536)\n"
    "    lists: Number of lists (1 to 2**32 - 1)\n"
    "    bits: Bits per coordinate (1 to 8, default 4)\n"
    "    seed: Random seed of the rotation and of training\n"
    "    metric: 'ip', 'cosine' or 'l2', as for CompactIndex. Under l2 each vector goes to its\n"
    "        nearest centroid and queries probe the nearest first; otherwise by the highest\n"
    "        inner product with the centroids (under cosine, of the unit vectors)";

}  // namespace

PyTypeObject* ivf_index_type() {
    static PyTypeObject* type = nullptr;
    if (type != nullptr) return type;
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&ivf_new)},
        {Py_mp_length, reinterpret_cast<void*>(&Binding::len)},
        {Py_sq_length, reinterpret_cast<void*>(&Binding::len)},
        {Py_sq_contains, reinterpret_cast<void*>(&Store::contains)},
        {Py_tp_repr, reinterpret_cast<void*>(&ivf_repr)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&Binding::dealloc)},
        {Py_tp_doc, const_cast<char*>(ivf_doc)},
        {Py_tp_methods, ivf_methods},
        {Py_tp_getset, ivf_getset},
        {0, nullptr},
    };
    static PyType_Spec definition = {"quillane.IvfIndex", sizeof(Object), 0, Py_TPFLAGS_DEFAULT, slots};
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&definition));
    return type;
}

}  // namespace quillane::py
