// tune(queries, *, target_recall=0.95, top_k=10, vectors=None, threads=None) of the indexes
// with a search setting (IvfIndex's probes, GraphIndex's ef): the smallest setting whose
// answers to the sample queries hold target_recall of the answers wanted, and what every
// setting tried gave, as (setting or None, [(setting, recall, queries per second), ...]).
#pragma once

#include <cmath>
#include <cstdio>

#include "index/rerank.hpp"
#include "index/tuning.hpp"
#include "store_binding.hpp"

namespace quillane::py {

// target_recall: a real number above 0 and at most 1 (0.95 when absent).
inline std::optional<double> to_target_recall(PyObject* given) {
    if (given == nullptr) return 0.95;
    const double value = PyBool_Check(given) ? -1.0 : PyFloat_AsDouble(given);
    if (value == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "argument 'target_recall': expected a real number, got '%s'",
                     type_qualname(given).c_str());
        return std::nullopt;
    }
    if (!(value > 0.0 && value <= 1.0)) {
        char text[32];
        std::snprintf(text, sizeof text, "%g", value);
        PyErr_Format(PyExc_ValueError, "argument 'target_recall': expected a number above 0 and at most 1, got %s",
                     PyBool_Check(given) ? (given == Py_True ? "True" : "False") : text);
        return std::nullopt;
    }
    return value;
}

// What a tune call is given, read and checked; the index is held by the caller.
struct TuneRequest {
    MatrixArg queries;
    double target = 0.95;
    size_t k = 10;
    std::optional<MatrixArg> vectors;
    unsigned threads = 0;
};

// given: queries, target_recall, top_k, vectors, threads (nullptr when absent).
template <class Index>
std::optional<TuneRequest> read_tune_request(const Index& index, const char* function, PyObject* const* given) {
    const size_t dim = index.family().dim();
    auto queries = read_matrix(given[0], "queries", NPY_FLOAT, dim);
    if (!queries) return std::nullopt;
    const auto target = to_target_recall(given[1]);
    if (!target) return std::nullopt;
    uint64_t top_k = 10;
    if (given[2] != nullptr) {
        const auto k = to_count(given[2], "top_k");
        if (!k) return std::nullopt;
        top_k = *k;
    }
    std::optional<MatrixArg> vectors;
    if (given[3] != nullptr && given[3] != Py_None) {
        vectors = read_matrix(given[3], "vectors", NPY_FLOAT, dim);
        if (!vectors) return std::nullopt;
    }
    const auto threads = to_threads(given[4]);
    if (!threads) return std::nullopt;
    if (queries->rows == 0 || top_k == 0) {
        PyErr_Format(PyExc_ValueError, "%s: %s", function,
                     queries->rows == 0 ? "give at least one query (a sample of the queries the index will serve)"
                                        : "top_k must be at least 1");
        return std::nullopt;
    }
    if (index.size() == 0) {
        PyErr_Format(PyExc_ValueError, "%s: the index is empty: add vectors before tuning it", function);
        return std::nullopt;
    }
    const auto* rows = static_cast<const float*>(queries->data);
    if (!refuse_unfit_rows(fit_of(index), rows, queries->rows, dim, true, "queries")) return std::nullopt;
    const size_t k = static_cast<size_t>(std::min<uint64_t>(top_k, index.size()));
    return TuneRequest{std::move(*queries), *target, k, std::move(vectors), *threads};
}

// The answers wanted: with vectors, each query's exact top k among the stored entries (by
// the index's metric on rows of `vectors`, row i the vector of id i); else the index's own
// exhaustive ranking, which `exhaustive(out_ids)` writes. False with an exception set when
// a stored id has no fit row.
template <class Index, class Exhaustive>
bool wanted_answers(const Index& index, const char* function, const TuneRequest& request, std::vector<uint64_t>& out,
                    Exhaustive&& exhaustive) {
    const size_t nq = request.queries.rows, dim = index.family().dim();
    out.assign(nq * request.k, NO_ID);
    if (!request.vectors) {
        without_gil([&] {
            exhaustive(out.data());
            return 0;
        });
        return true;
    }
    const std::span<const uint64_t> ids = stored_ids(index);
    const auto* vectors = static_cast<const float*>(request.vectors->data);
    const auto* queries = static_cast<const float*>(request.queries.data);
    const Metric metric = index.family().metric();
    if (!refuse_ids_without_fit_rows(function, "vectors", "the vector", metric, ids.data(), ids.size(), vectors,
                                     request.vectors->rows, dim)) {
        return false;
    }
    std::vector<float> scores(out.size());
    without_gil([&] {
        exact_top_k(metric, queries, nq, dim, ids.data(), ids.size(), vectors, request.k, request.threads, out.data(),
                    scores.data());
        return 0;
    });
    return true;
}

// (chosen setting or None, [(setting, recall, queries per second), ...]).
inline PyObject* tuning_result(const Tuning& tuning) {
    Ref rows(PyList_New(static_cast<Py_ssize_t>(tuning.rows.size())));
    if (!rows) return nullptr;
    for (size_t i = 0; i < tuning.rows.size(); ++i) {
        const TuningRow& r = tuning.rows[i];
        PyObject* row = Py_BuildValue("(Kdd)", static_cast<unsigned long long>(r.setting), r.recall,
                                      r.queries_per_second);
        if (row == nullptr) return nullptr;
        PyList_SetItem(rows.get(), static_cast<Py_ssize_t>(i), row);  // steals the row
    }
    Ref chosen(tuning.chosen ? PyLong_FromUnsignedLongLong(*tuning.chosen) : Ref::borrow(Py_None).release());
    if (!chosen) return nullptr;
    return PyTuple_Pack(2, chosen.get(), rows.get());
}

// The whole method of Binding's index: its arguments bound, the index held for reading;
// search(request, setting, out_ids, out_scores) answers the sample at a setting from
// `least` (0: top_k) to most(index) (asked once the index is held), exhaustive(request,
// out_ids) as wanted_answers says; both without the interpreter lock.
template <class Binding, class Most, class Exhaustive, class Search>
PyObject* tune_method(PyObject* self, PyObject* args, PyObject* kwargs, const char* function, uint64_t least,
                      Most&& most, Exhaustive&& exhaustive, Search&& search) {
    static constexpr Param params[] = {{"queries", true},      {"target_recall", false, true},
                                       {"top_k", false, true}, {"vectors", false, true},
                                       {"threads", false, true}};
    PyObject* given[5];
    if (!bind_arguments(function, params, args, kwargs, given)) return nullptr;
    auto* obj = Binding::self_of(self);
    Hold hold(obj->holds, Hold::Shared);
    if (!hold.held()) return nullptr;
    const auto& index = obj->value();
    auto request = read_tune_request(index, function, given);
    if (!request) return nullptr;
    std::vector<uint64_t> wanted;
    if (!wanted_answers(index, function, *request, wanted,
                        [&](uint64_t* out) { exhaustive(*request, out); })) {
        return nullptr;
    }
    const size_t nq = request->queries.rows;
    std::vector<float> scores(nq * request->k);
    const Tuning tuning = without_gil([&] {
        return tune(least == 0 ? request->k : least, most(index), request->target, wanted.data(), nq, request->k,
                    [&](uint64_t setting, uint64_t* out) { search(*request, setting, out, scores.data()); });
    });
    return tuning_result(tuning);
}

}  // namespace quillane::py
