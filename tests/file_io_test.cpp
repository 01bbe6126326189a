// Whole-file input and output against streams that fail on purpose: short
// writes, full disks at flush time, read errors, unseekable input, no memory.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>

#include "reference.h"
#include "transform/transform.h"

namespace {

// An input whose size, read errors and seek support are chosen by the test.
struct fake_input {
    std::string content;
    std::size_t reported_size = content.size();
    std::size_t error_at = SIZE_MAX; // reads at or past this offset fail with EIO
    bool seekable = true;
    bool tellable = true;
    std::size_t position = 0;
};

ssize_t fake_read(void *cookie, char *out, std::size_t size)
{
    auto &in = *static_cast<fake_input *>(cookie);
    if (in.position >= in.error_at) {
        errno = EIO;
        return -1;
    }
    const std::size_t end = std::min({in.content.size(), in.error_at, in.position + size});
    const std::size_t count = end > in.position ? end - in.position : 0;
    std::copy_n(in.content.data() + in.position, count, out);
    in.position += count;
    return static_cast<ssize_t>(count);
}

int fake_seek(void *cookie, off64_t *offset, int whence)
{
    auto &in = *static_cast<fake_input *>(cookie);
    if (!in.seekable || (whence == SEEK_CUR && !in.tellable)) {
        errno = ESPIPE;
        return -1;
    }
    const std::size_t base = whence == SEEK_SET   ? 0
                             : whence == SEEK_CUR ? in.position
                                                  : in.reported_size;
    in.position = base + static_cast<std::size_t>(*offset);
    *offset = static_cast<off64_t>(in.position);
    return 0;
}

std::FILE *open_input(fake_input &in)
{
    return fopencookie(&in, "rb", {fake_read, nullptr, fake_seek, nullptr});
}

// An output that takes at most `room` bytes and then reports a full disk.
// Its first `failing_calls` writes fail outright, as write(2) does.
struct fake_output {
    std::size_t room;
    std::string written;
    std::size_t failing_calls = 0;
};

ssize_t fake_write(void *cookie, const char *data, std::size_t size)
{
    auto &out = *static_cast<fake_output *>(cookie);
    if (out.failing_calls > 0) {
        --out.failing_calls;
        errno = EIO;
        return -1;
    }
    const std::size_t count = std::min(size, out.room - out.written.size());
    if (count == 0 && size > 0) {
        errno = ENOSPC;
        return 0;
    }
    out.written.append(data, count);
    return static_cast<ssize_t>(count);
}

const unsigned char *bytes_of(const std::string &s)
{
    return reinterpret_cast<const unsigned char *>(s.data());
}

TEST(WriteOutput, SucceedsOnlyWhenEveryByteReachesTheFile)
{
    const struct {
        const char *name;
        std::size_t length;
        std::size_t room;
        bool buffered;
        int expected;
        std::size_t failing_calls = 0;
    } cases[] = {
        {"fits, unbuffered", 10, 10, false, 0},
        {"fits, buffered", 10, 10, true, 0},
        {"nothing to write", 0, 0, true, 0},
        {"short write call", 10, 4, false, 1},
        {"short only at flush", 10, 4, true, 1},
        {"large, short in the call", 1 << 20, 4096, true, 1},
        {"no room at all", 10, 0, true, 1},
        {"every call fails, unbuffered", 10, 10, false, 1, SIZE_MAX},
        {"one transient failure, buffered", 10, 10, true, 1, 1},
    };
    for (const auto &c : cases) {
        const std::string data = random_bytes(c.length);
        fake_output out{c.room, {}, c.failing_calls};
        std::FILE *stream = fopencookie(&out, "wb", {nullptr, fake_write, nullptr, nullptr});
        ASSERT_NE(stream, nullptr);
        if (!c.buffered)
            (void)std::setvbuf(stream, nullptr, _IONBF, 0);
        EXPECT_EQ(write_output(stream, bytes_of(data), data.size()), c.expected) << c.name;
        if (c.expected == 0) {
            EXPECT_EQ(out.written, data) << c.name;
        }
        (void)std::fclose(stream);
    }
}

TEST(ReadInput, HandsOverTheTransformedInputPositionedAtItsEnd)
{
    // Sizes on both sides of where small blocks give way to mapped ones.
    const std::size_t sizes[] = {
        0, 1, 10, (256 << 10) - 1, 256 << 10, (2 << 20) + 1, MAX_INPUT_SIZE};
    for (std::size_t size : sizes) {
        fake_input in{random_bytes(size)};
        std::FILE *stream = open_input(in);
        byte_buffer buffer;
        ASSERT_EQ(read_input(stream, buffer), 0) << size;
        ASSERT_EQ(buffer.length, size);
        const std::string got(reinterpret_cast<char *>(buffer.data), buffer.length);
        EXPECT_TRUE(got == reference_xor(in.content)) << size << " bytes differ";
        EXPECT_EQ(std::ftell(stream), static_cast<long>(size));
        release_buffer(buffer);
        (void)std::fclose(stream);
    }
}

TEST(ReadInput, FailsAndLeavesTheBufferAloneWhenLessArrivesThanMeasured)
{
    const struct {
        const char *name;
        fake_input in;
    } cases[] = {
        {"read error", {random_bytes(100), 100, 50}},
        {"read error in a mapped block", {random_bytes(1 << 20), 1 << 20, 1 << 19}},
        {"shrank after the probe", {random_bytes(50), 100}},
    };
    for (auto c : cases) {
        std::FILE *stream = open_input(c.in);
        int marker = 0;
        byte_buffer buffer{reinterpret_cast<unsigned char *>(&marker), 77};
        EXPECT_EQ(read_input(stream, buffer), 1) << c.name;
        EXPECT_EQ(buffer.data, reinterpret_cast<unsigned char *>(&marker)) << c.name;
        EXPECT_EQ(buffer.length, 77U) << c.name;
        (void)std::fclose(stream);
    }
}

// A fork of an emulated process can hang (seen under qemu); a child that
// starts the test program afresh does not.
void start_death_tests_afresh()
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
}

TEST(GetInputSizeDeathTest, EndsTheRunWhenTheSizeCannotBeTakenOrIsTooLarge)
{
    start_death_tests_afresh();
    const struct {
        fake_input in;
        const char *message;
    } cases[] = {
        {{"abc", 3, SIZE_MAX, false}, "^Couldn't seek to end of file\\.$"},
        {{"abc", 3, SIZE_MAX, true, false}, "^ftell\\(\\) failed\\.$"},
        {{"", MAX_INPUT_SIZE + 1}, "^Input file was larger than 4MiB!$"},
    };
    for (auto c : cases) {
        std::FILE *stream = open_input(c.in);
        EXPECT_EXIT(get_input_size(stream), testing::ExitedWithCode(1), c.message);
        (void)std::fclose(stream);
    }
}

TEST(GetInputSize, AcceptsExactlyTheBound)
{
    fake_input in{"", MAX_INPUT_SIZE};
    std::FILE *stream = open_input(in);
    EXPECT_EQ(get_input_size(stream), MAX_INPUT_SIZE);
    EXPECT_EQ(std::ftell(stream), 0);
    (void)std::fclose(stream);
}

#if defined(__SANITIZE_ADDRESS__)
#define UNDER_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ADDRESS_SANITIZER 1
#endif
#endif

#ifndef UNDER_ADDRESS_SANITIZER
// Caps this process's address space at `headroom` bytes above what it uses;
// with `hard`, for good.
bool limit_address_space(std::size_t headroom, bool hard = true)
{
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    rlimit cap{};
    getrlimit(RLIMIT_AS, &cap);
    cap.rlim_cur = static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE)) + headroom;
    if (hard)
        cap.rlim_max = cap.rlim_cur;
    return setrlimit(RLIMIT_AS, &cap) == 0;
}

// Whether the cap is applied: an emulator may accept it and ignore it.  Tried
// here with the soft limit alone, which can be lifted again: a forked child
// of an emulated process can hang.  The probe maps memory itself: asking
// the code under test would let a fault in it skip the test.
bool address_space_limit_holds()
{
    rlimit saved{};
    getrlimit(RLIMIT_AS, &saved);
    const bool capped = limit_address_space(1 << 20, false);
    const std::size_t size = std::size_t{64} << 20;
    // An anonymous mapping takes -1 for its file descriptor.
    // cppcheck-suppress invalidFunctionArg
    void *probe = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    setrlimit(RLIMIT_AS, &saved);
    if (probe != MAP_FAILED)
        munmap(probe, size);
    return capped && probe == MAP_FAILED;
}

// Reads `size` bytes with `headroom` bytes of address space to spare and
// exits 0 when the run fails cleanly or, if `fits`, completes.  A released
// block must leave the rest of the process's memory alone and, where the
// block fitted, give its room back for a copy of the same size.
void read_with_headroom(std::size_t size, std::size_t headroom, bool fits)
{
    fake_input in{random_bytes(size)};
    const std::string plain = in.content;
    const std::string expected = reference_xor(plain);
    std::FILE *stream = open_input(in);
    if (!limit_address_space(headroom))
        std::_Exit(3);
    byte_buffer buffer;
    const int result = read_input(stream, buffer);
    const bool complete = result == 0 && buffer.length == size &&
                          std::memcmp(buffer.data, expected.data(), size) == 0;
    const bool right = fits ? complete : result == 1 && buffer.data == nullptr;
    release_buffer(buffer);
    const bool intact = in.content == plain && (!fits || expected == reference_xor(plain));
    std::_Exit(right && intact ? 0 : 2);
}
#endif

TEST(ReadInputDeathTest, FailsCleanlyOrCompletesUnderAMemoryLimit)
{
    start_death_tests_afresh();
#ifdef UNDER_ADDRESS_SANITIZER
    GTEST_SKIP() << "the sanitizer needs more address space than the limit allows";
#else
    if (!address_space_limit_holds())
        GTEST_SKIP() << "an address-space limit is accepted here but not applied (an emulator)";
    const struct {
        const char *name;
        std::size_t size;
        std::size_t headroom;
        bool fits;
    } cases[] = {
        {"no room for the block", MAX_INPUT_SIZE, 1 << 20, false},
        {"room for the block, not for its alignment", MAX_INPUT_SIZE, 5 << 20, true},
        {"room for an odd size, not for its huge pages", (2 << 20) + 1, 3 << 20, true},
    };
    for (const auto &c : cases)
        EXPECT_EXIT(read_with_headroom(c.size, c.headroom, c.fits), testing::ExitedWithCode(0), "")
            << c.name;
#endif
}

} // namespace
