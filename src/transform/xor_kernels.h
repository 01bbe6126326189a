// The interchangeable ways xor_buffer can do its work.  All give the same
// bytes; they differ only in the instructions they need.
#pragma once

#include <array>
#include <cstddef>

#include "transform.h"

enum class xor_kernel { portable, sse2, avx2, avx512bw };

// 576 = lcm(9, 64): a whole number of keys and of vectors of any width up to
// 64 bytes, so loops over it need no remainder handling per pass.
inline constexpr std::size_t KEY_PERIOD = 576;

// The key repeated, with slack so that a vector of up to 64 bytes can be
// loaded from any key phase 0..8 at any of nine vector positions.
using key_stream = std::array<unsigned char, KEY_PERIOD + 64>;

constexpr key_stream make_key_stream()
{
    key_stream stream{};
    for (std::size_t i = 0; i < stream.size(); ++i)
        stream[i] = XOR_KEY[i % sizeof XOR_KEY];
    return stream;
}

inline constexpr key_stream KEY_STREAM = make_key_stream();

// The plain definition, for the few bytes before and after a kernel's whole
// words or vectors.
inline void xor_bytes(unsigned char *bytes, std::size_t from, std::size_t to)
{
    for (std::size_t i = from; i < to; ++i)
        bytes[i] ^= XOR_KEY[i % sizeof XOR_KEY];
}

// The best kernel for a processor with these features.
xor_kernel pick_kernel(bool has_avx2, bool has_avx512bw);

// Whether the running processor can execute the kernel.
bool kernel_supported(xor_kernel kernel);

// Runs the kernel, which must be supported, over the buffer.
void xor_with(xor_kernel kernel, unsigned char *bytes, std::size_t length);

void xor_portable(unsigned char *bytes, std::size_t length);
#if defined(__x86_64__)
void xor_sse2(unsigned char *bytes, std::size_t length);
void xor_avx2(unsigned char *bytes, std::size_t length);
void xor_avx512bw(unsigned char *bytes, std::size_t length);
#endif
