#include "rng.hpp"

#include <bit>
#include <cmath>

#include "kernels/dispatch.hpp"
#include "ziggurat.hpp"

namespace quillane {

namespace {

constexpr uint64_t PCG_MULTIPLIER = 0x5851F42D4C957F2Dull;
constexpr uint64_t PCG_INCREMENT = 0xA17654E46FBE17F3ull;
constexpr double TWO_POW_M53 = std::bit_cast<double>(0x3CA0000000000000ull);
constexpr double OPEN_OFFSET = std::bit_cast<double>(0xBFEFFFFFFFFFFFFFull);

}  // namespace

SeededRng::SeededRng(uint64_t seed) : SeededRng(seed, kernels::active().chacha8_four_blocks) {}

SeededRng::SeededRng(uint64_t seed, FourBlocksFn four_blocks) : four_blocks_(four_blocks) {
    uint64_t s = seed;
    for (int k = 0; k < 8; ++k) {
        s = s * PCG_MULTIPLIER + PCG_INCREMENT;
        const uint32_t x = static_cast<uint32_t>(((s >> 18) ^ s) >> 27);
        const unsigned r = static_cast<unsigned>(s >> 59);
        key_[k] = std::rotr(x, static_cast<int>(r));
    }
}

void SeededRng::refill() {
    four_blocks_(key_, counter_, buffer_);
    counter_ += 4;
}

uint64_t SeededRng::next_u64() {
    if (index_ >= 64) {
        refill();
        index_ = 0;
    }
    const uint64_t w = static_cast<uint64_t>(buffer_[index_]) |
                       (static_cast<uint64_t>(buffer_[index_ + 1]) << 32);
    index_ += 2;
    return w;
}

double SeededRng::next_f64() { return static_cast<double>(next_u64() >> 11) * TWO_POW_M53; }

double SeededRng::next_open01() {
    const double one_to_two = std::bit_cast<double>((next_u64() >> 12) | 0x3FF0000000000000ull);
    return one_to_two + OPEN_OFFSET;
}

double SeededRng::tail(double u) {
    for (;;) {
        const double a = next_open01();
        const double b = next_open01();
        const double xt = std::log(a) / ZIGGURAT_R;
        const double yt = std::log(b);
        if (-2.0 * yt < xt * xt) continue;
        return u < 0.0 ? xt - ZIGGURAT_R : ZIGGURAT_R - xt;
    }
}

double SeededRng::standard_normal() {
    for (;;) {
        const uint64_t w = next_u64();
        const size_t i = static_cast<size_t>(w & 0xFF);
        const double u = std::bit_cast<double>((w >> 12) | 0x4000000000000000ull) - 3.0;
        const double x = u * ZIGGURAT_X[i];
        if (std::fabs(x) < ZIGGURAT_X[i + 1]) return x;
        if (i == 0) return tail(u);
        const double v = next_f64();
        if ((ZIGGURAT_F[i] - ZIGGURAT_F[i + 1]) * v + ZIGGURAT_F[i + 1] < std::exp((x * x) * (-0.5))) {
            return x;
        }
    }
}

std::vector<float> SeededRng::standard_normal_vec(size_t count) {
    std::vector<float> out;
    out.reserve(count);
    for (size_t k = 0; k < count; ++k) out.push_back(static_cast<float>(standard_normal()));
    return out;
}

}  // namespace quillane
