// Every kernel the processor offers, and the body of every vector width
// built for any processor, gives the plain definition's bytes at every length
// and start address, touching nothing outside the buffer; and the choice
// among the kernels never falls on one the processor lacks.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <vector>

#include "reference.h"
#include "transform/xor_kernels.h"
#include "transform/xor_vectors.h"

namespace {

const struct {
    const char *name;
    xor_kernel kernel;
} kernels[] = {
    {"portable", xor_kernel::portable},
    {"sse2", xor_kernel::sse2},
    {"avx2", xor_kernel::avx2},
    {"avx512bw", xor_kernel::avx512bw},
};

// Each width's body built for the baseline instruction set: its logic is
// tested even where the processor lacks the instructions it is meant for.
const struct {
    const char *name;
    void (*run)(unsigned char *, std::size_t);
} baseline_bodies[] = {
    {"16-byte body", xor_vectors<16>},
    {"32-byte body", xor_vectors<32>},
    {"64-byte body", xor_vectors<64>},
};

using kernel_fn = std::function<void(unsigned char *, std::size_t)>;

constexpr unsigned char fence = 0xa5;
constexpr std::size_t fence_size = 64;

// Runs the kernel on input placed `offset` bytes past a 64-byte boundary,
// with fences on both sides; true when the result and the fences are right.
bool runs_clean(const kernel_fn &kernel, const std::string &input, const std::string &expected,
                std::size_t offset, std::vector<unsigned char> &storage)
{
    const auto address = reinterpret_cast<std::uintptr_t>(storage.data());
    unsigned char *start = storage.data() + (64 - address % 64) % 64 + fence_size + offset;
    const std::size_t length = input.size();
    std::memset(start - fence_size, fence, length + 2 * fence_size);
    std::memcpy(start, input.data(), length);
    kernel(start, length);
    if (std::memcmp(start, expected.data(), length) != 0)
        return false;
    for (std::size_t i = 1; i <= fence_size; ++i)
        if (start[-static_cast<std::ptrdiff_t>(i)] != fence || start[length + i - 1] != fence)
            return false;
    return true;
}

void expect_matches_reference(const kernel_fn &kernel)
{
    constexpr std::size_t max_length = 2400;
    constexpr std::size_t max_offset = 64;
    static const std::string input = random_bytes(max_length);
    static const std::string expected = reference_xor(input);
    static const std::string large = random_bytes(MAX_INPUT_SIZE, 5);
    static const std::string large_expected = reference_xor(large);
    std::vector<unsigned char> storage(MAX_INPUT_SIZE + 4 * fence_size + 128);

    for (std::size_t offset = 0; offset <= max_offset; ++offset)
        for (std::size_t length = 0; length <= max_length; ++length)
            if (!runs_clean(kernel, input.substr(0, length), expected, offset, storage)) {
                ADD_FAILURE() << "wrong at offset " << offset << ", length " << length;
                return;
            }
    EXPECT_TRUE(runs_clean(kernel, large, large_expected, 16, storage)) << "4 MiB";
}

TEST(Kernels, MatchTheReferenceAtEveryLengthAndStart)
{
    for (const auto &k : kernels) {
        if (!kernel_supported(k.kernel)) {
            std::printf("%s: not offered by this processor\n", k.name);
            continue;
        }
        SCOPED_TRACE(k.name);
        expect_matches_reference(
            [&k](unsigned char *bytes, std::size_t length) { xor_with(k.kernel, bytes, length); });
    }
}

TEST(Kernels, EveryVectorWidthMatchesTheReferenceOnAnyProcessor)
{
    for (const auto &body : baseline_bodies) {
        SCOPED_TRACE(body.name);
        expect_matches_reference(body.run);
    }
}

TEST(Kernels, NoneIsChosenThatNeedsAFeatureTheProcessorLacks)
{
    const struct {
        bool avx2;
        bool avx512bw;
        xor_kernel expected;
    } cases[] = {
#if defined(__x86_64__)
        {false, false, xor_kernel::sse2},
        {true, false, xor_kernel::avx2},
        {true, true, xor_kernel::avx512bw},
#else
        {false, false, xor_kernel::portable},
        {true, true, xor_kernel::portable},
#endif
    };
    for (const auto &c : cases)
        EXPECT_EQ(pick_kernel(c.avx2, c.avx512bw), c.expected) << c.avx2 << c.avx512bw;
}

TEST(Kernels, FeatureDetectionAgreesWithTheKernel)
{
#if defined(__x86_64__)
    // Every x86-64 processor has SSE2, and the portable kernel runs anywhere.
    EXPECT_TRUE(kernel_supported(xor_kernel::sse2));
    EXPECT_TRUE(kernel_supported(xor_kernel::portable));
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line) && line.rfind("flags", 0) != 0) {
    }
    if (line.empty())
        GTEST_SKIP() << "no processor flags to compare with";
    line += ' ';
    EXPECT_EQ(kernel_supported(xor_kernel::avx2), line.find(" avx2 ") != std::string::npos);
    EXPECT_EQ(kernel_supported(xor_kernel::avx512bw), line.find(" avx512bw ") != std::string::npos);
#else
    // Elsewhere no kernel depends on the processor's features, and what
    // /proc/cpuinfo lists (an emulator's host, say) must not matter.
    EXPECT_FALSE(kernel_supported(xor_kernel::avx2));
    EXPECT_FALSE(kernel_supported(xor_kernel::avx512bw));
    EXPECT_TRUE(kernel_supported(xor_kernel::portable));
#endif
}

} // namespace
