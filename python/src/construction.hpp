// The constructor arguments of the classes: (dim, bits=4, projections=None, seed=42) for
// the two-stage family, (dim, bits=4, seed=42) for the compact one.
#pragma once

#include <optional>

#include "binding.hpp"
#include "compact/quantizer.hpp"
#include "index/compact_family.hpp"
#include "index/metric.hpp"
#include "turbo.hpp"

namespace quillane::py {

// Binds, converts in declaration order, resolves the default projection count and
// builds the core quantizer. nullopt with a Python exception set on failure.
std::optional<TurboQuantizer> build_quantizer(const char* function, PyObject* args,
                                              PyObject* kwargs);

// The same for (dim, bits=4, seed=42) and the compact family.
std::optional<CompactQuantizer> build_compact_quantizer(const char* function, PyObject* args,
                                                        PyObject* kwargs);

// (dim, bits=4, seed=42, *, metric="ip") and the compact family of an index.
std::optional<CompactFamily> build_compact_family(const char* function, PyObject* args, PyObject* kwargs);

// The keyword `metric`: "ip" when absent; TypeError unless a str, ValueError unless one of
// the three names.
std::optional<Metric> to_metric(PyObject* given);

}  // namespace quillane::py
