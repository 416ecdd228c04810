// ChaCha block function with a 64-bit block counter and a 64-bit nonce of zero.
#pragma once

#include <array>
#include <cstdint>

namespace quillane {

using ChaChaKey = std::array<uint32_t, 8>;

// One block of `rounds` rounds (8 for the stream; 20 only for the published test vector).
void chacha_block(const ChaChaKey& key, uint64_t counter, int rounds, uint32_t out[16]);

// Blocks counter .. counter+3 into out[0..63], block k in words 16k .. 16k+15: the
// random source's kernel, one implementation per instruction set (kernels/dispatch.hpp).
using FourBlocksFn = void (*)(const ChaChaKey&, uint64_t, uint32_t*);

}  // namespace quillane
