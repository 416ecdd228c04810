// The integers that fix a family's quantizer, as an index file stores them.
#pragma once

#include <cstdint>

namespace quillane {

struct FamilyParameters {
    uint64_t dim = 0;
    uint8_t bits = 0;
    uint64_t projections = 0;  // the two-stage family's; 0 for compact codes
    uint64_t seed = 0;
    uint8_t metric = 0;  // index/metric.hpp's Metric; 0 (inner product) for the two-stage family
};

}  // namespace quillane
