// The cipher: each byte is combined with the key byte for its offset, by the
// fastest kernel the processor offers.
#include "xor_kernels.h"

void xor_portable(unsigned char *bytes, std::size_t length)
{
    // Fixed trip counts over a precomputed key stream are what let any
    // compiler vectorize this at -O2; an index modulo 9 defeats it.  Four
    // key periods per pass share each key load and the loop's overhead.
    std::size_t i = 0;
    for (; length - i >= 4 * KEY_PERIOD; i += 4 * KEY_PERIOD) {
        for (std::size_t j = 0; j < KEY_PERIOD; ++j) {
            const unsigned char key = KEY_STREAM[j];
            bytes[i + j] ^= key;
            bytes[i + KEY_PERIOD + j] ^= key;
            bytes[i + 2 * KEY_PERIOD + j] ^= key;
            bytes[i + 3 * KEY_PERIOD + j] ^= key;
        }
    }
    for (; length - i >= KEY_PERIOD; i += KEY_PERIOD)
        for (std::size_t j = 0; j < KEY_PERIOD; ++j)
            bytes[i + j] ^= KEY_STREAM[j];
    for (std::size_t j = 0; i + j < length; ++j)
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
