// ChaCha block function with a 64-bit block counter and a 64-bit nonce of zero.
#pragma once

#include <array>
#include <cstdint>

namespace quillane {

using ChaChaKey = std::array<uint32_t, 8>;

// One block of `rounds` rounds (8 for the stream; 20 only for the published test vector).
void chacha_block(const ChaChaKey& key, uint64_t counter, int rounds, uint32_t out[16]);

// Blocks counter .. counter+3 into out[0..63], block k in words 16k .. 16k+15.
void chacha8_four_blocks_portable(const ChaChaKey& key, uint64_t counter, uint32_t out[64]);
void chacha8_four_blocks_avx2(const ChaChaKey& key, uint64_t counter, uint32_t out[64]);

// The routine chosen once per process from the processor's features.
using FourBlocksFn = void (*)(const ChaChaKey&, uint64_t, uint32_t*);
FourBlocksFn chacha8_four_blocks();
bool cpu_has_avx2();

}  // namespace quillane
