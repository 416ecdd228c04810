#include "chacha.hpp"

#include "kernels/implementations.hpp"

namespace quillane {

namespace {

constexpr uint32_t kSigma[4] = {0x61707865u, 0x3320646Eu, 0x79622D32u, 0x6B206574u};

inline uint32_t rotl(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

inline void quarter_round(uint32_t* s, int a, int b, int c, int d) {
    s[a] += s[b]; s[d] ^= s[a]; s[d] = rotl(s[d], 16);
    s[c] += s[d]; s[b] ^= s[c]; s[b] = rotl(s[b], 12);
    s[a] += s[b]; s[d] ^= s[a]; s[d] = rotl(s[d], 8);
    s[c] += s[d]; s[b] ^= s[c]; s[b] = rotl(s[b], 7);
}

}  // namespace

void chacha_block(const ChaChaKey& key, uint64_t counter, int rounds, uint32_t out[16]) {
    uint32_t input[16];
    for (int i = 0; i < 4; ++i) input[i] = kSigma[i];
    for (int i = 0; i < 8; ++i) input[4 + i] = key[i];
    input[12] = static_cast<uint32_t>(counter);
    input[13] = static_cast<uint32_t>(counter >> 32);
    input[14] = 0;
    input[15] = 0;
    uint32_t s[16];
    for (int i = 0; i < 16; ++i) s[i] = input[i];
    for (int r = 0; r < rounds; r += 2) {
        quarter_round(s, 0, 4, 8, 12);
        quarter_round(s, 1, 5, 9, 13);
        quarter_round(s, 2, 6, 10, 14);
        quarter_round(s, 3, 7, 11, 15);
        quarter_round(s, 0, 5, 10, 15);
        quarter_round(s, 1, 6, 11, 12);
        quarter_round(s, 2, 7, 8, 13);
        quarter_round(s, 3, 4, 9, 14);
    }
    for (int i = 0; i < 16; ++i) out[i] = s[i] + input[i];
}

namespace kernels::portable {

void chacha8_four_blocks(const ChaChaKey& key, uint64_t counter, uint32_t out[64]) {
    for (uint64_t k = 0; k < 4; ++k) chacha_block(key, counter + k, 8, out + 16 * k);
}

}  // namespace kernels::portable

}  // namespace quillane
