// SeededRng: the system's only source of randomness, fixed to the bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "chacha.hpp"

namespace quillane {

class SeededRng {
public:
    explicit SeededRng(uint64_t seed);
    // Same stream through a chosen block routine (tests and benchmarks compare them).
    SeededRng(uint64_t seed, FourBlocksFn four_blocks);

    uint64_t next_u64();
    double next_f64();     // [0, 1), a multiple of 2^-53
    double next_open01();  // [2^-53, 1 - 2^-53]
    double standard_normal();
    std::vector<float> standard_normal_vec(size_t count);

    const ChaChaKey& key() const { return key_; }
    uint64_t counter() const { return counter_; }

private:
    void refill();
    double tail(double u);

    uint32_t buffer_[64] = {};
    size_t index_ = 64;
    ChaChaKey key_{};
    uint64_t counter_ = 0;
    FourBlocksFn four_blocks_;
};

}  // namespace quillane
