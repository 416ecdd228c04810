// quillane.GraphIndex: a navigable graph over compact codes.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "arrays.hpp"
#include "classes.hpp"
#include "construction.hpp"
#include "graph/graph_index.hpp"
#include "index_binding.hpp"
#include "store_binding.hpp"
#include "tuning_binding.hpp"

namespace quillane::py {

namespace {

struct Names {
    static constexpr const char* class_name = "GraphIndex";
    static constexpr const char* add = "GraphIndex.add()";
    static constexpr const char* add_batch = "GraphIndex.add_batch()";
    static constexpr const char* search = "GraphIndex.search()";
    static constexpr const char* search_batch = "GraphIndex.search_batch()";
    static constexpr const char* save = "GraphIndex.save()";
    static constexpr const char* to_bytes = "GraphIndex.to_bytes()";
    static constexpr const char* load = "GraphIndex.load()";
    static constexpr const char* from_bytes = "GraphIndex.from_bytes()";
    static constexpr const char* remove = "GraphIndex.remove()";
    static constexpr const char* reconstruct = "GraphIndex.reconstruct()";
};
using Index = graph::GraphIndex;
using Binding = IndexBinding<Index, Names>;
using Store = StoreBinding<Binding, Names>;

constexpr uint64_t DEFAULT_EF = 64;

PyObject* graph_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Param params[] = {
            {"dim", true}, {"degree", false, true}, {"bits", false, true}, {"metric", false, true}, {"seed", false, true}};
        PyObject* given[5];
        if (!bind_arguments("GraphIndex.__new__()", params, args, kwargs, given)) return nullptr;
        const auto dim = to_count(given[0], "dim");
        if (!dim) return nullptr;
        uint64_t degree = 32, seed = 42;
        uint8_t bits = 8;
        if (given[1] != nullptr) {
            const auto d = to_count(given[1], "degree");
            if (!d) return nullptr;
            degree = *d;
        }
        if (given[2] != nullptr) {
            const auto b = to_byte(given[2], "bits");
            if (!b) return nullptr;
            bits = *b;
        }
        const auto metric = to_metric(given[3]);
        if (!metric) return nullptr;
        if (given[4] != nullptr) {
            const auto s = to_count(given[4], "seed");
            if (!s) return nullptr;
            seed = *s;
        }
        if (degree < 2 || degree > Index::MAX_DEGREE) {
            PyErr_Format(PyExc_ValueError, "GraphIndex(): degree must be between 2 and %u, got %llu", Index::MAX_DEGREE,
                         static_cast<unsigned long long>(degree));
            return nullptr;
        }
        auto index = Index::make(*dim, static_cast<uint32_t>(degree), bits, seed, *metric);
        if (!index) {
            raise_parameter_error(index.error());
            return nullptr;
        }
        return Binding::adopt(type, std::move(*index));
    });
}

// Progress of a long add_batch on standard error: a bar redrawn in place on a terminal, a
// line at each tenth of the batch in a log.
class ProgressReport {
public:
    explicit ProgressReport(bool on) : on_(on), terminal_(on && isatty(STDERR_FILENO) == 1) {}
    void operator()(size_t done, size_t total) {
        if (!on_) return;
        const auto now = Clock::now();
        const double seconds = std::chrono::duration<double>(now - start_).count();
        const size_t tenth = done * 10 / total;
        if (terminal_ ? (done < total && now - shown_ < std::chrono::milliseconds(200)) : (tenth == tenths_ && done < total)) {
            return;
        }
        shown_ = now;
        tenths_ = tenth;
        const double rate = seconds > 0.0 ? static_cast<double>(done) / seconds : 0.0;
        const double left = rate > 0.0 ? static_cast<double>(total - done) / rate : 0.0;
        const int filled = static_cast<int>(done * 30 / total);
        std::string bar(static_cast<size_t>(filled), '#');
        bar.resize(30, '-');
        std::fprintf(stderr, "%sGraphIndex.add_batch: [%s] %zu of %zu rows, %.0f rows/s, %.0f s left%s",
                     terminal_ ? "\r" : "", bar.c_str(), done, total, rate, left, terminal_ && done < total ? "" : "\n");
        std::fflush(stderr);
    }

private:
    using Clock = std::chrono::steady_clock;
    bool on_, terminal_;
    Clock::time_point start_ = Clock::now(), shown_{};
    size_t tenths_ = 0;
};

PyObject* refuse_too_many(size_t have, size_t adding) {
    PyErr_Format(PyExc_ValueError, "a GraphIndex holds at most %zu entries: it has %zu, and %zu more were given",
                 Index::MAX_ENTRIES, have, adding);
    return nullptr;
}

PyObject* graph_add(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Param params[] = {{"id", true}, {"vector", true}};
        PyObject* given[2];
        if (!bind_arguments(Names::add, params, args, kwargs, given)) return nullptr;
        auto* obj = Binding::self_of(self);
        Hold hold(obj->holds, Hold::Exclusive);
        if (!hold.held() || !Binding::refuse_read_only(obj->value())) return nullptr;
        const auto id = to_count(given[0], "id");
        if (!id) return nullptr;
        Index& index = obj->value();
        auto vector = read_vector(given[1], "vector", NPY_FLOAT, index.dim());
        if (!vector || !require_length(*vector, index.dim(), "vector") || !require_contiguous(*vector, "vector")) {
            return nullptr;
        }
        if (*id == NO_ID) {
            PyErr_Format(PyExc_ValueError, "%s: %s", Names::add, padding_id_message(0, false).c_str());
            return nullptr;
        }
        const std::span<const float> values = vector->elements<float>();
        if (values.size() != index.dim()) {
            raise_quant_error(QuantError(DimensionMismatch{index.dim(), values.size()}));
            return nullptr;
        }
        if (!refuse_unfit_vector(fit_of(index), values, index.dim(), "vector")) return nullptr;
        if (index.size() >= Index::MAX_ENTRIES) return refuse_too_many(index.size(), 1);
        const uint64_t one = *id;
        const auto failure = without_gil([&] { return index.add_batch(&one, values.data(), 1, 1); });
        if (failure) {
            raise_input_failure(failure->error, values, "vector");
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyObject* graph_add_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Param params[] = {
            {"ids", true}, {"vectors", true}, {"threads", false, true}, {"verbose", false, true}};
        PyObject* given[4];
        if (!bind_arguments(Names::add_batch, params, args, kwargs, given)) return nullptr;
        auto* obj = Binding::self_of(self);
        Hold hold(obj->holds, Hold::Exclusive);
        if (!hold.held() || !Binding::refuse_read_only(obj->value())) return nullptr;
        const auto threads = to_threads(given[2]);
        if (!threads) return nullptr;
        const int verbose = given[3] ? PyObject_IsTrue(given[3]) : 0;
        if (verbose < 0) return nullptr;
        Index& index = obj->value();
        const auto vectors = read_matrix(given[1], "vectors", NPY_FLOAT, index.dim());
        if (!vectors) return nullptr;
        const auto ids = read_ids(given[0], "ids", vectors->rows);
        if (!ids) return nullptr;
        for (size_t i = 0; i < ids->size(); ++i) {
            if ((*ids)[i] == NO_ID) {
                PyErr_Format(PyExc_ValueError, "%s: %s", Names::add_batch, padding_id_message(i, true).c_str());
                return nullptr;
            }
        }
        const auto* rows = static_cast<const float*>(vectors->data);
        if (!refuse_unfit_rows(fit_of(index), rows, vectors->rows, index.dim(), true, "vectors")) return nullptr;
        if (vectors->rows > Index::MAX_ENTRIES - index.size()) return refuse_too_many(index.size(), vectors->rows);
        ProgressReport report(verbose != 0);
        const auto failure = without_gil([&] {
            return index.add_batch(ids->data(), rows, vectors->rows, *threads,
                                   [&](size_t done, size_t total) { report(done, total); });
        });
        if (failure) {
            raise_row_input_failure(*failure, rows, index.dim(), "vectors");
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

std::optional<uint64_t> ef_of(PyObject* given) {
    if (given == nullptr) return DEFAULT_EF;
    return to_count(given, "ef");
}

PyObject* graph_search(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Param params[] = {{"query", true}, {"top_k", true}, {"ef", false, true}, {"allow", false, true}};
        PyObject* given[4];
        if (!bind_arguments(Names::search, params, args, kwargs, given)) return nullptr;
        auto* obj = Binding::self_of(self);
        Hold hold(obj->holds, Hold::Shared);
        if (!hold.held()) return nullptr;
        const Index& index = obj->value();
        auto query = read_vector(given[0], "query", NPY_FLOAT, index.dim());
        // An empty index answers any query with nothing, as the other indexes do.
        if (!query || (index.size() > 0 && !require_length(*query, index.dim(), "query"))) return nullptr;
        const auto top_k = to_count(given[1], "top_k");
        if (!top_k) return nullptr;
        const auto ef = ef_of(given[2]);
        if (!ef || !require_contiguous(*query, "query")) return nullptr;
        std::optional<std::vector<uint64_t>> allowed;
        if (!read_allow(given[3], allowed)) return nullptr;
        if (!refuse_unfit_vector(fit_of(index), query->elements<float>(), index.dim(), "query")) return nullptr;
        auto scored = without_gil([&] {
            if (!allowed) return index.search(query->elements<float>(), *top_k, *ef);
            const AllowSet allow = allow_set(index, *allowed);
            return index.search(query->elements<float>(), *top_k, *ef, &allow);
        });
        if (!scored) {
            raise_input_failure(scored.error(), query->elements<float>(), "query");
            return nullptr;
        }
        return ranked_arrays(*scored);
    });
}

PyObject* graph_search_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Param params[] = {{"queries", true},          {"top_k", true},
                                           {"ef", false, true},        {"threads", false, true},
                                           {"rerank", false, true},    {"rerank_factor", false, true},
                                           {"allow", false, true}};
        PyObject* given[7];
        if (!bind_arguments(Names::search_batch, params, args, kwargs, given)) return nullptr;
        auto* obj = Binding::self_of(self);
        Hold hold(obj->holds, Hold::Shared);
        if (!hold.held()) return nullptr;
        const auto top_k = to_count(given[1], "top_k");
        if (!top_k) return nullptr;
        const auto ef = ef_of(given[2]);
        if (!ef) return nullptr;
        const auto threads = to_threads(given[3]);
        if (!threads) return nullptr;
        const Index& index = obj->value();
        const auto queries = read_matrix(given[0], "queries", NPY_FLOAT, index.dim());
        if (!queries) return nullptr;
        const auto* rows = static_cast<const float*>(queries->data);
        if (!refuse_unfit_rows(fit_of(index), rows, queries->rows, index.dim(), true, "queries")) return nullptr;
        return store_search_batch(index, Names::search_batch, rows, queries->rows, *top_k, *threads,
                                  {given[6], given[4], given[5]},
                                  [&](size_t width, const AllowSet* allow, uint64_t* ids, float* scores) {
                                      return index.search_batch(rows, queries->rows, width, *ef, *threads, ids, scores,
                                                                allow);
                                  });
    });
}

PyObject* graph_tune(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Index& index = Binding::self_of(self)->value();
        return tune_method<Binding>(
            self, args, kwargs, "GraphIndex.tune()", 0, [](const Index& held) { return uint64_t{held.size()}; },
            [&](const TuneRequest& r, uint64_t* ids) {
                // Every entry scored exactly from its code: what a walk meeting them all ranks.
                std::vector<float> scores(r.queries.rows * r.k);
                index.flat().search_batch(static_cast<const float*>(r.queries.data), r.queries.rows, r.k, r.threads,
                                          ids, scores.data());
            },
            [&](const TuneRequest& r, uint64_t ef, uint64_t* ids, float* scores) {
                index.search_batch(static_cast<const float*>(r.queries.data), r.queries.rows, r.k, ef, r.threads, ids,
                                   scores);
            });
    });
}

template <class Get> PyObject* get(PyObject* self, Get value) { return Binding::get(self, value); }

PyObject* graph_get_dim(PyObject* self, void*) {
    return get(self, [](const Index& i) { return PyLong_FromUnsignedLongLong(i.dim()); });
}
PyObject* graph_get_bits(PyObject* self, void*) {
    return get(self, [](const Index& i) { return PyLong_FromUnsignedLong(i.bits()); });
}
PyObject* graph_get_seed(PyObject* self, void*) {
    return get(self, [](const Index& i) { return PyLong_FromUnsignedLongLong(i.seed()); });
}
PyObject* graph_get_metric(PyObject* self, void*) {
    return get(self, [](const Index& i) { return PyUnicode_FromString(metric_name(i.metric())); });
}
PyObject* graph_get_mapped(PyObject* self, void*) {
    return get(self, [](const Index& i) { return PyBool_FromLong(i.read_only()); });
}
PyObject* graph_get_degree(PyObject* self, void*) {
    return get(self, [](const Index& i) { return PyLong_FromUnsignedLong(i.degree()); });
}
PyObject* graph_get_code_size(PyObject* self, void*) {
    return get(self, [](const Index& i) { return PyLong_FromUnsignedLongLong(i.family().code_size()); });
}

PyObject* graph_repr(PyObject* self) {
    return Binding::repr(self, [](const Index& index) {
        return "GraphIndex(size=" + std::to_string(index.size()) + ", dim=" + std::to_string(index.dim()) +
               ", degree=" + std::to_string(index.degree()) + ", bits=" + std::to_string(index.bits()) +
               ", seed=" + std::to_string(index.seed()) + ", metric='" + metric_name(index.metric()) + "')";
    });
}

PyMethodDef graph_methods[] = {
    {"add", method(&graph_add), METH_VARARGS | METH_KEYWORDS,
     "add($self, id, vector)\n--\n\nStore a vector under `id` and link it into the graph, as add_batch of one row."},
    {"add_batch", method(&graph_add_batch), METH_VARARGS | METH_KEYWORDS,
     "add_batch($self, ids, vectors, *, threads=None, verbose=False)\n--\n\nStore every row of an (n, dim) array "
     "under the matching id and link the rows into the graph, all or nothing: a refused row (ValueError \"row i: "
     "...\", the lowest such row) adds nothing. The rows' own values choose their edges; the index keeps only their "
     "codes. The same rows, parameters and seed give the same index at any thread count. verbose=True shows the "
     "progress on standard error."},
    {"search", method(&graph_search), METH_VARARGS | METH_KEYWORDS,
     "search($self, query, top_k, *, ef=64, allow=None)\n--\n\nThe top_k entries a walk of the graph keeping "
     "max(ef, top_k) vertices finds, by the metric's estimate from their codes (highest first; smallest first under "
     "l2), ties in insertion order; a larger ef finds more of the true top_k, more slowly. allow: ids (an integer "
     "array or sequence, or one integer); only entries stored under them are ranked: when few, every one is scored "
     "(as CompactIndex does), else the walk widens its beam by the inverse of their share and ranks the best "
     "allowed entries it meets.\n\nReturns:\n    Tuple of (ids: numpy "
     "uint64 array, scores: numpy float32 array) of length min(top_k, len(index)), padded with quillane.NO_ID and "
     "NaN where the walk met fewer entries."},
    {"tune", method(&graph_tune), METH_VARARGS | METH_KEYWORDS,
     "tune($self, queries, *, target_recall=0.95, top_k=10, vectors=None, threads=None)\n--\n\nThe smallest "
     "ef whose search_batch of the sample `queries` finds target_recall of the answers wanted: with vectors "
     "(row i the original vector of id i), each query's exact top_k among the stored entries; without, the "
     "ranking of every entry by its code (what a CompactIndex of the same codes answers). ef doubles from "
     "top_k until one is enough (or two doublings in a row gain nothing), then the gap is halved.\n\nReturns:\n    (ef, or None when no setting tried "
     "reaches the target, and a list of (ef, recall, queries per second) for every setting tried, in "
     "increasing order)."},
    {"search_batch", method(&graph_search_batch), METH_VARARGS | METH_KEYWORDS,
     "search_batch($self, queries, top_k, *, ef=64, threads=None, rerank=None, rerank_factor=4, allow=None)\n--\n\n"
     "Search every row of an (m, dim) array; row i equals search(queries[i], top_k, ef=ef, allow=allow). rerank, "
     "rerank_factor: as for CompactIndex.search_batch."},
    {"save", method(&Binding::save), METH_VARARGS | METH_KEYWORDS,
     "save($self, path)\n--\n\nWrite the index to a file, atomically: the path holds the old file or the new one, "
     "never a part (docs/index-file-format.md). The same index gives the same bytes whatever the thread counts that "
     "built it."},
    {"to_bytes", method(&Binding::to_bytes), METH_VARARGS | METH_KEYWORDS,
     "to_bytes($self)\n--\n\nThe bytes of the index file that save writes."},
    {"load", method(&Binding::load), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "load($cls, path, *, mmap=False, verify=True)\n--\n\nThe GraphIndex in an index file. mmap=True walks the "
     "codes and edges straight from the mapped file (the index is then read-only; replace mapped files only through "
     "save); verify=False skips the body checksum and the check of every record (the edges are always checked). A "
     "file that is not a valid GraphIndex file raises ValueError saying what is wrong."},
    {"from_bytes", method(&Binding::from_bytes), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "from_bytes($cls, data, *, verify=True)\n--\n\nThe GraphIndex in the bytes of an index file (bytes or "
     "bytearray)."},
    {"__reduce__", method(&Binding::reduce), METH_NOARGS, "Pickling and copying, through to_bytes and from_bytes."},
    {"remove", method(&Store::remove), METH_VARARGS | METH_KEYWORDS,
     "remove($self, ids)\n--\n\nRemove every entry stored under any of the ids (an integer array or sequence, or "
     "one integer; an id stored several times, in every place); returns how many entries were removed. Each "
     "vertex that loses a neighbour is linked again through the removed neighbour's own neighbours, by the rule "
     "that built the graph; removed entries are never returned again, their memory goes back to the system, and "
     "saved files hold none of them. The other entries keep their insertion order."},
    {"ids", method(&Store::ids), METH_NOARGS,
     "ids($self)\n--\n\nThe id of every entry, in insertion order (numpy uint64 array)."},
    {"reconstruct", method(&Store::reconstruct), METH_VARARGS | METH_KEYWORDS,
     "reconstruct($self, ids)\n--\n\nThe decoding of the entry stored under each id (its first, for an id stored "
     "several times): a float32 array of shape (n, dim). An id not stored raises KeyError(id)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef graph_getset[] = {
    {"dim", &graph_get_dim, nullptr, "The vector dimension.", nullptr},
    {"bits", &graph_get_bits, nullptr, "Bits per coordinate of the codes (1 to 8).", nullptr},
    {"seed", &graph_get_seed, nullptr, "The seed of the rotation.", nullptr},
    {"metric", &graph_get_metric, nullptr, "What search ranks by: 'ip', 'cosine' or 'l2'.", nullptr},
    {"degree", &graph_get_degree, nullptr, "The most neighbours a vertex keeps.", nullptr},
    {"mapped", &graph_get_mapped, nullptr, "Whether the index is a read-only view of a file loaded with mmap=True (no add, remove or train).", nullptr},
    {"code_size_bytes", &graph_get_code_size, nullptr,
     "Bytes of each entry's code: 16 + ceil(dim * bits / 8) (the index keeps 4 more per entry, 8 under l2, and "
     "4 * degree for its edges).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char graph_doc[] =
    "GraphIndex(dim, *, degree=32, bits=8, metric='ip', seed=42)\n--\n\n"
    "GraphIndex: a navigable graph over compact codes.\n\n"
    "Each entry is a compact code (16 + ceil(dim * bits / 8) bytes) under a 64-bit id and a\n"
    "vertex with up to `degree` edges to near entries, chosen while adding from the vectors in\n"
    "hand. A search walks the graph from a fixed entry and reads few codes.\n\n"
    "Args:\n"
    "    dim: Vector dimension (1 to 65536)\n"
    "    degree: The most neighbours a vertex keeps (2 to 256, default 32)\n"
    "    bits: Bits per coordinate (1 to 8, default 8)\n"
    "    metric: 'ip', 'cosine' or 'l2', as for CompactIndex\n"
    "    seed: Random seed of the rotation";

}  // namespace

PyTypeObject* graph_index_type() {
    static PyTypeObject* type = nullptr;
    if (type != nullptr) return type;
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&graph_new)},
        {Py_mp_length, reinterpret_cast<void*>(&Binding::len)},
        {Py_sq_length, reinterpret_cast<void*>(&Binding::len)},
        {Py_sq_contains, reinterpret_cast<void*>(&Store::contains)},
        {Py_tp_repr, reinterpret_cast<void*>(&graph_repr)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&Binding::dealloc)},
        {Py_tp_doc, const_cast<char*>(graph_doc)},
        {Py_tp_methods, graph_methods},
        {Py_tp_getset, graph_getset},
        {0, nullptr},
    };
    static PyType_Spec definition = {"quillane.GraphIndex", sizeof(Binding::Object), 0, Py_TPFLAGS_DEFAULT, slots};
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&definition));
    return type;
}

}  // namespace quillane::py
