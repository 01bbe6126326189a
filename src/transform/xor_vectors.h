// One body for every vector width W: each target compiles it for its own
// instruction set, and any compiler can build it for the baseline one.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "xor_kernels.h"

// Nine vectors of W bytes hold the key a whole number of times, so nine key
// vectors, loaded once, serve the whole buffer.  The main loop starts at a
// W-aligned address: loads and stores that straddle cache lines cost a
// quarter of the speed.
template <std::size_t W>
[[gnu::always_inline]] inline void xor_vectors(unsigned char *bytes, std::size_t length)
{
    typedef unsigned char vec __attribute__((vector_size(W)));
    const std::size_t misalignment = reinterpret_cast<std::uintptr_t>(bytes) % W;
    std::size_t i = std::min(length, (W - misalignment) % W);
    xor_bytes(bytes, 0, i);

    vec key[9];
    for (std::size_t k = 0; k < 9; ++k)
        std::memcpy(&key[k], KEY_STREAM.data() + i % 9 + k * W, W);
    for (; length - i >= 9 * W; i += 9 * W) {
#pragma GCC unroll 9
        for (std::size_t k = 0; k < 9; ++k) {
            vec v;
            std::memcpy(&v, bytes + i + k * W, W);
            v ^= key[k];
            std::memcpy(bytes + i + k * W, &v, W);
        }
    }
    for (std::size_t k = 0; length - i >= W; i += W, ++k) {
        vec v;
        std::memcpy(&v, bytes + i, W);
        v ^= key[k];
        std::memcpy(bytes + i, &v, W);
    }
    xor_bytes(bytes, i, length);
}
