// The cipher: the key stream, and the plain definition's bytes at every
// length and start address, touching nothing outside the buffer.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "reference.h"
#include "transform/transform.h"

namespace {

std::string transformed(std::string bytes)
{
    xor_buffer(reinterpret_cast<unsigned char *>(bytes.data()), bytes.size());
    return bytes;
}

TEST(XorBuffer, ZeroBytesYieldTheKeyStream)
{
    const std::string key(reference_key);
    // clang-format off
    const struct {
        std::size_t zeros;
        std::string expected;
    } cases[] = {
        {0, ""},
        {1, "t"},
        {8, "tqmv215k"},
        {9, key},
        {10, key + "t"},
        {18, key + key},
    };
    // clang-format on
    for (const auto &c : cases)
        EXPECT_EQ(transformed(std::string(c.zeros, '\0')), c.expected) << c.zeros << " zero bytes";
}

constexpr unsigned char fence = 0xa5;
constexpr std::size_t fence_size = 64;

// Transforms input placed `offset` bytes past a 64-byte boundary, with
// fences on both sides; true when the result and the fences are right.
bool runs_clean(const std::string &input, const std::string &expected, std::size_t offset,
                std::vector<unsigned char> &storage)
{
    const auto address = reinterpret_cast<std::uintptr_t>(storage.data());
    unsigned char *start = storage.data() + (64 - address % 64) % 64 + fence_size + offset;
    const std::size_t length = input.size();
    std::memset(start - fence_size, fence, length + 2 * fence_size);
    std::memcpy(start, input.data(), length);
    xor_buffer(start, length);
    if (std::memcmp(start, expected.data(), length) != 0)
        return false;
    for (std::size_t i = 1; i <= fence_size; ++i)
        if (start[-static_cast<std::ptrdiff_t>(i)] != fence || start[length + i - 1] != fence)
            return false;
    return true;
}

TEST(XorBuffer, MatchesTheReferenceAtEveryLengthAndStartTouchingNothingElse)
{
    constexpr std::size_t max_length = 2400;
    constexpr std::size_t max_offset = 64;
    const std::string input = random_bytes(max_length);
    const std::string expected = reference_xor(input);
    const std::string large = random_bytes(MAX_INPUT_SIZE, 5);
    const std::string large_expected = reference_xor(large);
    std::vector<unsigned char> storage(MAX_INPUT_SIZE + 4 * fence_size + 128);

    for (std::size_t offset = 0; offset <= max_offset; ++offset)
        for (std::size_t length = 0; length <= max_length; ++length)
            if (!runs_clean(input.substr(0, length), expected, offset, storage)) {
                ADD_FAILURE() << "wrong at offset " << offset << ", length " << length;
                return;
            }
    EXPECT_TRUE(runs_clean(large, large_expected, 16, storage)) << "4 MiB";
}

} // namespace
