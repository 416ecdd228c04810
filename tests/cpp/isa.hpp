// Running tests on every kernel path this processor has.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "kernels/dispatch.hpp"

namespace quillane::testing_isa {

// f(isa) with each available instruction set's kernels in use, then the default again.
template <class F> void for_each_isa(F&& f) {
    for (kernels::Isa isa : kernels::available_isas()) {
        kernels::force_isa(isa);
        f(isa);
    }
    kernels::force_isa(kernels::available_isas().back());
}

// A suite parametrized by instruction set: each test runs with that set's kernels.
class OnEachIsa : public ::testing::TestWithParam<kernels::Isa> {
protected:
    void SetUp() override { kernels::force_isa(GetParam()); }
    void TearDown() override { kernels::force_isa(kernels::available_isas().back()); }
};

inline std::string isa_name(const ::testing::TestParamInfo<kernels::Isa>& info) {
    return kernels::isa_name(info.param);
}

}  // namespace quillane::testing_isa

#define INSTANTIATE_ON_EACH_ISA(Suite)                                                  \
    INSTANTIATE_TEST_SUITE_P(Isa, Suite, ::testing::ValuesIn(quillane::kernels::available_isas()), \
                             quillane::testing_isa::isa_name)
