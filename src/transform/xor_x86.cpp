// Kernels for x86-64: one body, compiled once per instruction set, so the
// program runs on any x86-64 and uses the widest vectors it finds.
#if defined(__x86_64__)

#include "xor_vectors.h"

void xor_sse2(unsigned char *bytes, std::size_t length)
{
    xor_vectors<16>(bytes, length);
}

__attribute__((target("avx2"))) void xor_avx2(unsigned char *bytes, std::size_t length)
{
    xor_vectors<32>(bytes, length);
}

__attribute__((target("avx512bw"))) void xor_avx512bw(unsigned char *bytes, std::size_t length)
{
    xor_vectors<64>(bytes, length);
}

#endif
