// The cipher: each byte is combined with the key byte for its offset, by the
// fastest kernel the processor offers.
#include <cstdint>
#include <cstring>

#include "xor_kernels.h"

namespace {

// Eight bytes even on 32-bit targets, where a pair of registers does twice
// the work per pass of the loop.
using word = std::uint64_t;

// memcpy keeps any alignment and lets the compiler load a whole word at once.
inline word load(const unsigned char *from)
{
    word value = 0;
    std::memcpy(&value, from, sizeof value);
    return value;
}

inline void store(unsigned char *to, word value)
{
    std::memcpy(to, &value, sizeof value);
}

// Combines `periods` whole key periods a word at a time, each key word
// loaded once for all of them.
template <std::size_t periods>
inline void xor_periods(unsigned char *bytes)
{
    for (std::size_t j = 0; j < KEY_PERIOD; j += sizeof(word)) {
        const word key = load(KEY_STREAM.data() + j);
        for (std::size_t p = 0; p < periods; ++p)
            store(bytes + p * KEY_PERIOD + j, load(bytes + p * KEY_PERIOD + j) ^ key);
    }
}

} // namespace

void xor_portable(unsigned char *bytes, std::size_t length)
{
    // Fixed trip counts over a precomputed key stream let compilers
    // vectorize this where the target has vectors; a target without them
    // still takes a machine word at a time.  Data and key words are loaded
    // in the same byte order, so either order gives the same bytes.
    std::size_t i = 0;
    for (; length - i >= 4 * KEY_PERIOD; i += 4 * KEY_PERIOD)
        xor_periods<4>(bytes + i);
    for (; length - i >= KEY_PERIOD; i += KEY_PERIOD)
        xor_periods<1>(bytes + i);
    std::size_t j = 0;
    for (; length - i - j >= sizeof(word); j += sizeof(word))
        store(bytes + i + j, load(bytes + i + j) ^ load(KEY_STREAM.data() + j));
    for (; i + j < length; ++j)
        bytes[i + j] ^= KEY_STREAM[j];
}

xor_kernel pick_kernel([[maybe_unused]] bool has_avx2, [[maybe_unused]] bool has_avx512bw)
{
#if defined(__x86_64__)
    if (has_avx512bw)
        return xor_kernel::avx512bw;
    if (has_avx2)
        return xor_kernel::avx2;
    return xor_kernel::sse2;
#else
    return xor_kernel::portable;
#endif
}

bool kernel_supported(xor_kernel kernel)
{
#if defined(__x86_64__)
    // SSE2 is part of every x86-64 processor.
    if (kernel == xor_kernel::avx2)
        return __builtin_cpu_supports("avx2");
    if (kernel == xor_kernel::avx512bw)
        return __builtin_cpu_supports("avx512bw");
    return true;
#else
    return kernel == xor_kernel::portable;
#endif
}

void xor_with(xor_kernel kernel, unsigned char *bytes, std::size_t length)
{
    switch (kernel) {
#if defined(__x86_64__)
    case xor_kernel::sse2:
        return xor_sse2(bytes, length);
    case xor_kernel::avx2:
        return xor_avx2(bytes, length);
    case xor_kernel::avx512bw:
        return xor_avx512bw(bytes, length);
#endif
    default:
        return xor_portable(bytes, length);
    }
}

void xor_buffer(unsigned char *bytes, std::size_t length)
{
    // The runtime reads the processor's features once, at start-up; looking
    // them up here costs two loads, less than guarding a cached choice would.
    xor_with(
        pick_kernel(kernel_supported(xor_kernel::avx2), kernel_supported(xor_kernel::avx512bw)),
        bytes, length);
}
