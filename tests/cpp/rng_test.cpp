#include "rng.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <set>

#include "chacha.hpp"
#include "kernels/dispatch.hpp"
#include "test_data.hpp"
#include "ziggurat.hpp"

namespace quillane {
namespace {

using testing_data::bits;
using testing_data::hex_u32;
using testing_data::hex_u64;

uint32_t byteswap32(uint32_t v) { return __builtin_bswap32(v); }

TEST(ChaCha, PublishedZeroKeyVectors) {
    const ChaChaKey zero{};
    uint32_t out[16];
    chacha_block(zero, 0, 8, out);
    // The published vectors are bytes; words are little-endian.
    EXPECT_EQ(byteswap32(out[0]), 0x3e00ef2fu);
    EXPECT_EQ(byteswap32(out[1]), 0x895f40d6u);
    EXPECT_EQ(byteswap32(out[2]), 0x7f5bb8e8u);
    EXPECT_EQ(byteswap32(out[3]), 0x1f09a5a1u);
    chacha_block(zero, 0, 20, out);
    EXPECT_EQ(byteswap32(out[0]), 0x76b8e0adu);
    EXPECT_EQ(byteswap32(out[1]), 0xa0f13d90u);
}

TEST(ChaCha, EveryPathMatchesPortableIncludingCounterCarry) {
    const FourBlocksFn portable = kernels::table_for(kernels::Isa::portable).chacha8_four_blocks;
    for (kernels::Isa isa : kernels::available_isas()) {
        const FourBlocksFn path = kernels::table_for(isa).chacha8_four_blocks;
        SeededRng keys(12345);
        const uint64_t starts[] = {0, 0xFFFFFFFDull, 0xFFFFFFFEull, 0x1FFFFFFFFull - 2,
                                   0xFFFFFFFFFFFFFFFEull, 0x7FFFFFFFFFFFFFFFull};
        for (int round = 0; round < 25000; ++round) {
            ChaChaKey key;
            for (auto& k : key) k = static_cast<uint32_t>(keys.next_u64());
            const uint64_t counter = round < 6 ? starts[round] : keys.next_u64();
            uint32_t a[64], b[64];
            portable(key, counter, a);
            path(key, counter, b);
            ASSERT_TRUE(std::equal(a, a + 64, b)) << kernels::isa_name(isa) << " counter " << counter;
        }
    }
}

TEST(SeededRng, FirstDrawIsBlockZeroWordsZeroAndOne) {
    SeededRng rng(42);
    uint32_t blocks[64];
    kernels::table_for(kernels::Isa::portable).chacha8_four_blocks(rng.key(), 0, blocks);
    EXPECT_EQ(rng.next_u64(), uint64_t(blocks[0]) | uint64_t(blocks[1]) << 32);
    EXPECT_EQ(rng.counter(), 4u);
    for (int i = 1; i < 32; ++i) {
        EXPECT_EQ(rng.next_u64(), uint64_t(blocks[2 * i]) | uint64_t(blocks[2 * i + 1]) << 32);
    }
    EXPECT_EQ(rng.counter(), 4u);
    kernels::table_for(kernels::Isa::portable).chacha8_four_blocks(rng.key(), 4, blocks);
    EXPECT_EQ(rng.next_u64(), uint64_t(blocks[0]) | uint64_t(blocks[1]) << 32);  // 33rd draw
    EXPECT_EQ(rng.counter(), 8u);
}

TEST(SeededRng, GoldenWordsAndSamples) {
    for (const auto& entry : testing_data::reference()["rng"]) {
        const uint64_t seed = std::stoull(entry["seed"].get<std::string>());
        SeededRng words(seed);
        for (const auto& w : entry["next_u64_first_40"]) {
            ASSERT_EQ(words.next_u64(), hex_u64(w.get<std::string>())) << "seed " << seed;
        }
        const auto& expected = entry["standard_normal_vec_first_64"];
        SeededRng normals(seed);
        const auto samples = normals.standard_normal_vec(expected.size());
        for (size_t k = 0; k < samples.size(); ++k) {
            ASSERT_EQ(bits(samples[k]), hex_u32(expected[k].get<std::string>()))
                << "seed " << seed << " sample " << k;
        }
    }
}

TEST(SeededRng, SameSeedSameStream) {
    SeededRng a(987654321), b(987654321);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(a.next_u64(), b.next_u64());
    SeededRng c(987654321), d(987654321);
    EXPECT_EQ(c.standard_normal_vec(5000), d.standard_normal_vec(5000));
}

TEST(SeededRng, OneBitApartSeedsGiveUnrelatedStreams) {
    const uint64_t base = 0x0123456789ABCDEFull;
    SeededRng ref(base);
    std::vector<uint64_t> ref_words(64);
    for (auto& w : ref_words) w = ref.next_u64();
    for (int bit = 0; bit < 64; ++bit) {
        SeededRng other(base ^ (1ull << bit));
        int equal_words = 0;
        long differing_bits = 0;
        for (uint64_t w : ref_words) {
            const uint64_t o = other.next_u64();
            equal_words += (o == w);
            differing_bits += std::popcount(o ^ w);
        }
        EXPECT_EQ(equal_words, 0) << "bit " << bit;
        // 64 words x 64 bits: about half should differ (4096 +- 32 sd).
        EXPECT_NEAR(differing_bits, 2048, 250) << "bit " << bit;
    }
}

TEST(SeededRng, SeedZeroIsOrdinary) {
    SeededRng rng(0);
    EXPECT_NE(rng.key(), ChaChaKey{});
    std::set<uint64_t> seen;
    for (int i = 0; i < 100; ++i) seen.insert(rng.next_u64());
    EXPECT_EQ(seen.size(), 100u);
}

TEST(SeededRng, UniformsStayInTheirIntervals) {
    SeededRng rng(3);
    for (int i = 0; i < 100000; ++i) {
        const double h = rng.next_f64();
        ASSERT_GE(h, 0.0);
        ASSERT_LT(h, 1.0);
        const double o = rng.next_open01();
        ASSERT_GT(o, 0.0);
        ASSERT_LT(o, 1.0);
    }
}

TEST(SeededRng, LayerZeroTailFollowsTheSignOfU) {
    SeededRng rng(2024);
    int tails = 0;
    for (int n = 0; n < 2000000 && tails < 20; ++n) {
        SeededRng peek = rng;
        const uint64_t w = peek.next_u64();
        const double u = std::bit_cast<double>((w >> 12) | 0x4000000000000000ull) - 3.0;
        const bool tail = (w & 0xFF) == 0 && !(std::fabs(u * ZIGGURAT_X[0]) < ZIGGURAT_X[1]);
        const double sample = rng.standard_normal();
        if (!tail) continue;
        ++tails;
        if (u < 0) {
            EXPECT_LT(sample, -ZIGGURAT_R);
        } else {
            EXPECT_GT(sample, ZIGGURAT_R);
        }
    }
    EXPECT_EQ(tails, 20);
}

TEST(SeededRng, SamplesLookStandardNormal) {
    SeededRng rng(77);
    const auto v = rng.standard_normal_vec(200000);
    double mean = 0, sq = 0;
    for (float x : v) mean += x;
    mean /= v.size();
    for (float x : v) sq += (x - mean) * (x - mean);
    const double var = sq / (v.size() - 1);
    EXPECT_NEAR(mean, 0.0, 5.0 / std::sqrt(200000.0));
    EXPECT_NEAR(var, 1.0, 5.0 * std::sqrt(2.0 / 200000.0));
}

uint64_t d(double v) { return std::bit_cast<uint64_t>(v); }

TEST(Ziggurat, StatedEntries) {
    EXPECT_EQ(d(ZIGGURAT_R), 0x400D3BB48209AD33ull);
    EXPECT_EQ(d(ZIGGURAT_X[0]), 0x400F493B78164498ull);
    EXPECT_EQ(ZIGGURAT_X[1], ZIGGURAT_R);
    EXPECT_EQ(d(ZIGGURAT_X[2]), 0x400B981F3878F995ull);
    EXPECT_EQ(d(ZIGGURAT_X[255]), 0x3FCB8D0BE3D69918ull);
    EXPECT_EQ(d(ZIGGURAT_X[256]), d(0.0));
    EXPECT_EQ(d(ZIGGURAT_F[0]), 0x3F3F4A946F0D1E21ull);
    EXPECT_EQ(d(ZIGGURAT_F[3]), 0x3F708A1F03B0D9D7ull);
    EXPECT_EQ(d(ZIGGURAT_F[94]), 0x3FCA6B7E0B1996DFull);
    EXPECT_EQ(d(ZIGGURAT_F[255]), 0x3FEF446AC97C0265ull);
    EXPECT_EQ(ZIGGURAT_F[256], 1.0);
}

TEST(Ziggurat, TablesAreStrictlyMonotonic) {
    for (size_t k = 1; k < 257; ++k) {
        EXPECT_LT(ZIGGURAT_X[k], ZIGGURAT_X[k - 1]) << k;
        EXPECT_GT(ZIGGURAT_F[k], ZIGGURAT_F[k - 1]) << k;
    }
}

TEST(Ziggurat, ChecksumOfAll514Entries) {
    // FNV-1a over X[0..256] then F[0..256] as little-endian doubles.
    uint64_t h = 0xcbf29ce484222325ull;
    auto feed = [&](double v) {
        const uint64_t b = d(v);
        for (int i = 0; i < 8; ++i) {
            h ^= (b >> (8 * i)) & 0xFF;
            h *= 0x100000001b3ull;
        }
    };
    for (double v : ZIGGURAT_X) feed(v);
    for (double v : ZIGGURAT_F) feed(v);
    EXPECT_EQ(h, 0x1f8fee910bd09ebfull);
}

}  // namespace
}  // namespace quillane
