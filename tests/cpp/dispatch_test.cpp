#include "kernels/dispatch.hpp"

#include <gtest/gtest.h>

#include "error.hpp"

namespace quillane::kernels {
namespace {

TEST(Dispatch, PortableAlwaysBestByDefaultAndEachPathCanBeForced) {
    const auto isas = available_isas();
    ASSERT_FALSE(isas.empty());
    EXPECT_EQ(isas.front(), Isa::portable);
    EXPECT_EQ(active().isa, isas.back());
    for (Isa isa : isas) {
        EXPECT_TRUE(cpu_supports(isa));
        force_isa(isa);
        EXPECT_EQ(active().isa, isa);
        EXPECT_EQ(&active(), &table_for(isa));
    }
    force_isa(isas.back());
    // A set without a table here, or that this processor lacks, cannot be forced.
    for (Isa isa : {Isa::avx2, Isa::avx512, Isa::amx}) {
        bool listed = false;
        for (Isa a : isas) listed = listed || a == isa;
        if (!listed) {
            EXPECT_THROW(force_isa(isa), InvariantFailure) << isa_name(isa);
        }
    }
    EXPECT_EQ(active().isa, isas.back());
}

}  // namespace
}  // namespace quillane::kernels
