// The cipher: the key stream, its period of nine, and that it undoes itself.
#include <gtest/gtest.h>

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

TEST(XorBuffer, MatchesReferenceAndRestoresForAnyLength)
{
    for (std::size_t length : {0U, 1U, 7U, 9U, 17U, 64U, 100U, 4095U, 65537U}) {
        const std::string input = random_bytes(length, static_cast<unsigned>(length));
        const std::string once = transformed(input);
        EXPECT_EQ(once, reference_xor(input)) << length << " bytes";
        EXPECT_EQ(transformed(once), input) << length << " bytes";
    }
}

} // namespace
