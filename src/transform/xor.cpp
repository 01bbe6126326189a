// The cipher: each byte is combined with the key byte for its offset, by the
// fastest kernel the processor offers.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

#include "xor_kernels.h"

namespace {

// Eight bytes even on 32-bit targets, where a pair of registers does twice
// the work per pass of the loop.
using word = std::uint64_t;
constexpr std::size_t WORD = sizeof(word);

// One period of the key stream for each key phase that the first aligned
// word can have (the bytes before it are fewer than a word), each starting
// on a word boundary.
using key_row = std::array<unsigned char, KEY_PERIOD>;

constexpr std::array<key_row, WORD> make_key_rows()
{
    std::array<key_row, WORD> rows{};
    for (std::size_t phase = 0; phase < rows.size(); ++phase)
        for (std::size_t j = 0; j < KEY_PERIOD; ++j)
            rows[phase][j] = KEY_STREAM[phase + j];
    return rows;
}

alignas(WORD) constexpr auto KEY_ROWS = make_key_rows();

inline word load(const unsigned char *from)
{
    word value = 0;
    std::memcpy(&value, from, WORD);
    return value;
}

inline void store(unsigned char *to, word value)
{
    std::memcpy(to, &value, WORD);
}

// Combines one aligned word with the key word for it.
inline void xor_word(unsigned char *at, const unsigned char *key)
{
    unsigned char *aligned = std::assume_aligned<WORD>(at);
    store(aligned, load(aligned) ^ load(key));
}

// Combines `periods` whole key periods starting at an aligned word, each key
// word loaded once for all of them.  Fixed trip counts let compilers
// vectorize this where the target has vectors.
template <std::size_t periods>
inline void xor_periods(unsigned char *words, const unsigned char *key)
{
    unsigned char *aligned = std::assume_aligned<WORD>(words);
    for (std::size_t j = 0; j < KEY_PERIOD; j += WORD) {
        const word key_word = load(key + j);
        for (std::size_t p = 0; p < periods; ++p)
            store(aligned + p * KEY_PERIOD + j, load(aligned + p * KEY_PERIOD + j) ^ key_word);
    }
}

} // namespace

void xor_portable(unsigned char *bytes, std::size_t length)
{
    // Bytes up to the first aligned word, whole words, then the last bytes.
    // Only aligned words are loaded and stored: a target without unaligned
    // access would split a word of unknown alignment into bytes or a call.
    const std::size_t misalignment = reinterpret_cast<std::uintptr_t>(bytes) % WORD;
    std::size_t i = std::min(length, (WORD - misalignment) % WORD);
    xor_bytes(bytes, 0, i);
    const unsigned char *key = KEY_ROWS[i].data();
    for (; length - i >= 4 * KEY_PERIOD; i += 4 * KEY_PERIOD)
        xor_periods<4>(bytes + i, key);
    for (; length - i >= KEY_PERIOD; i += KEY_PERIOD)
        xor_periods<1>(bytes + i, key);
    for (; length - i >= WORD; i += WORD, key += WORD)
        xor_word(bytes + i, key);
    xor_bytes(bytes, i, length);
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
