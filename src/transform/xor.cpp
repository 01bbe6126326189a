// The cipher: each byte is combined with the key byte for its offset, a whole
// word at a time, in loops that compilers vectorize where the target has
// vectors (SSE2 on x86-64, NEON on arm64, VSX on ppc64el).
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

#include "transform.h"

namespace {

// Eight bytes even on 32-bit targets, where a pair of registers does twice
// the work per pass of the loop.
using word = std::uint64_t;
constexpr std::size_t WORD_SIZE = sizeof(word);

// The key 64 times over: a whole number of words and of vectors of any width
// up to 64 bytes, so loops over a row vectorize with nothing left over.
constexpr std::size_t ROW_LENGTH = 64 * sizeof XOR_KEY;

// One row of the key stream for each key phase that the first aligned word
// can have (the bytes before it are fewer than a word), each starting on a
// word boundary.
using key_row = std::array<unsigned char, ROW_LENGTH>;

constexpr std::array<key_row, WORD_SIZE> make_key_rows()
{
    std::array<key_row, WORD_SIZE> rows{};
    for (std::size_t phase = 0; phase < rows.size(); ++phase)
        for (std::size_t j = 0; j < ROW_LENGTH; ++j)
            rows[phase][j] = XOR_KEY[(phase + j) % sizeof XOR_KEY];
    return rows;
}

alignas(WORD_SIZE) constexpr auto KEY_ROWS = make_key_rows();

// The plain definition, for the few bytes before and after the whole words.
void xor_bytes(unsigned char *bytes, std::size_t from, std::size_t to)
{
    for (std::size_t i = from; i < to; ++i)
        bytes[i] ^= XOR_KEY[i % sizeof XOR_KEY];
}

inline word load(const unsigned char *from)
{
    word value = 0;
    std::memcpy(&value, from, WORD_SIZE);
    return value;
}

inline void store(unsigned char *to, word value)
{
    std::memcpy(to, &value, WORD_SIZE);
}

// Combines one aligned word with the key word for it.
inline void xor_word(unsigned char *at, const unsigned char *key)
{
    unsigned char *aligned = std::assume_aligned<WORD_SIZE>(at);
    store(aligned, load(aligned) ^ load(key));
}

// Combines `rows` whole rows starting at an aligned word, each key word
// loaded once for all of them.  Fixed trip counts let compilers vectorize
// this.
template <std::size_t rows>
inline void xor_rows(unsigned char *words, const unsigned char *key)
{
    unsigned char *aligned = std::assume_aligned<WORD_SIZE>(words);
    for (std::size_t j = 0; j < ROW_LENGTH; j += WORD_SIZE) {
        const word key_word = load(key + j);
        for (std::size_t r = 0; r < rows; ++r)
            store(aligned + r * ROW_LENGTH + j, load(aligned + r * ROW_LENGTH + j) ^ key_word);
    }
}

} // namespace

void xor_buffer(unsigned char *bytes, std::size_t length)
{
    // Bytes up to the first aligned word, whole words, then the last bytes.
    // Only aligned words are loaded and stored: a target without unaligned
    // access would split a word of unknown alignment into bytes or a call.
    const std::size_t misalignment = reinterpret_cast<std::uintptr_t>(bytes) % WORD_SIZE;
    std::size_t i = std::min(length, (WORD_SIZE - misalignment) % WORD_SIZE);
    xor_bytes(bytes, 0, i);
    const unsigned char *key = KEY_ROWS[i].data();
    for (; length - i >= 4 * ROW_LENGTH; i += 4 * ROW_LENGTH)
        xor_rows<4>(bytes + i, key);
    for (; length - i >= ROW_LENGTH; i += ROW_LENGTH)
        xor_rows<1>(bytes + i, key);
    for (; length - i >= WORD_SIZE; i += WORD_SIZE, key += WORD_SIZE)
        xor_word(bytes + i, key);
    xor_bytes(bytes, i, length);
}
