// The constructor arguments both classes share: (dim, bits=4, projections=None, seed=42).
#pragma once

#include <optional>

#include "binding.hpp"
#include "turbo.hpp"

namespace quillane::py {

// Binds, converts in declaration order, resolves the default projection count and
// builds the core quantizer. nullopt with a Python exception set on failure.
std::optional<TurboQuantizer> build_quantizer(const char* function, PyObject* args,
                                              PyObject* kwargs);

}  // namespace quillane::py
